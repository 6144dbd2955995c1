#include "LoadOptions.h"

#include <cstdio>

#include "ArgList.h"

namespace {

bool expandTemplate(const std::string& pattern, long streams, std::vector<std::string>& urls, std::string& error) {
    size_t at = pattern.find("%d");
    if (at == std::string::npos || pattern.find('%', at + 2) != std::string::npos) {
        error = "--url-template needs exactly one %d";
        return false;
    }
    for (long i = 0; i < streams; ++i)
        urls.push_back(pattern.substr(0, at) + std::to_string(i) + pattern.substr(at + 2));
    return true;
}

bool readNumbers(const ArgList& args, LoadOptions& options, std::string& error) {
    long clients = options.clients, concurrency = options.setupConcurrency, udpBase = options.udpBase,
         pid = 0;
    bool ok = args.integer("clients", 1, 20000, clients, error) &&
              args.integer("setup-concurrency", 1, 4096, concurrency, error) &&
              args.integer("udp-base", 1024, 64000, udpBase, error) &&
              args.integer("server-pid", 1, 1 << 30, pid, error) &&
              args.number("duration", 0.1, 3600, options.durationS, error) &&
              args.number("keepalive", 0.1, 3600, options.keepAliveS, error) &&
              args.number("settle", 0, 600, options.settleS, error) &&
              args.number("warmup", 0, 600, options.warmupS, error) &&
              args.number("setup-timeout", 1, 3600, options.setupTimeoutS, error) &&
              args.number("request-timeout", 0.1, 600, options.requestTimeoutS, error);
    options.clients = static_cast<unsigned>(clients);
    options.setupConcurrency = static_cast<unsigned>(concurrency);
    options.udpBase = static_cast<uint16_t>(udpBase);
    options.serverPid = static_cast<pid_t>(pid);
    return ok;
}

}  // namespace

const char* loadUsage() {
    return "nerivo-load --url rtsp://127.0.0.1:8554/ch0 [--url ...] | --url-template rtsp://h:p/ch%d --streams N\n"
           "  [--clients N] [--transport udp|tcp] [--duration S] [--keepalive S] [--options-keepalive]\n"
           "  [--settle S] [--warmup S] [--setup-timeout S] [--request-timeout S] [--setup-concurrency N]\n"
           "  [--udp-base PORT] [--server-pid PID] [--label TEXT] [--trace]\n"
           "Sessions DESCRIBE/SETUP/PLAY the video track, receive for --duration seconds, then TEARDOWN.\n"
           "Prints one JSON line (stdout) and one human line (stderr).\n";
}

bool parseLoadOptions(int argc, char* const* argv, LoadOptions& options, std::string& error) {
    ArgList args;
    if (!args.parse(argc, argv,
                    {"url", "url-template", "streams", "clients", "transport", "duration", "keepalive", "settle", "warmup",
                     "setup-timeout", "request-timeout", "setup-concurrency", "udp-base", "server-pid", "label"},
                    {"options-keepalive", "trace"}, error))
        return false;
    options.urls = args.all("url");
    if (args.has("url-template")) {
        long streams = 1;
        if (!args.integer("streams", 1, 20000, streams, error)) return false;
        if (!expandTemplate(args.text("url-template"), streams, options.urls, error)) return false;
    }
    if (options.urls.empty()) {
        error = "no --url or --url-template";
        return false;
    }
    std::string transport = args.text("transport", "udp");
    if (transport != "udp" && transport != "tcp") {
        error = "--transport is udp or tcp";
        return false;
    }
    options.transport = transport == "tcp" ? LoadTransport::Tcp : LoadTransport::Udp;
    options.optionsKeepAlive = args.has("options-keepalive");
    options.label = args.text("label");
    options.trace = args.has("trace");
    return readNumbers(args, options, error);
}
