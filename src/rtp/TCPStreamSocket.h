// One TCP connection that carries RTSP and interleaved RTP/RTCP: every byte
// written to the connection goes through send() so that responses and '$'
// frames keep their order. Sends never block: what the kernel does not take
// waits in a bounded backlog that drains when the socket becomes writable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "event/UsageEnvironment.h"

class TCPStreamSocket;

// What an RTP/RTCP interface hears from the connections it uses.
class TCPStreamSocketClient {
public:
    // The socket failed or is being destroyed: forget every use of it.
    virtual void streamSocketGone(TCPStreamSocket* socket) = 0;
    // An interleaved frame arrived for a channel this client reads.
    virtual void incomingInterleavedFrame(TCPStreamSocket* socket, uint8_t channelId,
                                          const uint8_t* data, size_t size) = 0;

protected:
    ~TCPStreamSocketClient() = default;
};

class TCPStreamSocket {
public:
    static constexpr size_t kDefaultBacklogLimit = 4u << 20;

    // Takes over background handling of socketNum (made non-blocking here).
    // Null when the socket already has an object or memory runs out.
    static TCPStreamSocket* createNew(UsageEnvironment& env, int socketNum,
                                      size_t backlogLimit = kDefaultBacklogLimit);
    static TCPStreamSocket* lookup(UsageEnvironment& env, int socketNum);
    // Unregisters; every client drops this socket; the backlog is discarded.
    // The descriptor stays open (its creator closes it).
    ~TCPStreamSocket();

    TCPStreamSocket(const TCPStreamSocket&) = delete;
    TCPStreamSocket& operator=(const TCPStreamSocket&) = delete;

    int socketNum() const { return fSocketNum; }
    UsageEnvironment& envir() const { return fEnv; }

    // Called when the socket is readable, hung up or in error; the handler
    // reads the socket itself and may delete this object inside the call.
    void setReadHandler(BackgroundHandlerProc* proc, void* clientData);

    // One non-blocking send; the rest waits in the backlog. False (nothing
    // queued) when the socket has failed, the send failed or the backlog would
    // exceed its limit; in the last two cases the socket is marked failed.
    bool send(const void* data, size_t size);
    // The same for two blocks back to back, in one system call. moreFollows
    // tells the kernel that more bytes come at once (they may share segments
    // with these); the sender must then end its burst with pushPending().
    bool send(const void* first, size_t firstSize, const void* second, size_t secondSize, bool moreFollows);
    // Pushes out bytes held back by a send with moreFollows.
    void pushPending();
    bool failed() const { return fFailed; }
    size_t backlogSize() const { return fBacklog.size() - fBacklogHead; }
    size_t backlogLimit() const { return fBacklogLimit; }

    // An incoming '$' frame read from this socket: handed to the client that
    // reads (this socket, channelId); dropped when there is none.
    void deliverInterleavedFrame(uint8_t channelId, const uint8_t* data, size_t size);

    // Interfaces that send through this socket register here so that a
    // failure or the socket's end reaches them.
    void attachClient(TCPStreamSocketClient* client);
    void detachClient(TCPStreamSocketClient* client);
    // The reader of one channel (one per channel; a later one replaces it).
    void setChannelReader(uint8_t channelId, TCPStreamSocketClient* client);
    // Removes the reader of channelId if it is `client`.
    void clearChannelReader(uint8_t channelId, TCPStreamSocketClient* client);

private:
    TCPStreamSocket(UsageEnvironment& env, int socketNum, size_t backlogLimit);

    static void handleEvent(void* clientData, int mask);
    void drainBacklog();
    bool queueRemainder(const uint8_t* data, size_t size);
    bool queueRemainder(const uint8_t* first, size_t firstSize, const uint8_t* second, size_t secondSize,
                        size_t sent);
    void markFailed();
    void updateHandling();
    void notifyClientsGone();

    UsageEnvironment& fEnv;
    int fSocketNum;
    size_t fBacklogLimit;
    bool fFailed = false;
    bool fHeldBack = false;  // the last send told the kernel that more follows
    BackgroundHandlerProc* fReadProc = nullptr;
    void* fReadClientData = nullptr;
    int fHandledConditions = 0;
    std::vector<uint8_t> fBacklog;
    size_t fBacklogHead = 0;  // bytes of fBacklog already sent
    std::vector<TCPStreamSocketClient*> fClients;
    TCPStreamSocketClient* fChannelReaders[256] = {};
};
