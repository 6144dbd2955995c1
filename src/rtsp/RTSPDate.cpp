#include "rtsp/RTSPDate.h"

#include <cstdio>

namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

// Names come from our own tables so the host's locale cannot change them.
std::string rtspDateHeader(std::time_t when) {
    std::tm utc{};
    if (gmtime_r(&when, &utc) == nullptr) return "Date: Thu, Jan 01 1970 00:00:00 GMT\r\n";
    char line[80];
    std::snprintf(line, sizeof line, "Date: %s, %s %02d %d %02d:%02d:%02d GMT\r\n",
                  kDays[utc.tm_wday % 7], kMonths[utc.tm_mon % 12], utc.tm_mday,
                  utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return line;
}

std::string rtspDateHeader() { return rtspDateHeader(std::time(nullptr)); }
