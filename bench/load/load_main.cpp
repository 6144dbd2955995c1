// nerivo-load: the benchmark's RTSP load client.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "LoadClient.h"
#include "LoadOptions.h"

namespace {

// Room for a control socket and a UDP pair per session.
void raiseFileLimit(unsigned sessions) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    rlim_t wanted = static_cast<rlim_t>(sessions) * 3 + 64;
    if (limit.rlim_cur >= wanted) return;
    limit.rlim_cur = wanted < limit.rlim_max ? wanted : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
    LoadOptions options;
    std::string error;
    if (argc > 1 && std::string(argv[1]) == "--help") {
        fputs(loadUsage(), stdout);
        return 0;
    }
    if (!parseLoadOptions(argc, argv, options, error)) {
        fprintf(stderr, "nerivo-load: %s\n%s", error.c_str(), loadUsage());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    raiseFileLimit(options.clients);
    LoadClient client(options);
    return client.run();
}
