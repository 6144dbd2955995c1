// One TCP connection of an RTSP client: reads requests, answers them.
#pragma once

#include <netinet/in.h>

class RTSPServer;

class RTSPClientConnection {
public:
    // Takes over clientSocket (closed by the destructor); null on failure.
    static RTSPClientConnection* createNew(RTSPServer& server, int clientSocket,
                                           sockaddr_in const& clientAddr);
    ~RTSPClientConnection();

    int socketNum() const { return fSocket; }

private:
    RTSPClientConnection(RTSPServer& server, int clientSocket, sockaddr_in const& clientAddr);

    RTSPServer& fServer;
    int fSocket;
    sockaddr_in fClientAddr;
};
