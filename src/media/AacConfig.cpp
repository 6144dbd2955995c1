#include "media/AacConfig.h"

#include <cstdio>

namespace {

const uint32_t kSamplingFrequencies[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                         22050, 16000, 12000, 11025, 8000,  7350};
constexpr uint32_t kAacLowComplexity = 2;
constexpr uint32_t kExplicitFrequency = 15;

int frequencyIndex(uint32_t rate) {
    for (int i = 0; i < 13; ++i)
        if (kSamplingFrequencies[i] == rate) return i;
    return -1;
}

// Channel configurations 1-6 are that many channels, 7 is eight (7.1).
uint32_t channelConfiguration(uint32_t channels) {
    if (channels >= 1 && channels <= 6) return channels;
    return channels == 8 ? 7 : 0;
}

}  // namespace

std::string aacConfigString(uint32_t sampleRate, uint32_t channelCount) {
    // Bits: object type (5), frequency index (4) [, frequency (24)], channels (4),
    // then three zero bits of the GA specific config.
    uint64_t bits = kAacLowComplexity;
    int width = 5;
    int index = frequencyIndex(sampleRate);
    if (index >= 0) {
        bits = (bits << 4) | static_cast<uint32_t>(index);
        width += 4;
    } else {
        bits = (bits << 4) | kExplicitFrequency;
        bits = (bits << 24) | (sampleRate & 0xFFFFFF);
        width += 28;
    }
    bits = (bits << 4) | channelConfiguration(channelCount);
    bits <<= 3;
    width += 7;
    int bytes = (width + 7) / 8;
    bits <<= bytes * 8 - width;
    std::string hex;
    char digits[3];
    for (int i = bytes - 1; i >= 0; --i) {
        snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>((bits >> (i * 8)) & 0xFF));
        hex += digits;
    }
    return hex;
}
