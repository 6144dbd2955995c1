#include "rtp/RTCPInstance.h"

#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "event/BasicTaskScheduler.h"
#include "rtp/RtpRandom.h"

namespace {

constexpr unsigned kMaxCNAMESize = 255;
constexpr size_t kMaxMembers = 4096;
constexpr unsigned kIPUDPHeaderSize = 28;
constexpr double kCompensation = 2.71828 - 1.5;  // e - 3/2: makes the mean interval Td

int64_t nowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void putWord(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// Common header: version 2, count, type, length in words minus one.
void putHeader(uint8_t* out, unsigned count, uint8_t type, unsigned sizeBytes) {
    out[0] = static_cast<uint8_t>(0x80 | (count & 0x1F));
    out[1] = type;
    unsigned words = sizeBytes / 4 - 1;
    out[2] = static_cast<uint8_t>(words >> 8);
    out[3] = static_cast<uint8_t>(words);
}

}  // namespace

RTCPInstance* RTCPInstance::createNew(UsageEnvironment& env, Groupsock* RTCPgs,
                                      unsigned totSessionBW, const char* cname, RTPSink* sink,
                                      RTPSource* source, bool) {
    if (source != nullptr) {
        env.setResultMsg("RTCPInstance: receiving RTP is not supported");
        return nullptr;
    }
    RTCPInstance* instance = new (std::nothrow) RTCPInstance(env, RTCPgs, totSessionBW, cname, sink);
    if (instance == nullptr) return nullptr;
    // The first report goes out at once; then the regular interval begins.
    if (instance->fSink != nullptr) instance->sendReport();
    instance->scheduleNextReport(true);
    return instance;
}

RTCPInstance::RTCPInstance(UsageEnvironment& env, Groupsock* RTCPgs, unsigned totSessionBW,
                           const char* cname, RTPSink* sink)
    : Medium(env),
      fRTCPInterface(this, RTCPgs),
      fTotSessionBW(totSessionBW),
      fCNAME(cname == nullptr ? "" : cname),
      fSink(sink) {
    if (fCNAME.size() > kMaxCNAMESize) fCNAME.resize(kMaxCNAMESize);
    // First guess of the compound size: SR + SDES, plus IP/UDP.
    fAveRTCPSize = 28 + 12 + fCNAME.size() + kIPUDPHeaderSize;
    fRTCPInterface.startNetworkReading(incomingReportHandler, this);
}

RTCPInstance::~RTCPInstance() {
    if (fAliveFlag != nullptr) *fAliveFlag = false;
    sendBYE();
    fRTCPInterface.stopNetworkReading();
}

void RTCPInstance::setRRHandler(TaskFunc* handlerTask, void* clientData) {
    fRRHandler = handlerTask;
    fRRHandlerData = clientData;
}

void RTCPInstance::setByeHandler(TaskFunc* handlerTask, void* clientData) {
    fByeHandler = handlerTask;
    fByeHandlerData = clientData;
}

void RTCPInstance::setSpecificRRHandler(uint32_t fromAddress, uint16_t fromPort,
                                        TaskFunc* handlerTask, void* clientData) {
    setSpecific(false, fromAddress, fromPort, handlerTask, clientData);
}

void RTCPInstance::unsetSpecificRRHandler(uint32_t fromAddress, uint16_t fromPort) {
    unsetSpecific(false, fromAddress, fromPort);
}

void RTCPInstance::setSpecificRRHandlerForStream(int socketNum, uint8_t channelId,
                                                 TaskFunc* handlerTask, void* clientData) {
    setSpecific(true, static_cast<uint32_t>(socketNum), channelId, handlerTask, clientData);
}

void RTCPInstance::unsetSpecificRRHandlerForStream(int socketNum, uint8_t channelId) {
    unsetSpecific(true, static_cast<uint32_t>(socketNum), channelId);
}

void RTCPInstance::setSpecific(bool overTCP, uint32_t key1, uint32_t key2, TaskFunc* handler,
                               void* clientData) {
    if (handler == nullptr) {
        unsetSpecific(overTCP, key1, key2);
        return;
    }
    for (SpecificHandler& entry : fSpecificHandlers) {
        if (entry.overTCP == overTCP && entry.key1 == key1 && entry.key2 == key2) {
            entry.handler = handler;
            entry.clientData = clientData;
            return;
        }
    }
    try {
        fSpecificHandlers.push_back(SpecificHandler{overTCP, key1, key2, handler, clientData});
    } catch (const std::bad_alloc&) {
        envir().setResultMsg("RTCPInstance: out of memory for a report handler");
    }
}

void RTCPInstance::unsetSpecific(bool overTCP, uint32_t key1, uint32_t key2) {
    fSpecificHandlers.erase(std::remove_if(fSpecificHandlers.begin(), fSpecificHandlers.end(),
                                           [&](const SpecificHandler& e) {
                                               return e.overTCP == overTCP && e.key1 == key1 &&
                                                      e.key2 == key2;
                                           }),
                            fSpecificHandlers.end());
}

double RTCPInstance::reportInterval(bool initial) const {
    // RFC 3550 6.3.1: a quarter of the RTCP bandwidth (5% of the session) for senders.
    double rtcpBandwidth = fTotSessionBW * 1000.0 / 8.0 * 0.05;  // bytes per second
    double members = numMembers();
    double senders = fSink != nullptr ? 1 : 0;
    double n = members;
    double c = rtcpBandwidth > 0 ? fAveRTCPSize / rtcpBandwidth : 0;
    if (rtcpBandwidth > 0 && senders > 0 && senders <= members * 0.25) {
        c = fAveRTCPSize / (0.25 * rtcpBandwidth);
        n = senders;
    }
    double minimum = initial ? 2.5 : 5.0;
    double deterministic = std::max(minimum, n * c);
    return deterministic * (rtpRandomUnit() + 0.5) / kCompensation;
}

void RTCPInstance::scheduleNextReport(bool initial) {
    double seconds = reportInterval(initial);
    fLastIntervalUs = static_cast<int64_t>(seconds * 1e6 * kCompensation);  // about Td
    envir().taskScheduler().rescheduleDelayedTask(nextTask(), static_cast<int64_t>(seconds * 1e6),
                                                  onReportTimer, this);
}

void RTCPInstance::onReportTimer(void* clientData) {
    auto* instance = static_cast<RTCPInstance*>(clientData);
    instance->nextTask() = nullptr;
    instance->pruneMembers();
    instance->sendReport();
    instance->scheduleNextReport(false);
}

void RTCPInstance::sendReport() {
    if (fByeSent) return;
    unsigned size = addReport(fOutBuf);
    size += addSDES(fOutBuf + size);
    sendCompound(size);
}

void RTCPInstance::sendBYE() {
    if (fByeSent) return;
    fByeSent = true;
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
    unsigned size = addReport(fOutBuf);
    size += addSDES(fOutBuf + size);
    size += addBYE(fOutBuf + size);
    sendCompound(size);
}

void RTCPInstance::sendCompound(unsigned size) {
    fRTCPInterface.sendPacket(fOutBuf, size);  // the result of an RTCP send is not used
    fRTCPInterface.flush();
    noteRTCPSize(size);
}

unsigned RTCPInstance::addReport(uint8_t* out) {
    if (fSink == nullptr) {
        putHeader(out, 0, RTCP_PT_RR, 8);
        putWord(out + 4, 0);
        return 8;
    }
    timeval now;
    gettimeofday(&now, nullptr);
    uint32_t ntpSeconds = static_cast<uint32_t>(now.tv_sec) + 2208988800u;  // since 1900
    uint32_t ntpFraction = static_cast<uint32_t>((static_cast<uint64_t>(now.tv_usec) << 32) / 1000000);
    putHeader(out, 0, RTCP_PT_SR, 28);
    putWord(out + 4, fSink->SSRC());
    putWord(out + 8, ntpSeconds);
    putWord(out + 12, ntpFraction);
    putWord(out + 16, fSink->convertToRTPTimestamp(now));
    putWord(out + 20, fSink->packetCount());
    putWord(out + 24, fSink->octetCount());
    return 28;
}

unsigned RTCPInstance::addSDES(uint8_t* out) {
    // One chunk: SSRC, CNAME item, end item, padded to a word.
    unsigned itemsSize = 2 + static_cast<unsigned>(fCNAME.size()) + 1;
    unsigned chunkSize = 4 + (itemsSize + 3) / 4 * 4;
    unsigned size = 4 + chunkSize;
    memset(out, 0, size);
    putHeader(out, 1, RTCP_PT_SDES, size);
    putWord(out + 4, fSink != nullptr ? fSink->SSRC() : 0);
    out[8] = 1;  // CNAME
    out[9] = static_cast<uint8_t>(fCNAME.size());
    memcpy(out + 10, fCNAME.data(), fCNAME.size());
    return size;
}

unsigned RTCPInstance::addBYE(uint8_t* out) {
    putHeader(out, 1, RTCP_PT_BYE, 8);
    putWord(out + 4, fSink != nullptr ? fSink->SSRC() : 0);
    return 8;
}

void RTCPInstance::noteRTCPSize(unsigned size) {
    fAveRTCPSize = (size + kIPUDPHeaderSize) / 16.0 + fAveRTCPSize * 15.0 / 16.0;
}

void RTCPInstance::noteMember(uint32_t ssrc) {
    auto it = fMembers.find(ssrc);
    if (it != fMembers.end()) {
        it->second = nowUs();
        return;
    }
    if (fMembers.size() >= kMaxMembers) return;
    try {
        fMembers.emplace(ssrc, nowUs());
    } catch (const std::bad_alloc&) {
    }
}

void RTCPInstance::pruneMembers() {
    // RFC 3550 6.3.5: a member silent for five intervals is gone.
    int64_t cutoff = nowUs() - 5 * std::max<int64_t>(fLastIntervalUs, 5000000);
    for (auto it = fMembers.begin(); it != fMembers.end();) {
        it = it->second < cutoff ? fMembers.erase(it) : std::next(it);
    }
}

void RTCPInstance::incomingReportHandler(void* clientData, const uint8_t* packet, unsigned size,
                                         const PacketOrigin& origin) {
    static_cast<RTCPInstance*>(clientData)->processIncoming(packet, size, origin);
}

// `alive` lives on the stack only while the handlers run; the destructor
// clears it, and the pointer is dropped before returning (GCC cannot see that).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif
void RTCPInstance::processIncoming(const uint8_t* packet, unsigned size, const PacketOrigin& origin) {
    RTCPCompoundInfo info;
    if (!parseRTCPCompound(packet, size, info)) return;
    if (fSink != nullptr && info.reporterSSRC == fSink->SSRC()) return;  // our own, looped back
    noteRTCPSize(size);
    bool alive = true;
    fAliveFlag = &alive;
    if (info.hasReport) {
        noteMember(info.reporterSSRC);
        for (const SpecificHandler& entry : fSpecificHandlers) {
            bool matches = origin.overTCP
                               ? entry.overTCP && entry.key1 == static_cast<uint32_t>(origin.socketNum) &&
                                     entry.key2 == origin.channelId
                               : !entry.overTCP && entry.key1 == origin.address && entry.key2 == origin.port;
            if (matches) {
                entry.handler(entry.clientData);  // may close this instance
                break;
            }
        }
        if (alive && fRRHandler != nullptr) fRRHandler(fRRHandlerData);
    }
    if (alive && info.hasBye) {
        for (unsigned i = 0; i < info.numByeSSRCs; ++i) fMembers.erase(info.byeSSRCs[i]);
        if (fByeHandler != nullptr) fByeHandler(fByeHandlerData);
    }
    if (alive) fAliveFlag = nullptr;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
