// One of the two buffers in which an RTP interface collects framed packets
// ('$', channel, 16-bit length, packet) for its TCP destinations.
#pragma once

#include <cstdint>

struct TCPBatchBuffer {
    // Six maximum-size framed packets: 6 x (1456 + 4).
    static constexpr uint32_t kCapacity = 8760;

    uint8_t data[kCapacity] = {};
    uint32_t capacity = kCapacity;
    uint32_t used = 0;
    uint32_t packetCount = 0;

    bool fits(uint32_t framedSize) const { return used + framedSize <= capacity; }
    void reset() {
        used = 0;
        packetCount = 0;
    }
};
