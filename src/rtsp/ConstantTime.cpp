#include "rtsp/ConstantTime.h"

#include <cstddef>

bool constantTimeEquals(std::string_view given, std::string_view expected) {
    unsigned difference = given.size() == expected.size() ? 0u : 1u;
    // Wrap around `expected` so the loop never reads past it and never
    // branches on its contents.
    const size_t expectedSize = expected.empty() ? 1 : expected.size();
    const char* expectedData = expected.empty() ? "" : expected.data();
    for (size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i]) ^
                      static_cast<unsigned char>(expectedData[i % expectedSize]);
    }
    // Keep the compiler from turning the loop into an early exit.
    volatile unsigned result = difference;
    return result == 0;
}
