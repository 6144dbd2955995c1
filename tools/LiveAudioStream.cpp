#include "LiveAudioStream.h"

#include <unistd.h>

#include <cerrno>

#include "FrameSink.h"

LiveAudioStream::LiveAudioStream(FrameSink& sink, int fd, size_t blockSize, double blockDurationUs)
    : fSink(sink), fFd(fd), fFrameClock(blockDurationUs), fBlock(blockSize) {}

LiveAudioStream::~LiveAudioStream() { stop(); }

void LiveAudioStream::launch() {
    if (fThread.joinable() || fBlock.empty()) return;
    fArrivalClock.start();
    fThread = std::thread(&LiveAudioStream::run, this);
}

void LiveAudioStream::stop() {
    if (!fThread.joinable()) return;
    fStop.signal();
    fThread.join();
}

void LiveAudioStream::run() {
    while (fStop.waitForInput(fFd) && readIntoBlock()) {
        if (fFilled == fBlock.size()) pushBlock();
    }
    fEnded = true;
}

bool LiveAudioStream::readIntoBlock() {
    ssize_t got;
    do {
        got = read(fFd, fBlock.data() + fFilled, fBlock.size() - fFilled);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    fFilled += static_cast<size_t>(got);
    return true;
}

void LiveAudioStream::pushBlock() {
    int64_t stampUs = fFrameClock.next(fArrivalClock.presentationNowUs());
    fSink.pushAudio(ByteSpan{fBlock.data(), fBlock.size()}, stampUs);
    fFilled = 0;
}
