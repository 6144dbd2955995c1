// Texts of the RTSP and tunnelling HTTP responses the server writes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Methods the server implements (the "Public:" and "Allow:" lists).
constexpr char kPublicMethods[] =
    "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, SET_PARAMETER";
// The server's name in SDP and HTTP headers.
constexpr char kServerName[] = "Nerivo Streaming Media v1.3.16.1206";

// "RTSP/1.0 <status>\r\nCSeq: <cseq>\r\n<Date line>\r\n"
std::string rtspStatusResponse(std::string_view status, std::string_view cseq);
// The same with "Session: %08X\r\n" before the empty line.
std::string rtspSessionResponse(std::string_view status, std::string_view cseq,
                                uint32_t sessionId);
std::string rtspOptionsResponse(std::string_view cseq);
std::string rtspMethodNotAllowedResponse(std::string_view cseq);
// For requests that cannot be parsed; CSeq only when one could be read.
std::string rtspBadRequestResponse(std::string_view cseq);
std::string rtspDescribeResponse(std::string_view cseq, std::string_view contentBase,
                                 std::string_view sdp);

// The answer that opens an HTTP tunnel's GET connection.
std::string httpTunnelGetResponse();
std::string httpBadRequestResponse();
