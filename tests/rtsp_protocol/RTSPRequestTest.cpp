#include "rtsp/RTSPRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int kWhole = -100;  // expected length: the whole input

const std::string kOptions = "OPTIONS rtsp://cam/live RTSP/1.0\r\nCSeq: 1\r\n\r\n";

std::string headerLine(size_t length) {  // "X: vvv..." without line end
    return "X: " + std::string(length - 3, 'v');
}

std::string withHeaders(size_t count, size_t lineLength) {
    std::string text = "OPTIONS * RTSP/1.0\r\n";
    for (size_t i = 0; i < count; ++i) text += headerLine(lineLength) + "\r\n";
    return text + "\r\n";
}

struct FramingCase {
    const char* name;
    std::string input;
    int expected;
};

std::vector<FramingCase> framingCases() {
    const std::string body = "SET_PARAMETER rtsp://cam/live RTSP/1.0\r\nCSeq: 2\r\nContent-Length: 5\r\n\r\n";
    const std::string requestLine = "OPTIONS * RTSP/1.0\r\n";
    // Head of exactly kMaxRequestSize bytes: request line, filler, one sized line, end.
    std::string exactHead = requestLine;
    while (exactHead.size() + 2048 + 2 + 2 <= kMaxRequestSize) exactHead += headerLine(2048) + "\r\n";
    exactHead += headerLine(kMaxRequestSize - exactHead.size() - 4) + "\r\n\r\n";
    return {
        {"complete", kOptions, kWhole},
        {"empty buffer", "", 0},
        {"partial head", kOptions.substr(0, kOptions.size() - 1), 0},
        {"partial request line", "OPTIONS rtsp://cam", 0},
        {"bare line feeds", "OPTIONS * RTSP/1.0\nCSeq: 1\n\n", kWhole},
        {"mixed line ends", "OPTIONS * RTSP/1.0\r\nCSeq: 1\n\r\n", kWhole},
        {"empty lines before request", "\r\n\r\n" + kOptions, kWhole},
        {"cr at end of buffer", "OPTIONS * RTSP/1.0\r", 0},
        {"body complete", body + "hello", kWhole},
        {"body partial", body + "hel", 0},
        {"body with NUL byte", body + std::string("he\0lo", 5), kWhole},
        {"pipelined two requests", kOptions + "DESCRIBE rtsp://cam/live RTSP/1.0\r\nCSeq: 2\r\n\r\n",
         static_cast<int>(kOptions.size())},
        {"pipelined after body", body + "hello" + kOptions, static_cast<int>(body.size() + 5)},
        {"content-length any case", "SET_PARAMETER * RTSP/1.0\r\ncontent-LENGTH: 2\r\n\r\nab", kWhole},
        {"content-length repeated same", "X * RTSP/1.0\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nab",
         kWhole},
        {"content-length repeated different", "X * RTSP/1.0\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc",
         -1},
        {"content-length negative", "X * RTSP/1.0\r\nContent-Length: -5\r\n\r\n", -1},
        {"content-length plus sign", "X * RTSP/1.0\r\nContent-Length: +5\r\n\r\n", -1},
        {"content-length not a number", "X * RTSP/1.0\r\nContent-Length: 5x\r\n\r\n", -1},
        {"content-length empty", "X * RTSP/1.0\r\nContent-Length:\r\n\r\n", -1},
        {"content-length huge", "X * RTSP/1.0\r\nContent-Length: 99999999999999999999999\r\n\r\n", -1},
        {"content-length one over limit", "X * RTSP/1.0\r\nContent-Length: 65537\r\n\r\n", -1},
        {"content-length at limit waits for body", "X * RTSP/1.0\r\nContent-Length: 65536\r\n\r\n", 0},
        {"leading space", " OPTIONS * RTSP/1.0\r\n\r\n", -1},
        {"leading tab", "\tOPTIONS * RTSP/1.0\r\n\r\n", -1},
        {"leading space after empty line", "\r\n OPTIONS * RTSP/1.0\r\n\r\n", -1},
        {"NUL in request line, incomplete", std::string("OPTI\0NS", 7), -1},
        {"NUL in header", std::string("OPTIONS * RTSP/1.0\r\nCSeq: \0\r\n\r\n", 31), -1},
        {"lone CR inside a line", "OPTIONS * RTSP/1.0\r\nCSeq: 1\rX: 2\r\n\r\n", -1},
        {"lone CR before request", "\rOPTIONS * RTSP/1.0\r\n\r\n", -1},
        {"header without colon", "OPTIONS * RTSP/1.0\r\nCSeq 1\r\n\r\n", -1},
        {"header with empty name", "OPTIONS * RTSP/1.0\r\n: 1\r\n\r\n", -1},
        {"blank before colon", "OPTIONS * RTSP/1.0\r\nContent-Length : 4\r\n\r\n", -1},
        {"folded header line", "OPTIONS * RTSP/1.0\r\nX: a\r\n  b\r\n\r\n", -1},
        {"64 headers", withHeaders(kMaxHeaderCount, 10), kWhole},
        {"65 headers", withHeaders(kMaxHeaderCount + 1, 10), -1},
        {"line at length limit", withHeaders(1, kMaxHeaderLineLength), kWhole},
        {"line over length limit", withHeaders(1, kMaxHeaderLineLength + 1), -1},
        {"long line rejected before its end", "OPTIONS " + std::string(3000, 'a'), -1},
        {"head at size limit", exactHead, kWhole},
        {"head over size limit", exactHead.substr(0, exactHead.size() - 2) + "X: 1\r\n\r\n", -1},
        {"no end within size limit", withHeaders(5, 2000).substr(0, 9000), -1},
    };
}

