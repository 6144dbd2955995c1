#include "ServeApp.h"

#include <signal.h>

#include <cerrno>

#include "AudioFile.h"
#include "ConsoleOutput.h"

namespace {

constexpr const char* kTestPatternName = "live";
constexpr size_t kTestPatternAudioBlock = 160;  // 20 ms of 8000 Hz G.711
constexpr double kTestPatternAudioBlockUs = 20000;
constexpr int kSignalPollMs = 250;

sigset_t endingSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void ignoreSignal(int) {}

// Blocked here before any thread exists, so every thread (the library's
// too) inherits the mask and only sigtimedwait in run() takes them. A
// handler replaces an inherited "ignore" (a background start from a
// script), which would discard them before sigtimedwait could see them.
void blockEndingSignals() {
    sigset_t set = endingSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction action {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

const char* startupFailure(int result) {
    switch (result) {
    case -4: return "out of memory";
    case -5: return "the server could not start (is the port in use? see the log above)";
    case -6: return "user name, password or realm too long";
    default: return "bad arguments";
    }
}

}  // namespace

ServeApp::ServeApp(ServeOptions options) : fOptions(std::move(options)), fTestPattern(fOptions.channels.empty()) {}

ServeApp::~ServeApp() { stopAll(); }

int ServeApp::run() {
    blockEndingSignals();
    if (!buildChannels() || !attachInputs() || !startLibrary()) {
        stopAll();
        return 1;
    }
    for (auto& channel : fChannels) channel->launch();
    printUrls();
    int status = waitForEnd();
    stopAll();
    return status;
}

bool ServeApp::buildChannels() {
    if (fTestPattern) {
        ChannelOptions pattern;
        pattern.name = kTestPatternName;
        pattern.video = "-";
        fOptions.channels.push_back(pattern);
    }
    for (size_t i = 0; i < fOptions.channels.size(); ++i) {
        auto channel = std::make_unique<ServeChannel>(static_cast<int>(i), fOptions.channels[i], Nerivo_PushFrame);
        std::string error;
        if (!channel->load(error)) {
            printErrorLine("nerivo-serve: %s", error.c_str());
            return false;
        }
        fChannels.push_back(std::move(channel));
    }
    return true;
}

bool ServeApp::startLibrary() {
    std::vector<CHANNEL_INFO_T> infos;
    for (const auto& channel : fChannels) infos.push_back(channel->info());
    const char* realm = fOptions.realm.empty() ? nullptr : fOptions.realm.c_str();
    int result = Nerivo_Startup(fOptions.port, fOptions.digest ? 1 : 0, realm, fOptions.user.c_str(),
                                fOptions.password.c_str(), &ServeApp::onHostEvent, this, infos.data(),
                                static_cast<unsigned>(infos.size()));
    if (result != 0) {
        printErrorLine("nerivo-serve: Nerivo_Startup returned %d: %s", result, startupFailure(result));
        return false;
    }
    fLibraryStarted = true;
    return true;
}

// The test pattern comes from ffmpeg; a "-" channel reads standard input.
// Attached before the library starts, since its callback reads them; read
// (launched) once it runs, since pushes before would fail.
bool ServeApp::attachInputs() {
    if (fTestPattern) {
        std::string error;
        if (!fFfmpeg.start(testPatternArguments(), 2, error)) {
            printErrorLine("nerivo-serve: %s", error.c_str());
            return false;
        }
        ServeChannel& channel = *fChannels.front();
        channel.attachLiveVideo(fFfmpeg.outputFd(0), VideoCodec::H264);
        AudioFormat mulaw{NERIVO_CODEC_PCMU, 8000, 1, 0};
        channel.attachLiveAudio(fFfmpeg.outputFd(1), mulaw, kTestPatternAudioBlock, kTestPatternAudioBlockUs);
    }
    for (size_t i = 0; i < fChannels.size(); ++i) {
        if (!fTestPattern && fOptions.channels[i].isLive()) {
            fChannels[i]->attachLiveVideo(0, fOptions.channels[i].h265 ? VideoCodec::H265 : VideoCodec::Unknown);
        }
    }
    return true;
}

void ServeApp::printUrls() const {
    for (const auto& channel : fChannels) {
        printLine("rtsp://127.0.0.1:%u/%s  (%s)", fOptions.port, channel->name().c_str(), channel->summary().c_str());
    }
    if (!fOptions.user.empty()) {
        printLine("clients log in as %s (%s)", fOptions.user.c_str(), fOptions.digest ? "Digest" : "Basic");
    }
    printLine("serving; Ctrl-C ends");
}

int ServeApp::waitForEnd() {
    sigset_t set = endingSignals();
    timespec poll{0, kSignalPollMs * 1000000L};
    for (;;) {
        int signal = sigtimedwait(&set, nullptr, &poll);
        if (signal == SIGINT || signal == SIGTERM) return 0;
        if (signal < 0 && errno != EAGAIN && errno != EINTR) return 1;
        if (inputsFailed()) return 1;
    }
}

// The test pattern depends on ffmpeg; a file or stdin channel does not end.
bool ServeApp::inputsFailed() {
    std::string how;
    if (fTestPattern && fFfmpeg.exited(how)) {
        printErrorLine("nerivo-serve: ffmpeg %s", how.c_str());
        return true;
    }
    for (const auto& channel : fChannels) {
        if (!fTestPattern && channel->liveVideoEnded() && !fReportedLiveEnd) {
            printLine("standard input has ended; %s serves no more live frames", channel->name().c_str());
            fReportedLiveEnd = true;
        }
    }
    return false;
}

// Pushing stops before the library does; the channels outlive it, so that a
// callback still running finds them.
void ServeApp::stopAll() {
    for (auto& channel : fChannels) channel->quit();
    fFfmpeg.terminate();
    if (fLibraryStarted) Nerivo_Shutdown();
    fLibraryStarted = false;
}

int ServeApp::onHostEvent(int channelId, int event, MEDIA_DESC_T* desc, void* user) {
    return static_cast<ServeApp*>(user)->handleEvent(channelId, event, desc);
}

int ServeApp::handleEvent(int channelId, int event, MEDIA_DESC_T* desc) {
    if (channelId < 0 || static_cast<size_t>(channelId) >= fChannels.size()) {
        printErrorLine("nerivo-serve: event %d for unknown channel %d", event, channelId);
        return -1;
    }
    ServeChannel& channel = *fChannels[static_cast<size_t>(channelId)];
    switch (event) {
    case CHANNEL_EVT_DESCRIBE: return desc ? channel.onDescribe(*desc) : -1;
    case CHANNEL_EVT_PLAY: channel.onPlay(); break;
    case CHANNEL_EVT_STOP: channel.onStop(); break;
    default: printErrorLine("nerivo-serve: unknown event %d on channel %s", event, channel.name().c_str()); break;
    }
    return 0;
}
