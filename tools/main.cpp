// nerivo-serve: serves H.264/H.265 files, a live Annex-B pipe or an ffmpeg
// test pattern over RTSP through libNerivo's public C interface.
#include <cstdio>
#include <string>

#include "ServeApp.h"
#include "ServeOptions.h"

int main(int argc, char** argv) {
    ServeOptions options;
    std::string error;
    if (!parseServeOptions(argc, argv, options, error)) {
        fprintf(stderr, "nerivo-serve: %s\nTry 'nerivo-serve --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        fputs(serveUsage(), stdout);
        return 0;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ServeApp app(std::move(options));
    return app.run();
}
