#include "event/UsageEnvironment.h"

bool UsageEnvironment::reclaim() {
    if (liveMediaPriv != nullptr || groupsockPriv != nullptr || liveSourcePriv != nullptr) return false;
    delete this;
    return true;
}
