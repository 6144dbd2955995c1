// nerivo-bare-sender: the ceiling for one channel's delivery (see BareSender.h).
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "ArgList.h"
#include "BareSender.h"
#include "StreamFile.h"

namespace {

volatile sig_atomic_t gStop = 0;

void onSignal(int) { gStop = 1; }

}  // namespace

int main(int argc, char** argv) {
    ArgList args;
    std::string error;
    long port = 8556, tcpBatch = 0;
    if (!args.parse(argc, argv, {"file", "port", "tcp-batch"}, {"gso", "tcp-more"}, error) ||
        !args.integer("port", 1, 65535, port, error) || !args.integer("tcp-batch", 0, 10000, tcpBatch, error) ||
        !args.has("file")) {
        fprintf(stderr,
                "nerivo-bare-sender: %s\nusage: nerivo-bare-sender --file H264 [--port P] [--gso] "
                "[--tcp-batch PACKETS] [--tcp-more]\n",
                error.empty() ? "--file is needed" : error.c_str());
        return 2;
    }
    StreamFile file;
    if (!file.load(args.text("file"), error)) {
        fprintf(stderr, "nerivo-bare-sender: %s\n", error.c_str());
        return 1;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    BareSender::Options options;
    options.gso = args.has("gso");
    options.tcpBatch = static_cast<unsigned>(tcpBatch);
    options.tcpMore = args.has("tcp-more");
    BareSender sender(file, static_cast<uint16_t>(port), options);
    if (!sender.run(gStop)) return 1;
    fprintf(stderr, "nerivo-bare-sender: %llu frames, %llu clients dropped\n",
            static_cast<unsigned long long>(sender.framesSent()), static_cast<unsigned long long>(sender.dropped()));
    return 0;
}
