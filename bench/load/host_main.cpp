// nerivo-bench-host: serves one file on N channels through the library.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "ArgList.h"
#include "BenchHost.h"
#include "StreamFile.h"

namespace {

void raiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    ArgList args;
    std::string error;
    long port = 8554, channels = 1;
    if (!args.parse(argc, argv, {"file", "port", "channels"}, {"idle"}, error) ||
        !args.integer("port", 1, 65535, port, error) || !args.integer("channels", 1, 1024, channels, error) ||
        !args.has("file")) {
        fprintf(stderr, "nerivo-bench-host: %s\nusage: nerivo-bench-host --file H264 [--port P] [--channels N] [--idle]\n",
                error.empty() ? "--file is needed" : error.c_str());
        return 2;
    }
    StreamFile file;
    if (!file.load(args.text("file"), error)) {
        fprintf(stderr, "nerivo-bench-host: %s\n", error.c_str());
        return 1;
    }
    raiseFileLimit();
    signal(SIGPIPE, SIG_IGN);
    // The library's threads inherit the blocked set; only sigwait below takes the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    BenchHost host(file, static_cast<unsigned>(channels), args.has("idle"));
    int result = host.start(static_cast<uint16_t>(port));
    if (result != 0) {
        fprintf(stderr, "nerivo-bench-host: Nerivo_Startup returned %d\n", result);
        return 1;
    }
    printf("ready port=%ld channels=%ld\n", port, channels);
    fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    host.stop();
    fprintf(stderr,
            "nerivo-bench-host: %llu units pushed, %llu refused, %llu late ticks, longest tick %.1f ms, "
            "longest lag %.1f ms, longest push %.1f ms\n",
            static_cast<unsigned long long>(host.pushed()), static_cast<unsigned long long>(host.refused()),
            static_cast<unsigned long long>(host.lateTicks()), host.longestTickUs() / 1000.0,
            host.longestLagUs() / 1000.0, host.longestPushUs() / 1000.0);
    return 0;
}