TEST(RTSPRequestLength, FramingTable) {
    for (const FramingCase& c : framingCases()) {
        int expected = c.expected == kWhole ? static_cast<int>(c.input.size()) : c.expected;
        EXPECT_EQ(rtspRequestLength(c.input.data(), c.input.size()), expected) << c.name;
    }
}

TEST(RTSPRequestLength, EveryPrefixOfAValidRequestWaits) {
    const std::string text = "SETUP rtsp://cam/live/track1 RTSP/1.0\r\nCSeq: 3\r\n"
                             "Transport: RTP/AVP;unicast;client_port=5000-5001\r\n"
                             "Content-Length: 4\r\n\r\nbody";
    for (size_t n = 0; n < text.size(); ++n) EXPECT_EQ(rtspRequestLength(text.data(), n), 0) << n;
    EXPECT_EQ(rtspRequestLength(text.data(), text.size()), static_cast<int>(text.size()));
}

TEST(ParseRTSPRequest, FieldsOfASetup) {
    const std::string text = "SETUP rtsp://10.0.0.1:554/live/ch1/track2 RTSP/1.0\r\n"
                             "cseq:   7  \r\n"
                             "SESSION: 0A1B2C3D;timeout=60\r\n"
                             "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n"
                             "x-playNow: \r\n"
                             "Range: npt=0.000-\r\n"
                             "Content-Length: 3\r\n\r\nabcTRAILING";
    RTSPRequest request;
    ASSERT_TRUE(parseRTSPRequest(text.data(), text.size(), request));
    EXPECT_EQ(request.method, "SETUP");
    EXPECT_EQ(request.url, "rtsp://10.0.0.1:554/live/ch1/track2");
    EXPECT_EQ(request.urlPreSuffix, "live/ch1");
    EXPECT_EQ(request.urlSuffix, "track2");
    EXPECT_EQ(request.protocol, "RTSP/1.0");
    EXPECT_FALSE(request.isHTTP());
    EXPECT_EQ(request.cseq, "7");
    EXPECT_EQ(request.sessionId, "0A1B2C3D");
    EXPECT_EQ(request.header("transport"), "RTP/AVP/TCP;unicast;interleaved=2-3");
    EXPECT_EQ(request.header("TRANSPORT"), request.header("Transport"));
    EXPECT_TRUE(request.hasHeader("X-PLAYNOW"));
    EXPECT_EQ(request.header("x-playNow"), "");
    EXPECT_FALSE(request.hasHeader("Accept"));
    EXPECT_TRUE(request.hasRange);
    EXPECT_TRUE(request.hasPlayNow);
    EXPECT_EQ(request.contentLength, 3u);
    EXPECT_EQ(request.body, "abc");
    EXPECT_EQ(request.text, text.substr(0, text.size() - 8));
    EXPECT_EQ(request.headerCount, 6u);
}

TEST(ParseRTSPRequest, PlainRequestHasNoOptionalFields) {
    RTSPRequest request;
    ASSERT_TRUE(parseRTSPRequest(kOptions.data(), kOptions.size(), request));
    EXPECT_EQ(request.cseq, "1");
    EXPECT_TRUE(request.sessionId.empty());
    EXPECT_FALSE(request.hasRange);
    EXPECT_FALSE(request.hasPlayNow);
    EXPECT_TRUE(request.body.empty());
}

TEST(ParseRTSPRequest, TunnellingHTTPRequest) {
    const std::string text = "GET /live HTTP/1.1\r\nx-sessioncookie: Zm9vYmFy\r\n"
                             "Accept: application/x-rtsp-tunnelled\r\n\r\n";
    RTSPRequest request;
    ASSERT_TRUE(parseRTSPRequest(text.data(), text.size(), request));
    EXPECT_TRUE(request.isHTTP());
    EXPECT_EQ(request.urlSuffix, "live");
    EXPECT_EQ(request.header("X-SessionCookie"), "Zm9vYmFy");
}

