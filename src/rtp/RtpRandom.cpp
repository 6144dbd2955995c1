#include "rtp/RtpRandom.h"

#include <sys/random.h>

#include <chrono>

namespace {

// Fallback when the kernel's generator is unavailable: a xorshift seeded from
// the clock and an address.
uint32_t fallbackRandom32() {
    static uint64_t state = 0;
    if (state == 0) {
        state = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                reinterpret_cast<uintptr_t>(&state) ^ 0x9E3779B97F4A7C15ull;
    }
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<uint32_t>(state >> 16);
}

}  // namespace

uint32_t rtpRandom32() {
    uint32_t value;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) return value;
    return fallbackRandom32();
}

double rtpRandomUnit() { return rtpRandom32() / 4294967296.0; }
