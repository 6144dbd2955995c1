#include "media/SilentSource.h"

#include <new>

SilentSource* SilentSource::createNew(UsageEnvironment& env) { return new (std::nothrow) SilentSource(env); }
