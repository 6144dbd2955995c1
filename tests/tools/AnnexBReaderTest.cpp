// Splitting Annex-B byte streams into NAL units, whatever the piece sizes.
#include <gtest/gtest.h>

#include <vector>

#include "AnnexBReader.h"

using Bytes = std::vector<uint8_t>;

namespace {

// Feeds `stream` in pieces of `pieceSize` bytes and collects the units.
std::vector<Bytes> split(const Bytes& stream, size_t pieceSize, bool end = true, AnnexBReader* used = nullptr) {
    AnnexBReader local;
    AnnexBReader& reader = used ? *used : local;
    std::vector<Bytes> units;
    ByteSpan unit;
    for (size_t at = 0; at < stream.size(); at += pieceSize) {
        size_t size = std::min(pieceSize, stream.size() - at);
        reader.feed(stream.data() + at, size);
        while (reader.next(unit)) units.emplace_back(unit.data, unit.data + unit.size);
    }
    if (end) {
        reader.markEnd();
        while (reader.next(unit)) units.emplace_back(unit.data, unit.data + unit.size);
    }
    return units;
}

struct SplitCase {
    const char* what;
    Bytes stream;
    std::vector<Bytes> units;
};

const SplitCase kCases[] = {
    {"3-byte start codes", {0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE}, {{0x67, 0x42}, {0x68, 0xCE}}},
    {"4-byte start codes", {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE}, {{0x67, 0x42}, {0x68, 0xCE}}},
    {"mixed start codes", {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x41, 0x9A},
     {{0x09, 0xF0}, {0x65, 0x88}, {0x41, 0x9A}}},
    {"trailing zero bytes are padding", {0, 0, 1, 0x65, 0x88, 0, 0, 0, 0, 0, 0, 1, 0x41, 0x9A, 0, 0},
     {{0x65, 0x88}, {0x41, 0x9A}}},
    {"bytes before the first start code dropped", {0x12, 0x34, 0, 0x56, 0, 0, 1, 0x65, 0x88}, {{0x65, 0x88}}},
    {"empty units skipped", {0, 0, 1, 0, 0, 1, 0x65, 0x88, 0, 0, 1, 0, 0, 0, 1, 0x41, 0x9A},
     {{0x65, 0x88}, {0x41, 0x9A}}},
    {"emulation prevention bytes kept", {0, 0, 1, 0x65, 0, 0, 3, 1, 0x7F, 0, 0, 1, 0x41, 0x9A},
     {{0x65, 0, 0, 3, 1, 0x7F}, {0x41, 0x9A}}},
    {"no start code at all", {0x65, 0x88, 0x99}, {}},
};

TEST(AnnexBReader, SplitsAlikeForEveryPieceSize) {
    for (const SplitCase& c : kCases) {
        for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, c.stream.size()}) {
            EXPECT_EQ(split(c.stream, piece), c.units) << c.what << ", pieces of " << piece;
        }
    }
}

TEST(AnnexBReader, TrailingUnitWaitsForEndOfStream) {
    Bytes stream = {0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x41, 0x9A, 0xBC};
    AnnexBReader reader;
    EXPECT_EQ(split(stream, 4, false, &reader), (std::vector<Bytes>{{0x65, 0x88}}));
    // More of the last unit may still come: it is only complete at the end.
    Bytes rest = {0xDE};
    EXPECT_EQ(split(rest, 1, true, &reader), (std::vector<Bytes>{{0x41, 0x9A, 0xBC, 0xDE}}));
}

TEST(AnnexBReader, UnitSplitAcrossManyReadsStaysWhole) {
    Bytes big = {0, 0, 0, 1, 0x65};
    for (int i = 0; i < 100000; ++i) big.push_back(static_cast<uint8_t>(1 + i % 250));
    Bytes tail = {0, 0, 1, 0x41, 0x9A};
    big.insert(big.end(), tail.begin(), tail.end());
    std::vector<Bytes> units = split(big, 4093);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].size(), 100001u);
    EXPECT_EQ(Bytes(units[0].begin(), units[0].begin() + 3), (Bytes{0x65, 1, 2}));
    EXPECT_EQ(units[1], (Bytes{0x41, 0x9A}));
}

TEST(AnnexBReader, OversizedUnitDroppedAndNextOneKept) {
    Bytes stream = {0, 0, 1, 0x65};
    for (int i = 0; i < 40; ++i) stream.push_back(0x55);
    Bytes tail = {0, 0, 1, 0x41, 0x9A};
    stream.insert(stream.end(), tail.begin(), tail.end());
    for (size_t piece : {size_t{3}, stream.size()}) {
        AnnexBReader bounded(16);
        EXPECT_EQ(split(stream, piece, true, &bounded), (std::vector<Bytes>{{0x41, 0x9A}})) << piece;
        EXPECT_EQ(bounded.oversizedUnits(), 1u) << piece;
    }
}

TEST(AnnexBReader, PrepareAndCommitReadInPlace) {
    AnnexBReader reader;
    Bytes stream = {0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE};
    uint8_t* room = reader.prepare(64);
    std::copy(stream.begin(), stream.end(), room);
    reader.commit(stream.size());
    reader.markEnd();
    ByteSpan unit;
    std::vector<Bytes> units;
    while (reader.next(unit)) units.emplace_back(unit.data, unit.data + unit.size);
    EXPECT_EQ(units, (std::vector<Bytes>{{0x67, 0x42}, {0x68, 0xCE}}));
}

}  // namespace
