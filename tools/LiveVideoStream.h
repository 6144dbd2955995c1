// A live Annex-B video input (standard input or an ffmpeg pipe) read on a
// thread of its own. Each NAL unit is pushed as soon as it is complete, all
// the time: frames pushed while nobody watches are simply dropped by the
// library. The parameter sets seen last are kept for the description.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "AccessUnitSplitter.h"
#include "AnnexBReader.h"
#include "LiveFrameClock.h"
#include "MediaTimeline.h"
#include "ParameterSets.h"
#include "StopEvent.h"
#include "VideoCodecDetector.h"

class FrameSink;

class LiveVideoStream {
public:
    // codec Unknown: detected from the first units. `fd` is not closed here.
    LiveVideoStream(FrameSink& sink, int fd, VideoCodec codec, double fps);
    ~LiveVideoStream();
    LiveVideoStream(const LiveVideoStream&) = delete;
    LiveVideoStream& operator=(const LiveVideoStream&) = delete;

    void launch();
    void stop();

    // Waits until the codec and the parameter sets are known, at most
    // `timeout`; then fills the video fields of the description.
    bool describe(MEDIA_DESC_T& desc, std::chrono::milliseconds timeout);
    // The input has ended (or failed).
    bool ended() const { return fEnded.load(); }

    static constexpr size_t kPieceSize = 256u << 10;

private:
    void run();
    bool readPiece();
    void drainUnits();
    void handleUnit(ByteSpan unit);
    void detectWith(ByteSpan unit);
    void adoptDetectedCodec();
    void handleKnownUnit(ByteSpan unit);
    void noteParameterSet(ByteSpan unit);
    void finish();

    FrameSink& fSink;
    int fFd;
    StopEvent fStop;
    AnnexBReader fReader;
    MediaTimeline fArrivalClock;

    // Reading thread only.
    VideoCodec fCodec;
    VideoCodecDetector fDetector;
    std::vector<std::vector<uint8_t>> fUndecided;
    std::unique_ptr<AccessUnitSplitter> fSplitter;
    LiveFrameClock fFrameClock;
    int64_t fStampUs = 0;

    // Shared with describe().
    std::mutex fMutex;
    std::condition_variable fChanged;
    ParameterSets fSets;
    VideoCodec fSharedCodec = VideoCodec::Unknown;
    bool fReportedTooLong = false;
    std::atomic<bool> fEnded{false};

    std::thread fThread;
};
