// The "Date:" line of RTSP responses.
#pragma once

#include <ctime>
#include <string>

// "Date: %a, %b %d %Y %H:%M:%S GMT\r\n" for now, in UTC with English names.
std::string rtspDateHeader();
// Same for a given time (tests).
std::string rtspDateHeader(std::time_t when);
