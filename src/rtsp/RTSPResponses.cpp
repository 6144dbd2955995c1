#include "rtsp/RTSPResponses.h"

#include <cstdio>

#include "rtsp/RTSPDate.h"

namespace {

std::string statusHead(std::string_view status, std::string_view cseq) {
    std::string text;
    text.reserve(160);
    text += "RTSP/1.0 ";
    text += status;
    text += "\r\nCSeq: ";
    text += cseq;
    text += "\r\n";
    text += rtspDateHeader();
    return text;
}

}  // namespace

std::string rtspStatusResponse(std::string_view status, std::string_view cseq) {
    return statusHead(status, cseq) + "\r\n";
}

std::string rtspSessionResponse(std::string_view status, std::string_view cseq,
                                uint32_t sessionId) {
    char session[32];
    snprintf(session, sizeof session, "Session: %08X\r\n\r\n", sessionId);
    return statusHead(status, cseq) + session;
}

std::string rtspOptionsResponse(std::string_view cseq) {
    return statusHead("200 OK", cseq) + "Public: " + kPublicMethods + "\r\n\r\n";
}

std::string rtspMethodNotAllowedResponse(std::string_view cseq) {
    return statusHead("405 Method Not Allowed", cseq) + "Allow: " + kPublicMethods + "\r\n\r\n";
}

std::string rtspBadRequestResponse(std::string_view cseq) {
    std::string text = "RTSP/1.0 400 Bad Request\r\n";
    if (!cseq.empty()) {
        text += "CSeq: ";
        text += cseq;
        text += "\r\n";
    }
    text += rtspDateHeader();
    text += "Allow: ";
    text += kPublicMethods;
    text += "\r\n\r\n";
    return text;
}

std::string rtspDescribeResponse(std::string_view cseq, std::string_view contentBase,
                                 std::string_view sdp) {
    std::string text = statusHead("200 OK", cseq);
    text += "Content-Base: ";
    text += contentBase;
    text += "\r\nContent-Type: application/sdp\r\nContent-Length: ";
    text += std::to_string(sdp.size());
    text += "\r\n\r\n";
    text += sdp;
    return text;
}

std::string httpTunnelGetResponse() {
    std::string text = "HTTP/1.0 200 OK\r\n";
    text += rtspDateHeader();
    text += "Server: ";
    text += kServerName;
    text +=
        "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
        "Content-Type: application/x-rtsp-tunnelled\r\n\r\n";
    return text;
}

std::string httpBadRequestResponse() {
    std::string text = "HTTP/1.0 400 Bad Request\r\n";
    text += rtspDateHeader();
    text += "Server: ";
    text += kServerName;
    text += "\r\nContent-Length: 0\r\n\r\n";
    return text;
}
