#include "rtsp/RTSPRequest.h"

#include "rtsp/TextUtil.h"

namespace {

enum class ScanStatus { NeedMore, Bad, Complete };

struct HeadScan {
    bool readContentLength = true;  // false: the head alone is framed
    size_t headLength = 0;
    size_t contentLength = 0;
    bool sawContentLength = false;
    size_t headerCount = 0;
};

// Header names are RFC 2616 tokens: no blanks, no separators, no controls.
bool isTokenChar(char c) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
    return std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

bool splitHeaderLine(std::string_view line, std::string_view& name, std::string_view& value) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    name = line.substr(0, colon);
    for (char c : name) {
        if (!isTokenChar(c)) return false;
    }
    value = trimBlanks(line.substr(colon + 1));
    return true;
}

// Skips empty lines before the request line. Returns the position of the
// request line, or NeedMore/Bad through `status`.
size_t skipLeadingLineEnds(const char* data, size_t size, ScanStatus& status) {
    size_t pos = 0;
    status = ScanStatus::Complete;
    while (pos < size) {
        if (pos >= kMaxRequestSize) {
            status = ScanStatus::Bad;
            return pos;
        }
        if (data[pos] == '\n') {
            ++pos;
        } else if (data[pos] == '\r') {
            if (pos + 1 == size) break;
            if (data[pos + 1] != '\n') {
                status = ScanStatus::Bad;
                return pos;
            }
            pos += 2;
        } else {
            return pos;
        }
    }
    status = ScanStatus::NeedMore;
    return pos;
}

// Finds the end of the line starting at `start`, checking its bytes. On
// Complete, `contentEnd` excludes the line ending and `next` follows it.
ScanStatus scanLine(const char* data, size_t size, size_t start, size_t& contentEnd, size_t& next) {
    for (size_t i = start; i < size; ++i) {
        if (i >= kMaxRequestSize) return ScanStatus::Bad;
        char c = data[i];
        if (c == '\n') {
            contentEnd = (i > start && data[i - 1] == '\r') ? i - 1 : i;
            next = i + 1;
            return ScanStatus::Complete;
        }
        if (c == '\0') return ScanStatus::Bad;
        if (c == '\r') {
            if (i + 1 < size && data[i + 1] != '\n') return ScanStatus::Bad;
            continue;
        }
        if (i - start >= kMaxHeaderLineLength) return ScanStatus::Bad;
    }
    return ScanStatus::NeedMore;
}

bool takeContentLength(std::string_view value, HeadScan& scan) {
    unsigned long length = 0;
    if (!parseBoundedDecimal(value, kMaxContentLength, length)) return false;
    if (scan.sawContentLength && scan.contentLength != length) return false;
    scan.sawContentLength = true;
    scan.contentLength = length;
    return true;
}

ScanStatus takeHeaderLine(std::string_view line, HeadScan& scan, RTSPRequest* collect) {
    if (isBlank(line.front())) return ScanStatus::Bad;  // folded continuation
    std::string_view name, value;
    if (!splitHeaderLine(line, name, value)) return ScanStatus::Bad;
    if (scan.headerCount >= kMaxHeaderCount) return ScanStatus::Bad;
    if (scan.readContentLength && equalsIgnoreCase(name, "Content-Length") &&
        !takeContentLength(value, scan)) {
        return ScanStatus::Bad;
    }
    if (collect != nullptr) collect->headers[scan.headerCount] = RTSPHeader{name, value};
    ++scan.headerCount;
    return ScanStatus::Complete;
}

// Walks the head line by line; on Complete, scan.headLength covers it.
ScanStatus scanHead(const char* data, size_t size, HeadScan& scan, size_t& requestLineStart,
                    RTSPRequest* collect) {
    ScanStatus status;
    size_t pos = skipLeadingLineEnds(data, size, status);
    if (status != ScanStatus::Complete) return status;
    if (isBlank(data[pos])) return ScanStatus::Bad;
    requestLineStart = pos;
    for (bool firstLine = true;; firstLine = false) {
        size_t contentEnd = 0, next = 0;
        status = scanLine(data, size, pos, contentEnd, next);
        if (status != ScanStatus::Complete) return status;
        std::string_view line(data + pos, contentEnd - pos);
        pos = next;
        if (firstLine) {
            if (line.empty()) return ScanStatus::Bad;
            continue;
        }
        if (line.empty()) {
            scan.headLength = pos;
            return ScanStatus::Complete;
        }
        status = takeHeaderLine(line, scan, collect);
        if (status != ScanStatus::Complete) return status;
    }
}

bool isMethodChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

