// Frame intake, packetizing and sending allocate nothing once a stream runs:
// operator new is counted while frames pass through the sinks to UDP and TCP
// destinations. (Own executable: replacing operator new and sanitizers do not mix.)
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <new>

#include "RtpPackets.h"
#include "RtpTestEnv.h"
#include "TestFrameSource.h"
#include "rtp/H264VideoRTPSink.h"
#include "rtp/H264VideoStreamDiscreteFramer.h"
#include "rtp/MPEG4GenericRTPSink.h"
#include "rtp/SimpleRTPSink.h"
#include "rtp/TCPStreamSocket.h"

namespace {
std::atomic<bool> gCounting{false};
std::atomic<unsigned> gAllocations{0};
}  // namespace

void* operator new(size_t size) {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

class HotPathAllocationTest : public RtpTestEnv {};

// Delivers frames forever, one per request through a delayed task, like a live source.
class EndlessSource : public FramedSource {
public:
    EndlessSource(UsageEnvironment& env, std::vector<std::vector<uint8_t>> frames)
        : FramedSource(env), fFrames(std::move(frames)) {}
    unsigned delivered = 0;

private:
    void doGetNextFrame() override { nextTask() = envir().taskScheduler().scheduleDelayedTask(0, deliver, this); }
    static void deliver(void* data) {
        auto* self = static_cast<EndlessSource*>(data);
        self->nextTask() = nullptr;
        const auto& frame = self->fFrames[self->delivered++ % self->fFrames.size()];
        self->fFrameSize = static_cast<unsigned>(frame.size());
        memcpy(self->fTo, frame.data(), frame.size());
        gettimeofday(&self->fPresentationTime, nullptr);
        FramedSource::afterGetting(self);
    }
    std::vector<std::vector<uint8_t>> fFrames;
};

TEST_F(HotPathAllocationTest, StreamingFramesAllocatesNothing) {
    struct Case {
        const char* name;
        int kind;  // 0 H.264, 1 PCMU, 2 AAC
        std::vector<std::vector<uint8_t>> frames;
    } cases[] = {
        {"H.264", 0, {makeNalUnit(264, 100000, true), makeNalUnit(264, 300, false), makeNalUnit(264, 18000, true)}},
        {"PCMU", 1, {std::vector<uint8_t>(160, 0xFF)}},
        {"AAC", 2, {std::vector<uint8_t>(400, 1), std::vector<uint8_t>(2000, 2)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Groupsock* gs = Groupsock::createNew(*env, 0);
        uint16_t port;
        int receiver = openUdpReceiver(port);
        gs->addDestination(htonl(INADDR_LOOPBACK), port, 1);
        SocketPair pair(SOCK_STREAM);
        TCPStreamSocket* tcp = TCPStreamSocket::createNew(*env, pair.a);
        MultiFramedRTPSink* sink = nullptr;
        auto* source = new EndlessSource(*env, c.frames);
        FramedSource* input = source;
        if (c.kind == 0) {
            sink = H264VideoRTPSink::createNew(*env, gs, 96, nullptr, 0, nullptr, 0);
            input = H264VideoStreamDiscreteFramer::createNew(*env, source);
        } else if (c.kind == 1) {
            sink = SimpleRTPSink::createNew(*env, gs, 0, 8000, "audio", "PCMU");
        } else {
            sink = MPEG4GenericRTPSink::createNew(*env, gs, 97, 48000, "audio", "AAC-hbr", "1190", 2);
        }
        ASSERT_TRUE(sink->addStreamSocket(pair.a, 0));
        ASSERT_TRUE(sink->startPlaying(*input, nullptr, nullptr));
        auto runFrames = [&](unsigned count) {
            unsigned target = source->delivered + count;
            while (source->delivered < target) {
                scheduler->SingleStep(1000);
                // Drain both ends (without allocating) so that no queue fills.
                uint8_t buffer[65536];
                while (recv(receiver, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
                }
                while (recv(pair.b, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
                }
            }
        };
        runFrames(20);  // warm-up: first-use growth of containers
        gAllocations = 0;
        gCounting = true;
        runFrames(200);
        gCounting = false;
        EXPECT_EQ(gAllocations.load(), 0u);
        EXPECT_FALSE(tcp->failed());
        Medium::close(sink);
        Medium::close(input);
        delete tcp;
        Medium::close(gs);
        ::close(receiver);
    }
}

}  // namespace