TEST(ParseRTSPRequest, RefusesMalformedRequests) {
    const char* const bad[] = {
        "OPTIONS\r\n\r\n",
        "OPTIONS *\r\n\r\n",
        "OPTIONS * RTSP/2.0\r\n\r\n",
        "OPTIONS * rtsp/1.0\r\n\r\n",
        "OPTIONS * RTSP/1.0 extra\r\n\r\n",
        "OPT(ONS * RTSP/1.0\r\n\r\n",
        "OPTIONS * RTSP/1.0\r\nCSeq 1\r\n\r\n",
        "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n",  // incomplete
        " OPTIONS * RTSP/1.0\r\n\r\n",
        "$\x01\x02" "abcd\r\n\r\n",
    };
    for (const char* text : bad) {
        RTSPRequest request;
        EXPECT_FALSE(parseRTSPRequest(text, std::char_traits<char>::length(text), request)) << text;
    }
    const std::string withBody = "SET_PARAMETER * RTSP/1.0\r\nContent-Length: 10\r\n\r\nshort";
    RTSPRequest request;
    EXPECT_FALSE(parseRTSPRequest(withBody.data(), withBody.size(), request));
}

TEST(ParseRTSPRequest, AcceptsEveryFramedRequestOfTheTable) {
    // Whatever the framing accepts with a well-formed request line parses.
    for (const FramingCase& c : framingCases()) {
        int length = rtspRequestLength(c.input.data(), c.input.size());
        if (length <= 0) continue;
        RTSPRequest request;
        EXPECT_TRUE(parseRTSPRequest(c.input.data(), static_cast<size_t>(length), request)) << c.name;
        EXPECT_EQ(request.text.size(), static_cast<size_t>(length)) << c.name;
    }
}

struct URLCase {
    const char* url;
    const char* preSuffix;
    const char* suffix;
};

TEST(SplitRTSPURL, Table) {
    const URLCase cases[] = {
        {"rtsp://host:554/a/b", "a", "b"},
        {"rtsp://host/stream/track1", "stream", "track1"},
        {"rtsp://host/stream", "", "stream"},
        {"rtsp://host/stream/", "", "stream"},
        {"rtsp://host/a/b/c", "a/b", "c"},
        {"rtsp://host/live/ch1/track2/", "live/ch1", "track2"},
        {"rtsp://host/", "", ""},
        {"rtsp://host", "", ""},
        {"rtsp://host:8554", "", ""},
        {"*", "", "*"},
        {"/a/b", "a", "b"},
        {"/stream", "", "stream"},
        {"stream", "", "stream"},
        {"rtsp://host/s?x=1", "", "s?x=1"},
        {"rtsp://[::1]:554/cam", "", "cam"},
    };
    for (const URLCase& c : cases) {
        std::string_view pre, suffix;
        splitRTSPURL(c.url, pre, suffix);
        EXPECT_EQ(pre, c.preSuffix) << c.url;
        EXPECT_EQ(suffix, c.suffix) << c.url;
    }
}

}  // namespace

namespace {

TEST(RTSPHeadLength, TunnelPostHeadWithEndlessBody) {
    const std::string head = "POST /live HTTP/1.0\r\nx-sessioncookie: 9Wl2Xm0AAAA=\r\n"
                             "Content-Type: application/x-rtsp-tunnelled\r\nContent-Length: 2147483647\r\n\r\n";
    const std::string text = head + "T1BUSU9OUyAqIFJUU1AvMS4wDQpDU2VxOiAxDQoNCg==";
    EXPECT_EQ(rtspRequestLength(text.data(), text.size()), -1);  // as a request: body too large
    EXPECT_EQ(rtspHeadLength(text.data(), text.size()), static_cast<int>(head.size()));
    EXPECT_EQ(rtspHeadLength(text.data(), head.size() - 1), 0);
    RTSPRequest request;
    ASSERT_TRUE(parseRTSPRequestHead(text.data(), head.size(), request));
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.urlSuffix, "live");
    EXPECT_EQ(request.header("x-sessioncookie"), "9Wl2Xm0AAAA=");
    EXPECT_EQ(request.contentLength, 0u);
    EXPECT_TRUE(request.body.empty());
    EXPECT_EQ(request.text, head);
    // The other head limits still hold.
    const std::string spaced = " " + head;
    EXPECT_EQ(rtspHeadLength(spaced.data(), spaced.size()), -1);
    const std::string tooMany = withHeaders(kMaxHeaderCount + 1, 10);
    EXPECT_EQ(rtspHeadLength(tooMany.data(), tooMany.size()), -1);
}

}  // namespace
