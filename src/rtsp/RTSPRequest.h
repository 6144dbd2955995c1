// Framing and parsing of RTSP (and tunnelling HTTP) requests read from a
// connection. Pure functions over bytes: no sockets, no allocation.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// Request line plus headers, terminator included.
constexpr size_t kMaxRequestSize = 8192;
// Header lines after the request line.
constexpr size_t kMaxHeaderCount = 64;
// One line (request line or header) without its line ending.
constexpr size_t kMaxHeaderLineLength = 2048;
// A larger Content-Length refuses the request.
constexpr size_t kMaxContentLength = 65536;

// Examines the bytes buffered from a connection (which do not start with an
// interleaved '$' frame). Returns the length of the first complete request:
// its head through the empty line ("\r\n\r\n" or a bare "\n\n"), plus the
// Content-Length body. Empty lines before the request line belong to it.
// Returns 0 when more bytes are needed, -1 when the bytes can never become a
// valid request within the limits above (too long, too many headers, a line
// too long, a header line without ':', folded header lines, a NUL byte or
// lone CR in the head, white space at the start of the request line, a bad,
// negative or too large Content-Length, repeated Content-Length headers with
// different values).
int rtspRequestLength(const char* data, size_t size);

// Same framing for the head alone, with Content-Length neither read nor
// checked: for the POST of an HTTP tunnel, whose body is an endless Base64
// stream under a nominal Content-Length (often 32767 or more). Returns the
// head length, 0 or -1.
int rtspHeadLength(const char* data, size_t size);

struct RTSPHeader {
    std::string_view name;   // as sent
    std::string_view value;  // surrounding blanks removed
};

// One parsed request. Every view points into the text given to
// parseRTSPRequest, which must outlive it.
struct RTSPRequest {
    std::string_view text;      // the whole request, head and body
    std::string_view method;    // "DESCRIBE", "GET", ...
    std::string_view url;       // as sent: "rtsp://h:554/a/b", "/a/b", "*"
    // rtsp://host:port/a/b/c -> preSuffix "a/b", suffix "c";
    // rtsp://host/stream/track1 -> "stream", "track1"; one trailing '/' is
    // ignored; rtsp://host/ and rtsp://host -> "", ""; "*" -> "", "*".
    std::string_view urlPreSuffix;
    std::string_view urlSuffix;
    std::string_view protocol;  // "RTSP/1.0", "HTTP/1.0" or "HTTP/1.1"
    std::string_view cseq;      // CSeq value, empty when absent
    std::string_view sessionId; // Session value up to ';', empty when absent
    size_t contentLength = 0;
    std::string_view body;      // contentLength bytes after the head
    bool hasRange = false;      // a "Range:" header is present
    bool hasPlayNow = false;    // an "x-playNow:" header is present

    std::array<RTSPHeader, kMaxHeaderCount> headers{};
    size_t headerCount = 0;

    // First header of that name (letter case ignored); empty view if none.
    std::string_view header(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
    bool isHTTP() const { return protocol.substr(0, 5) == "HTTP/"; }
};

// Parses the first request in data[0, length) (length is normally what
// rtspRequestLength returned). False for anything unparseable: framing
// failure or incomplete request, malformed request line, unknown protocol
// version. On false `out` is left in an unspecified state.
bool parseRTSPRequest(const char* data, size_t length, RTSPRequest& out);

// Parses the head of data[0, headLength) as rtspHeadLength framed it; the
// body stays empty and contentLength 0 whatever the headers say.
bool parseRTSPRequestHead(const char* data, size_t headLength, RTSPRequest& out);

// Splits a request URL into the pre-suffix and suffix described above.
void splitRTSPURL(std::string_view url, std::string_view& urlPreSuffix,
                  std::string_view& urlSuffix);
