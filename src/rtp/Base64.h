// Base64 (RFC 4648 alphabet) for SDP parameter sets, Basic credentials and
// tunnelled RTSP requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Encodes `length` bytes; the result is padded with '='.
std::string base64Encode(const uint8_t* data, size_t length);

// Decodes `text` (whole 4-character groups; '=' only as trailing padding, which
// yields no bytes). White space and any other character outside the alphabet
// fail the decode. Writes at most `capacity` bytes; a longer result fails.
// Returns false on failure, with `decodedLength` 0.
bool base64Decode(const char* text, size_t textLength, uint8_t* out, size_t capacity,
                  size_t& decodedLength);

// Bytes needed to decode `textLength` characters.
inline size_t base64DecodedMax(size_t textLength) { return (textLength + 3) / 4 * 3; }
