// Incoming RTCP: the compound-packet parser, and interleaved frames handed
// by channel id to the interfaces of an RTP sink and an RTCP instance that
// read a connection. Input: the whole buffer is parsed as one compound
// packet, then read as frames of [channel][16-bit length][bytes].
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "event/BasicTaskScheduler.h"
#include "event/BasicUsageEnvironment.h"
#include "rtp/RTCPInstance.h"
#include "rtp/RTCPParser.h"
#include "rtp/SimpleRTPSink.h"
#include "rtp/TCPStreamSocket.h"

namespace {

struct Harness {
    BasicTaskScheduler* scheduler = BasicTaskScheduler::createNew();
    BasicUsageEnvironment* env = BasicUsageEnvironment::createNew(*scheduler);
    int pair[2] = {-1, -1};
    TCPStreamSocket* connection = nullptr;
    RTCPInstance* rtcp = nullptr;
    unsigned reports = 0;

    Harness() {
        socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        connection = TCPStreamSocket::createNew(*env, pair[0]);
        Groupsock* rtpGS = Groupsock::createNew(*env, 0);
        Groupsock* rtcpGS = Groupsock::createNew(*env, 0);
        SimpleRTPSink* sink = SimpleRTPSink::createNew(*env, rtpGS, 0, 8000, "audio", "PCMU");
        rtcp = RTCPInstance::createNew(*env, rtcpGS, 500, "fuzz", sink);
        sink->addStreamSocket(pair[0], 0);
        rtcp->addStreamSocket(pair[0], 1);
        rtcp->setSpecificRRHandlerForStream(pair[0], 1, count, this);
        rtcp->setRRHandler(count, this);
        rtcp->setByeHandler(count, this);
    }
    static void count(void* clientData) { ++static_cast<Harness*>(clientData)->reports; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness harness;
    RTCPCompoundInfo info;
    if (parseRTCPCompound(data, size, info) && info.numByeSSRCs > RTCPCompoundInfo::kMaxByeSSRCs) {
        __builtin_trap();
    }
    size_t offset = 0;
    while (size - offset >= 3) {
        uint8_t channel = data[offset];
        size_t length = (static_cast<size_t>(data[offset + 1]) << 8) | data[offset + 2];
        offset += 3;
        if (length > size - offset) length = size - offset;
        harness.connection->deliverInterleavedFrame(channel, data + offset, length);
        offset += length;
    }
    return 0;
}
