// The debugger output channel: the system log. Kept apart from Log.h because
// <syslog.h> defines macros that clash with the log level names.
#pragma once

void DebugChannel_Send(int level, const char* text);
