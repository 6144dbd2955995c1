// The machine's ceiling: a bare sender of the same RTP packets. Just enough
// RTSP for the load client (DESCRIBE, SETUP, PLAY, keep-alives, TEARDOWN),
// then every 40 ms the next access unit packetized once and sent to every
// UDP client with one sendmmsg per client, or written once per frame to
// every TCP client, with sender reports every 5 s. Single thread, epoll.
// With `gso`, runs of full-size packets (each NAL unit's fragments, the short
// last one included) go as one UDP_SEGMENT send each, all of a client's in
// one sendmmsg: the kernel's own ceiling for the same datagrams.
// `tcpBatch` packets per write instead of one write per frame, with MSG_MORE
// on all but a frame's last write when `tcpMore`: the library's TCP write
// pattern, for measuring what the pattern costs.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RtpPacketizer.h"
#include "RtspReader.h"
#include "StreamFile.h"

class BareSender {
public:
    struct Options {
        bool gso = false;
        unsigned tcpBatch = 0;  // 0: one write per frame
        bool tcpMore = false;
    };
    BareSender(const StreamFile& file, uint16_t port, const Options& options);
    ~BareSender();

    // Until `stop` becomes true; false when the sockets cannot be opened.
    bool run(const volatile sig_atomic_t& stop);

    uint64_t framesSent() const { return fFrames; }
    uint64_t dropped() const { return fDroppedClients; }

private:
    struct Client {
        int fd = -1;
        RtspReader reader{80 * 1024};
        std::string sessionId;
        bool interleaved = false;
        bool playing = false;
        sockaddr_in rtp{};
        sockaddr_in rtcp{};
        std::vector<uint8_t> backlog;  // TCP bytes a send could not take
    };

    bool openSockets();
    void accept();
    void readClient(Client& client);
    void handleRequest(Client& client, const RtspMessage& request);
    std::string setUp(Client& client, const RtspMessage& request, int& status);
    void respond(Client& client, int status, const std::string& cseq, const std::string& headers,
                 const std::string& body = "");
    void sendFrame();
    void sendUdp(const Client& client);
    void buildSegmentRuns();
    void sendSegmentRuns(const Client& client);
    void sendReports();
    bool writeTcp(Client& client, const uint8_t* data, size_t size, int flags = 0);
    bool writeFrameTcp(Client& client);
    void flushBacklog(Client& client);
    void drop(int fd);

    const StreamFile& fFile;
    uint16_t fPort;
    int fEpoll = -1;
    int fListen = -1;
    int fTimer = -1;
    int fRtpFd = -1;
    int fRtcpFd = -1;
    uint16_t fServerRtpPort = 0;
    std::map<int, std::unique_ptr<Client>> fClients;
    RtpPacketizer fPacketizer;
    std::vector<mmsghdr> fMessages;
    Options fOptions;
    struct SegmentRun {
        iovec bytes;
        unsigned packets;
    };
    std::vector<SegmentRun> fRuns;
    std::vector<uint8_t> fRunControl;  // one UDP_SEGMENT control message per run
    uint64_t fFrameIndex = 0;
    uint64_t fFrames = 0;
    uint64_t fDroppedClients = 0;
    int64_t fOriginWallUs = 0;
    int64_t fNextReportMono = 0;
    unsigned fNextSession = 1;
};
