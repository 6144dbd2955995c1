// The AudioSpecificConfig of an AAC-LC stream, as the hex string of an SDP
// "config=" parameter.
#pragma once

#include <cstdint>
#include <string>

// The sampling-frequency index of the standard table, or the explicit
// frequency escape for other rates; channelCount as channel configuration.
std::string aacConfigString(uint32_t sampleRate, uint32_t channelCount);
