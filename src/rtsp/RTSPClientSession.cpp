#include "rtsp/RTSPClientSession.h"

#include <new>

#include "rtsp/RTSPServer.h"

RTSPClientSession* RTSPClientSession::createNew(RTSPServer& server, uint32_t sessionId) {
    return new (std::nothrow) RTSPClientSession(server, sessionId);
}

RTSPClientSession::RTSPClientSession(RTSPServer& server, uint32_t sessionId)
    : fServer(server), fSessionId(sessionId) {}

RTSPClientSession::~RTSPClientSession() { fServer.clientSessionDeleted(fSessionId); }

void RTSPClientSession::endStreamOnClosedSocket(unsigned /*trackNum*/, int /*socketNum*/) {}
