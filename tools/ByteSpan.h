// A view of bytes owned by someone else.
#pragma once

#include <cstddef>
#include <cstdint>

struct ByteSpan {
    const uint8_t* data = nullptr;
    size_t size = 0;
};
