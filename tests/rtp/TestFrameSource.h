// A FramedSource for tests: hands out frames from a list, either inside
// getNextFrame (synchronous) or through a delayed task (like a live source).
// After the last frame it ends (handleClosure) or simply stops answering.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <vector>

#include "rtp/FramedSource.h"

struct TestFrame {
    std::vector<uint8_t> data;
    timeval presentationTime{0, 0};
};

class TestFrameSource : public FramedSource {
public:
    // delayUs < 0: synchronous delivery; otherwise a task after delayUs.
    static TestFrameSource* createNew(UsageEnvironment& env, std::vector<TestFrame> frames,
                                      int64_t delayUs = -1, bool closeAtEnd = true);
    unsigned delivered() const { return fNext; }
    unsigned requests() const { return fRequests; }

protected:
    TestFrameSource(UsageEnvironment& env, std::vector<TestFrame> frames, int64_t delayUs,
                    bool closeAtEnd);

private:
    void doGetNextFrame() override;
    static void deliverTask(void* clientData);
    void deliver();

    std::vector<TestFrame> fFrames;
    int64_t fDelayUs;
    bool fCloseAtEnd;
    unsigned fNext = 0;
    unsigned fRequests = 0;
};

// A frame of `size` bytes whose first byte(s) form a NAL header and whose
// other bytes count up, so that reassembly errors show.
std::vector<uint8_t> makeNalUnit(int hNumber, unsigned size, bool vcl);
