// nerivo-peer-gst: the comparison server (see PeerServer.h).
#include <glib-unix.h>
#include <gst/gst.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "ArgList.h"
#include "PeerServer.h"
#include "StreamFile.h"

namespace {

gboolean onStopSignal(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    gst_init(nullptr, nullptr);
    ArgList args;
    std::string error;
    long port = 8555, mounts = 1;
    if (!args.parse(argc, argv, {"file", "port", "channels"}, {"idle"}, error) ||
        !args.integer("port", 1, 65535, port, error) || !args.integer("channels", 1, 1024, mounts, error) ||
        !args.has("file")) {
        fprintf(stderr, "nerivo-peer-gst: %s\nusage: nerivo-peer-gst --file H264 [--port P] [--channels N] [--idle]\n",
                error.empty() ? "--file is needed" : error.c_str());
        return 2;
    }
    StreamFile file;
    if (!file.load(args.text("file"), error)) {
        fprintf(stderr, "nerivo-peer-gst: %s\n", error.c_str());
        return 1;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    signal(SIGPIPE, SIG_IGN);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    PeerServer server(file, static_cast<unsigned>(mounts), args.has("idle"));
    if (!server.start(static_cast<uint16_t>(port))) return 1;
    g_unix_signal_add(SIGTERM, onStopSignal, loop);
    g_unix_signal_add(SIGINT, onStopSignal, loop);
    printf("ready port=%ld channels=%ld\n", port, mounts);
    fflush(stdout);
    g_main_loop_run(loop);
    server.stop();
    g_main_loop_unref(loop);
    fprintf(stderr, "nerivo-peer-gst: %llu access units pushed, %llu refused\n",
            static_cast<unsigned long long>(server.pushed()), static_cast<unsigned long long>(server.refused()));
    return 0;
}
