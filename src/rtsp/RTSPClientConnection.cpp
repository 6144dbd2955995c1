#include "rtsp/RTSPClientConnection.h"

#include <unistd.h>

#include <new>

#include "rtsp/RTSPServer.h"

RTSPClientConnection* RTSPClientConnection::createNew(RTSPServer& server, int clientSocket,
                                                      sockaddr_in const& clientAddr) {
    return new (std::nothrow) RTSPClientConnection(server, clientSocket, clientAddr);
}

RTSPClientConnection::RTSPClientConnection(RTSPServer& server, int clientSocket,
                                           sockaddr_in const& clientAddr)
    : fServer(server), fSocket(clientSocket), fClientAddr(clientAddr) {}

RTSPClientConnection::~RTSPClientConnection() {
    fServer.connectionDeleted(this);
    close(fSocket);
}
