// Comparison of secrets whose time does not depend on where they differ.
#pragma once

#include <string_view>

// True when given == expected. Runs over the whole of `given` whatever the
// contents; the time depends only on given's length.
bool constantTimeEquals(std::string_view given, std::string_view expected);
