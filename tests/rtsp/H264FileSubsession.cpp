#include "H264FileSubsession.h"

#include <sys/time.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "rtp/H264VideoRTPSink.h"
#include "rtp/H264VideoStreamDiscreteFramer.h"

namespace {

constexpr int64_t kPictureInterval = 40000;  // µs: 25 pictures per second

bool isPicture(std::vector<uint8_t> const& nal) {
    int type = nal.empty() ? 0 : nal[0] & 0x1F;
    return type >= 1 && type <= 5;
}

// One NAL unit per frame; a picture's units share its presentation time and
// the next picture follows one interval later.
class NalSource : public FramedSource {
public:
    NalSource(UsageEnvironment& env, NalUnits const& nals) : FramedSource(env), fNals(nals) {
        gettimeofday(&fStart, nullptr);
    }
    ~NalSource() override { envir().taskScheduler().unscheduleDelayedTask(fTask); }

private:
    void doGetNextFrame() override {
        if (fNals.empty()) {
            handleClosure();
            return;
        }
        int64_t delay = fWaitBeforeNext ? kPictureInterval : 0;
        fWaitBeforeNext = false;
        fTask = envir().taskScheduler().scheduleDelayedTask(delay, deliver, this);
    }

    void doStopGettingFrames() override {
        envir().taskScheduler().unscheduleDelayedTask(fTask);
    }

    static void deliver(void* clientData) {
        auto* source = static_cast<NalSource*>(clientData);
        source->fTask = nullptr;
        source->deliverOne();
    }

    void deliverOne() {
        std::vector<uint8_t> const& nal = fNals[fIndex];
        fIndex = (fIndex + 1) % fNals.size();
        fFrameSize = static_cast<unsigned>(nal.size());
        fNumTruncatedBytes = 0;
        if (fFrameSize > fMaxSize) {
            fNumTruncatedBytes = fFrameSize - fMaxSize;
            fFrameSize = fMaxSize;
        }
        memcpy(fTo, nal.data(), fFrameSize);
        int64_t offset = fPictures * kPictureInterval;
        fPresentationTime.tv_sec = fStart.tv_sec + static_cast<time_t>(offset / 1000000);
        fPresentationTime.tv_usec = fStart.tv_usec + static_cast<suseconds_t>(offset % 1000000);
        if (fPresentationTime.tv_usec >= 1000000) {
            fPresentationTime.tv_usec -= 1000000;
            ++fPresentationTime.tv_sec;
        }
        fDurationInMicroseconds = 0;
        if (isPicture(nal)) {
            ++fPictures;
            fWaitBeforeNext = true;
        }
        FramedSource::afterGetting(this);
    }

    NalUnits const& fNals;
    size_t fIndex = 0;
    int64_t fPictures = 0;
    bool fWaitBeforeNext = false;
    struct timeval fStart;
    TaskToken fTask = nullptr;
};

}  // namespace

NalUnits splitAnnexB(std::vector<uint8_t> const& bytes) {
    NalUnits nals;
    size_t i = 0, start = std::string::npos;
    auto finish = [&](size_t end) {
        if (start == std::string::npos) return;
        while (end > start && bytes[end - 1] == 0) --end;  // zero bytes before a 4-byte code
        if (end > start) nals.emplace_back(bytes.begin() + start, bytes.begin() + end);
    };
    while (i + 2 < bytes.size()) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            finish(i);
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    finish(bytes.size());
    return nals;
}

bool readFile(std::string const& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !bytes.empty();
}

H264FileSubsession* H264FileSubsession::createNew(UsageEnvironment& env, NalUnits const& nals,
                                                  uint16_t initialPortNum) {
    return new H264FileSubsession(env, nals, initialPortNum);
}

H264FileSubsession::H264FileSubsession(UsageEnvironment& env, NalUnits const& nals,
                                       uint16_t initialPortNum)
    : OnDemandServerMediaSubsession(env, true, initialPortNum), fNals(nals) {
    for (auto const& nal : nals) {
        int type = nal.empty() ? 0 : nal[0] & 0x1F;
        if (type == 7 && fSPS.empty()) fSPS = nal;
        if (type == 8 && fPPS.empty()) fPPS = nal;
    }
}

FramedSource* H264FileSubsession::createNewStreamSource(unsigned /*clientSessionId*/,
                                                        unsigned& estBitrate) {
    estBitrate = 500;
    ++sourcesMade;
    return H264VideoStreamDiscreteFramer::createNew(envir(), new NalSource(envir(), fNals));
}

RTPSink* H264FileSubsession::createNewRTPSink(Groupsock* rtpGroupsock,
                                              unsigned char rtpPayloadTypeIfDynamic,
                                              FramedSource* /*inputSource*/) {
    return H264VideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic, fSPS.data(),
                                       static_cast<unsigned>(fSPS.size()), fPPS.data(),
                                       static_cast<unsigned>(fPPS.size()));
}

void H264FileSubsession::closeStreamSource(FramedSource* inputSource) {
    ++sourcesClosed;
    OnDemandServerMediaSubsession::closeStreamSource(inputSource);
}
