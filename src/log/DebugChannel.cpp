#include "DebugChannel.h"

#include <syslog.h>

void DebugChannel_Send(int level, const char* text) {
    int priority = LOG_DEBUG;
    switch (level) {
        case 0: priority = LOG_INFO; break;
        case 1: priority = LOG_WARNING; break;
        case 2: priority = LOG_DEBUG; break;
        case 3: priority = LOG_ERR; break;
        default: priority = LOG_NOTICE; break;
    }
    syslog(LOG_USER | priority, "%s", text);
}
