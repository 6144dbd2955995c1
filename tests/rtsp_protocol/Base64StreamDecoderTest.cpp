#include "rtsp/Base64StreamDecoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "rtp/Base64.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(generator());
    return bytes;
}

std::string encode(const Bytes& bytes) { return base64Encode(bytes.data(), bytes.size()); }

// Feeds `pieces` in order; false when a feed fails.
bool decodePieces(Base64StreamDecoder& decoder, const std::vector<std::string>& pieces, Bytes& out) {
    for (const std::string& piece : pieces) {
        Bytes buffer(Base64StreamDecoder::maxDecodedSize(piece.size()));
        size_t written = 0;
        if (!decoder.feed(piece.data(), piece.size(), buffer.data(), buffer.size(), written)) return false;
        EXPECT_LE(decoder.pendingCount(), 3u);
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<long>(written));
    }
    return true;
}

// A body as clients send it: several encoded chunks, some with line breaks.
struct Body {
    std::string text;
    Bytes decoded;
};

Body sampleBody() {
    Body body;
    const size_t sizes[] = {0, 1, 2, 3, 4, 5, 57, 100};
    unsigned seed = 1;
    for (size_t size : sizes) {
        Bytes chunk = randomBytes(size, seed++);
        std::string text = encode(chunk);
        if (text.size() > 40) text.insert(40, "\r\n");
        if (text.size() > 10) text.insert(10, " \t");
        body.text += text;
        body.decoded.insert(body.decoded.end(), chunk.begin(), chunk.end());
    }
    return body;
}

TEST(Base64StreamDecoder, SplitAtEveryOffset) {
    const Body body = sampleBody();
    for (size_t cut = 0; cut <= body.text.size(); ++cut) {
        Base64StreamDecoder decoder;
        Bytes out;
        ASSERT_TRUE(decodePieces(decoder, {body.text.substr(0, cut), body.text.substr(cut)}, out)) << cut;
        EXPECT_EQ(out, body.decoded) << cut;
        EXPECT_EQ(decoder.pendingCount(), 0u);
    }
}

TEST(Base64StreamDecoder, SplitIntoThreeAtEveryPairOfOffsets) {
    Base64StreamDecoder reference;
    Bytes expected;
    const std::string good = "QUJD\r\nREVGR0g=QQ==Qk M=";
    ASSERT_TRUE(decodePieces(reference, {good}, expected));
    EXPECT_EQ(std::string(expected.begin(), expected.end()), "ABCDEFGHABC");
    for (size_t a = 0; a <= good.size(); ++a) {
        for (size_t b = a; b <= good.size(); ++b) {
            Base64StreamDecoder decoder;
            Bytes out;
            ASSERT_TRUE(decodePieces(decoder, {good.substr(0, a), good.substr(a, b - a), good.substr(b)}, out));
            EXPECT_EQ(out, expected) << a << "," << b;
        }
    }
    Base64StreamDecoder decoder;
    Bytes out;
    EXPECT_FALSE(decodePieces(decoder, {"QUJD\r\nREVG=ZA=="}, out));  // '=' first in a group
}

TEST(Base64StreamDecoder, PaddedChunksFollowEachOther) {
    Base64StreamDecoder decoder;
    Bytes out;
    ASSERT_TRUE(decodePieces(decoder, {"QQ==", "QkM=", "REVG"}, out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "ABCDEF");
}

TEST(Base64StreamDecoder, KeepsAnUnfinishedGroup) {
    Base64StreamDecoder decoder;
    Bytes out;
    ASSERT_TRUE(decodePieces(decoder, {"QUJ"}, out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(decoder.pendingCount(), 3u);
    ASSERT_TRUE(decodePieces(decoder, {"\r\n", "D"}, out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "ABC");
    EXPECT_EQ(decoder.pendingCount(), 0u);
}

TEST(Base64StreamDecoder, FailuresAreStickyUntilReset) {
    const char* const bad[] = {"QU!D", "=QUJ", "Q===", "QQ=A", "QUJD\0", "QUJD-_", "QQ==="};
    for (const char* text : bad) {
        Base64StreamDecoder decoder;
        Bytes out;
        std::string input(text, std::char_traits<char>::length(text) + (text[4] == '\0' ? 1 : 0));
        EXPECT_FALSE(decodePieces(decoder, {input}, out)) << text;
        EXPECT_TRUE(decoder.failed());
        EXPECT_FALSE(decodePieces(decoder, {"QUJD"}, out)) << text;
        decoder.reset();
        out.clear();
        ASSERT_TRUE(decodePieces(decoder, {"QUJD"}, out)) << text;
        EXPECT_EQ(std::string(out.begin(), out.end()), "ABC");
    }
}

TEST(Base64StreamDecoder, OutputBoundedByCapacity) {
    Base64StreamDecoder decoder;
    uint8_t out[2];
    size_t written = 0;
    EXPECT_FALSE(decoder.feed("QUJD", 4, out, sizeof out, written));
    EXPECT_LE(written, sizeof out);
}

TEST(Base64StreamDecoder, SinkVariantMatchesBufferVariant) {
    const Bytes data = randomBytes(5000, 42);
    std::string text = encode(data);
    for (size_t pos = 76; pos < text.size(); pos += 78) text.insert(pos, "\r\n");
    Base64StreamDecoder decoder;
    Bytes out;
    size_t calls = 0;
    struct Collect {
        Bytes* out;
        size_t* calls;
    } collect{&out, &calls};
    auto sink = [](void* clientData, const uint8_t* bytes, size_t size) {
        auto* c = static_cast<Collect*>(clientData);
        c->out->insert(c->out->end(), bytes, bytes + size);
        ++*c->calls;
    };
    ASSERT_TRUE(decoder.feed(text.data(), 1001, sink, &collect));
    ASSERT_TRUE(decoder.feed(text.data() + 1001, text.size() - 1001, sink, &collect));
    EXPECT_EQ(out, data);
    EXPECT_GT(calls, 2u);
    EXPECT_FALSE(decoder.feed("!", 1, sink, &collect));
}

}  // namespace
