// nerivo-serve as a whole: builds the channels, starts the library and the
// inputs, prints the URLs and host events, and shuts down on SIGINT/SIGTERM.
#pragma once

#include <memory>
#include <vector>

#include "FfmpegChild.h"
#include "Nerivo.h"
#include "ServeChannel.h"
#include "ServeOptions.h"

class ServeApp {
public:
    explicit ServeApp(ServeOptions options);
    ~ServeApp();

    // Runs until a signal ends it; the process exit status.
    int run();

private:
    static int onHostEvent(int channelId, int event, MEDIA_DESC_T* desc, void* user);
    int handleEvent(int channelId, int event, MEDIA_DESC_T* desc);

    bool buildChannels();
    bool attachInputs();
    bool startLibrary();
    void printUrls() const;
    int waitForEnd();
    bool inputsFailed();
    void stopAll();

    ServeOptions fOptions;
    bool fTestPattern;
    std::vector<std::unique_ptr<ServeChannel>> fChannels;
    FfmpegChild fFfmpeg;
    bool fLibraryStarted = false;
    bool fReportedLiveEnd = false;
};
