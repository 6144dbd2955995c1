#include "rtp/TCPStreamSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unordered_map>

namespace {

// The connections of one environment, hung on env.groupsockPriv while any exists.
struct StreamSocketTable {
    std::unordered_map<int, TCPStreamSocket*> sockets;
};

StreamSocketTable* tableOf(UsageEnvironment& env) {
    return static_cast<StreamSocketTable*>(env.groupsockPriv);
}

bool makeNonBlocking(int socketNum) {
    int flags = fcntl(socketNum, F_GETFL, 0);
    return flags >= 0 && fcntl(socketNum, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

TCPStreamSocket* TCPStreamSocket::createNew(UsageEnvironment& env, int socketNum,
                                            size_t backlogLimit) {
    if (socketNum < 0) {
        env.setResultMsg("TCPStreamSocket: bad socket number");
        return nullptr;
    }
    if (lookup(env, socketNum) != nullptr) {
        env.setResultMsg("TCPStreamSocket: socket already has a stream object");
        return nullptr;
    }
    if (!makeNonBlocking(socketNum)) {
        env.setResultErrMsg("TCPStreamSocket: cannot make the socket non-blocking: ");
        return nullptr;
    }
    StreamSocketTable* table = tableOf(env);
    bool newTable = table == nullptr;
    if (newTable) {
        table = new (std::nothrow) StreamSocketTable;
        if (table == nullptr) return nullptr;
    }
    TCPStreamSocket* socket = new (std::nothrow) TCPStreamSocket(env, socketNum, backlogLimit);
    if (socket == nullptr) {
        if (newTable) delete table;
        return nullptr;
    }
    try {
        table->sockets.emplace(socketNum, socket);
    } catch (const std::bad_alloc&) {
        delete socket;
        if (newTable) delete table;
        return nullptr;
    }
    env.groupsockPriv = table;
    return socket;
}

TCPStreamSocket* TCPStreamSocket::lookup(UsageEnvironment& env, int socketNum) {
    StreamSocketTable* table = tableOf(env);
    if (table == nullptr) return nullptr;
    auto it = table->sockets.find(socketNum);
    return it == table->sockets.end() ? nullptr : it->second;
}

TCPStreamSocket::TCPStreamSocket(UsageEnvironment& env, int socketNum, size_t backlogLimit)
    : fEnv(env), fSocketNum(socketNum), fBacklogLimit(backlogLimit) {}

TCPStreamSocket::~TCPStreamSocket() {
    notifyClientsGone();
    if (fHandledConditions != 0) fEnv.taskScheduler().disableBackgroundHandling(fSocketNum);
    StreamSocketTable* table = tableOf(fEnv);
    if (table == nullptr) return;
    auto it = table->sockets.find(fSocketNum);
    if (it != table->sockets.end() && it->second == this) table->sockets.erase(it);
    if (table->sockets.empty()) {
        // The last connection is gone: let the environment be reclaimed.
        fEnv.groupsockPriv = nullptr;
        delete table;
    }
}

void TCPStreamSocket::setReadHandler(BackgroundHandlerProc* proc, void* clientData) {
    fReadProc = proc;
    fReadClientData = proc == nullptr ? nullptr : clientData;
    updateHandling();
}

void TCPStreamSocket::updateHandling() {
    int conditions = 0;
    if (fReadProc != nullptr) conditions |= SOCKET_READABLE | SOCKET_EXCEPTION;
    if (!fFailed && backlogSize() > 0) conditions |= SOCKET_WRITABLE;
    if (conditions == fHandledConditions) return;
    fHandledConditions = conditions;
    fEnv.taskScheduler().setBackgroundHandling(fSocketNum, conditions, handleEvent, this);
}

void TCPStreamSocket::handleEvent(void* clientData, int mask) {
    auto* socket = static_cast<TCPStreamSocket*>(clientData);
    if (mask & SOCKET_WRITABLE) socket->drainBacklog();
    // Last: the read handler may delete the socket object.
    if ((mask & (SOCKET_READABLE | SOCKET_EXCEPTION)) && socket->fReadProc != nullptr) {
        socket->fReadProc(socket->fReadClientData, mask);
    }
}

bool TCPStreamSocket::send(const void* data, size_t size) {
    if (size == 0) return !fFailed;
    return send(data, size, nullptr, 0, false);
}

bool TCPStreamSocket::send(const void* first, size_t firstSize, const void* second, size_t secondSize,
                           bool moreFollows) {
    if (fFailed) return false;
    const auto* a = static_cast<const uint8_t*>(first);
    const auto* b = static_cast<const uint8_t*>(second);
    // Anything behind a backlog must wait for it, to keep the byte order.
    if (backlogSize() > 0) return queueRemainder(a, firstSize, b, secondSize, 0);
    iovec pieces[2] = {{const_cast<uint8_t*>(a), firstSize}, {const_cast<uint8_t*>(b), secondSize}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = secondSize > 0 ? 2 : 1;
    const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (moreFollows ? MSG_MORE : 0);
    ssize_t written;
    do {
        written = ::sendmsg(fSocketNum, &message, flags);
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            markFailed();
            return false;
        }
        written = 0;
    }
    fHeldBack = moreFollows;
    size_t sent = static_cast<size_t>(written);
    if (sent == firstSize + secondSize) return true;
    return queueRemainder(a, firstSize, b, secondSize, sent);
}

bool TCPStreamSocket::queueRemainder(const uint8_t* first, size_t firstSize, const uint8_t* second,
                                     size_t secondSize, size_t sent) {
    if (sent < firstSize && !queueRemainder(first + sent, firstSize - sent)) return false;
    size_t sentOfSecond = sent > firstSize ? sent - firstSize : 0;
    if (sentOfSecond == secondSize) return true;
    return queueRemainder(second + sentOfSecond, secondSize - sentOfSecond);
}

void TCPStreamSocket::pushPending() {
    if (!fHeldBack) return;
    fHeldBack = false;
    if (fFailed) return;
    // Setting TCP_NODELAY (already on) makes the kernel send what it holds.
    int on = 1;
    setsockopt(fSocketNum, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool TCPStreamSocket::queueRemainder(const uint8_t* data, size_t size) {
    if (backlogSize() + size > fBacklogLimit) {
        markFailed();
        return false;
    }
    if (fBacklogHead > 0 && fBacklog.size() + size > fBacklog.capacity()) {
        // Reuse the room of what has been sent before growing.
        fBacklog.erase(fBacklog.begin(), fBacklog.begin() + static_cast<ptrdiff_t>(fBacklogHead));
        fBacklogHead = 0;
    }
    try {
        fBacklog.insert(fBacklog.end(), data, data + size);
    } catch (const std::bad_alloc&) {
        markFailed();
        return false;
    }
    updateHandling();
    return true;
}

void TCPStreamSocket::drainBacklog() {
    while (!fFailed && backlogSize() > 0) {
        ssize_t written = ::send(fSocketNum, fBacklog.data() + fBacklogHead, backlogSize(),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            markFailed();
            return;
        }
        fBacklogHead += static_cast<size_t>(written);
    }
    if (backlogSize() == 0) {
        fBacklog.clear();  // keeps its capacity for the next stall
        fBacklogHead = 0;
    }
    updateHandling();
}

void TCPStreamSocket::markFailed() {
    if (fFailed) return;
    fFailed = true;
    std::vector<uint8_t>().swap(fBacklog);
    fBacklogHead = 0;
    updateHandling();
    notifyClientsGone();
}

void TCPStreamSocket::notifyClientsGone() {
    // Each client detaches itself; guard against one that does not.
    while (!fClients.empty()) {
        TCPStreamSocketClient* client = fClients.back();
        client->streamSocketGone(this);
        if (!fClients.empty() && fClients.back() == client) fClients.pop_back();
    }
    std::fill(std::begin(fChannelReaders), std::end(fChannelReaders), nullptr);
}

void TCPStreamSocket::attachClient(TCPStreamSocketClient* client) {
    if (client == nullptr) return;
    if (std::find(fClients.begin(), fClients.end(), client) == fClients.end()) {
        fClients.push_back(client);
    }
}

void TCPStreamSocket::detachClient(TCPStreamSocketClient* client) {
    fClients.erase(std::remove(fClients.begin(), fClients.end(), client), fClients.end());
    for (auto& reader : fChannelReaders) {
        if (reader == client) reader = nullptr;
    }
}

void TCPStreamSocket::setChannelReader(uint8_t channelId, TCPStreamSocketClient* client) {
    fChannelReaders[channelId] = client;
}

void TCPStreamSocket::clearChannelReader(uint8_t channelId, TCPStreamSocketClient* client) {
    if (fChannelReaders[channelId] == client) fChannelReaders[channelId] = nullptr;
}

void TCPStreamSocket::deliverInterleavedFrame(uint8_t channelId, const uint8_t* data,
                                              size_t size) {
    TCPStreamSocketClient* reader = fChannelReaders[channelId];
    if (reader == nullptr || (data == nullptr && size > 0)) return;
    reader->incomingInterleavedFrame(this, channelId, data, size);
}
