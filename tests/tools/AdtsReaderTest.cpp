// ADTS headers and the access units read from ADTS streams.
#include <gtest/gtest.h>

#include <vector>

#include "AdtsReader.h"

using Bytes = std::vector<uint8_t>;

namespace {

// An ADTS frame around `payload`.
Bytes adtsFrame(const Bytes& payload, unsigned rateIndex, unsigned channels, bool crc = false,
                unsigned objectType = 2, unsigned blocks = 1) {
    unsigned header = crc ? 9 : 7;
    unsigned length = header + static_cast<unsigned>(payload.size());
    Bytes frame = {0xFF,
                   static_cast<uint8_t>(crc ? 0xF0 : 0xF1),
                   static_cast<uint8_t>(((objectType - 1) << 6) | (rateIndex << 2) | (channels >> 2)),
                   static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11)),
                   static_cast<uint8_t>(length >> 3),
                   static_cast<uint8_t>(((length & 7) << 5) | 0x1F),
                   static_cast<uint8_t>(0xFC | (blocks - 1))};
    if (crc) {
        frame.push_back(0xAB);
        frame.push_back(0xCD);
    }
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::vector<Bytes> readAll(const Bytes& stream, size_t pieceSize, AdtsReader& reader) {
    std::vector<Bytes> units;
    AdtsFrame frame;
    for (size_t at = 0; at < stream.size(); at += pieceSize) {
        reader.feed(stream.data() + at, std::min(pieceSize, stream.size() - at));
        while (reader.next(frame)) units.emplace_back(frame.payload.data, frame.payload.data + frame.payload.size);
    }
    return units;
}

TEST(AdtsHeader, FieldsAreRead) {
    struct Case {
        Bytes frame;
        unsigned rate, channels, headerLength, objectType, blocks;
    } cases[] = {
        {adtsFrame(Bytes(100, 0x11), 3, 2), 48000, 2, 7, 2, 1},
        {adtsFrame(Bytes(10, 0x11), 4, 1, true), 44100, 1, 9, 2, 1},
        {adtsFrame(Bytes(3000, 0x11), 11, 6), 8000, 6, 7, 2, 1},
        {adtsFrame(Bytes(5, 0x11), 8, 1, false, 1, 2), 16000, 1, 7, 1, 2},
    };
    for (const Case& c : cases) {
        AdtsHeader header;
        ASSERT_TRUE(parseAdtsHeader(c.frame.data(), c.frame.size(), header));
        EXPECT_EQ(header.sampleRate, c.rate);
        EXPECT_EQ(header.channelConfig, c.channels);
        EXPECT_EQ(header.headerLength, c.headerLength);
        EXPECT_EQ(header.frameLength, c.frame.size());
        EXPECT_EQ(header.objectType, c.objectType);
        EXPECT_EQ(header.rawDataBlocks, c.blocks);
    }
}

TEST(AdtsHeader, RefusesWhatIsNoHeader) {
    Bytes good = adtsFrame(Bytes(10, 0x11), 3, 2);
    struct Case {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"too short", Bytes(good.begin(), good.begin() + 6)},
        {"no sync word", [&] { Bytes b = good; b[1] = 0xE1; return b; }()},
        {"layer not 0", [&] { Bytes b = good; b[1] |= 0x02; return b; }()},
        {"reserved rate index", adtsFrame(Bytes(10, 0x11), 13, 2)},
        {"frame no longer than its header", adtsFrame(Bytes(), 3, 2)},
    };
    for (const Case& c : cases) {
        AdtsHeader header;
        EXPECT_FALSE(parseAdtsHeader(c.bytes.data(), c.bytes.size(), header)) << c.what;
    }
}

TEST(AdtsReader, FramesSplitAcrossReadsComeOutWithoutHeaders) {
    Bytes a(300, 0x21), b(5, 0x22), c(1000, 0x23);
    Bytes stream = adtsFrame(a, 3, 2);
    for (const Bytes& frame : {adtsFrame(b, 3, 2, true), adtsFrame(c, 3, 2)}) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    for (size_t piece : {size_t{1}, size_t{6}, size_t{307}, stream.size()}) {
        AdtsReader reader;
        EXPECT_EQ(readAll(stream, piece, reader), (std::vector<Bytes>{a, b, c})) << "pieces of " << piece;
        EXPECT_EQ(reader.skippedBytes(), 0u);
        EXPECT_EQ(reader.bufferedBytes(), 0u);
    }
}

TEST(AdtsReader, CutOffFrameStaysBuffered) {
    Bytes stream = adtsFrame(Bytes(50, 0x21), 3, 2);
    Bytes second = adtsFrame(Bytes(50, 0x22), 3, 2);
    stream.insert(stream.end(), second.begin(), second.begin() + 20);
    AdtsReader reader;
    EXPECT_EQ(readAll(stream, 8, reader).size(), 1u);
    EXPECT_EQ(reader.bufferedBytes(), 20u);
}

// Garbage, including a false sync word, is skipped; frames after it count
// only when another header follows them.
TEST(AdtsReader, ResynchronisesAfterGarbage) {
    Bytes a(40, 0x31), b(40, 0x32);
    Bytes stream = {0x49, 0x44, 0x33, 0xFF, 0xF1, 0x4C, 0x80, 0x02, 0x1F, 0xFC, 0x00};
    for (const Bytes& frame : {adtsFrame(a, 3, 2), adtsFrame(b, 3, 2), adtsFrame(a, 3, 2)}) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    for (size_t piece : {size_t{1}, stream.size()}) {
        AdtsReader reader;
        EXPECT_EQ(readAll(stream, piece, reader), (std::vector<Bytes>{a, b, a})) << "pieces of " << piece;
        EXPECT_EQ(reader.skippedBytes(), 11u);
    }
}

}  // namespace