bool isURLChar(char c) { return static_cast<unsigned char>(c) > 0x20 && c != 0x7f; }

bool allOf(std::string_view s, bool (*predicate)(char)) {
    for (char c : s) {
        if (!predicate(c)) return false;
    }
    return true;
}

std::string_view takeWord(std::string_view& rest) {
    size_t end = rest.find(' ');
    std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    return word;
}

bool parseRequestLine(std::string_view line, RTSPRequest& out) {
    std::string_view rest = trimBlanks(line);
    out.method = takeWord(rest);
    out.url = takeWord(rest);
    out.protocol = takeWord(rest);
    if (!rest.empty() || out.method.empty() || out.url.empty()) return false;
    if (!allOf(out.method, isMethodChar) || !allOf(out.url, isURLChar)) return false;
    return out.protocol == "RTSP/1.0" || out.protocol == "HTTP/1.0" || out.protocol == "HTTP/1.1";
}

}  // namespace

int rtspRequestLength(const char* data, size_t size) {
    HeadScan scan;
    size_t requestLineStart = 0;
    switch (scanHead(data, size, scan, requestLineStart, nullptr)) {
    case ScanStatus::Bad: return -1;
    case ScanStatus::NeedMore: return 0;
    case ScanStatus::Complete: break;
    }
    size_t total = scan.headLength + scan.contentLength;
    return total > size ? 0 : static_cast<int>(total);
}

int rtspHeadLength(const char* data, size_t size) {
    HeadScan scan;
    scan.readContentLength = false;
    size_t requestLineStart = 0;
    switch (scanHead(data, size, scan, requestLineStart, nullptr)) {
    case ScanStatus::Bad: return -1;
    case ScanStatus::NeedMore: return 0;
    case ScanStatus::Complete: break;
    }
    return static_cast<int>(scan.headLength);
}

std::string_view RTSPRequest::header(std::string_view name) const {
    for (size_t i = 0; i < headerCount; ++i) {
        if (equalsIgnoreCase(headers[i].name, name)) return headers[i].value;
    }
    return {};
}

bool RTSPRequest::hasHeader(std::string_view name) const {
    for (size_t i = 0; i < headerCount; ++i) {
        if (equalsIgnoreCase(headers[i].name, name)) return true;
    }
    return false;
}

void splitRTSPURL(std::string_view url, std::string_view& urlPreSuffix, std::string_view& urlSuffix) {
    urlPreSuffix = {};
    urlSuffix = {};
    if (url == "*") {
        urlSuffix = url;
        return;
    }
    std::string_view path = url;
    size_t scheme = url.find("://");
    if (scheme != std::string_view::npos) {
        size_t slash = url.find('/', scheme + 3);
        path = slash == std::string_view::npos ? std::string_view() : url.substr(slash + 1);
    } else if (!path.empty() && path.front() == '/') {
        path.remove_prefix(1);
    }
    if (!path.empty() && path.back() == '/') path.remove_suffix(1);
    size_t last = path.rfind('/');
    if (last == std::string_view::npos) {
        urlSuffix = path;
    } else {
        urlPreSuffix = path.substr(0, last);
        urlSuffix = path.substr(last + 1);
    }
}

namespace {

bool parseScanned(const char* data, size_t length, bool readContentLength, RTSPRequest& out) {
    out = RTSPRequest();
    HeadScan scan;
    scan.readContentLength = readContentLength;
    size_t requestLineStart = 0;
    if (scanHead(data, length, scan, requestLineStart, &out) != ScanStatus::Complete) return false;
    size_t total = scan.headLength + scan.contentLength;
    if (total > length) return false;
    out.headerCount = scan.headerCount;
    out.text = std::string_view(data, total);
    std::string_view head(data + requestLineStart, scan.headLength - requestLineStart);
    if (!parseRequestLine(head.substr(0, head.find_first_of("\r\n")), out)) return false;
    splitRTSPURL(out.url, out.urlPreSuffix, out.urlSuffix);
    out.contentLength = scan.contentLength;
    out.body = out.text.substr(scan.headLength);
    out.cseq = out.header("CSeq");
    std::string_view session = out.header("Session");
    out.sessionId = trimBlanks(session.substr(0, session.find(';')));
    out.hasRange = out.hasHeader("Range");
    out.hasPlayNow = out.hasHeader("x-playNow");
    return true;
}

}  // namespace

bool parseRTSPRequest(const char* data, size_t length, RTSPRequest& out) {
    return parseScanned(data, length, true, out);
}

bool parseRTSPRequestHead(const char* data, size_t headLength, RTSPRequest& out) {
    return parseScanned(data, headLength, false, out);
}
