// The one log writer of the library: local time stamp + message, to standard
// output and to the debugger channel (syslog), one write per line.
#pragma once

enum LogLevel { LOG_INFO = 0, LOG_WARN = 1, LOG_DEBUG = 2, LOG_ERROR = 3 };

// Formats with printf conventions; a message longer than 1023 characters is cut.
void Log_Write(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The most characters of one formatted message.
constexpr int kLogMessageMax = 1023;
