#include "LiveVideoStream.h"

#include <unistd.h>

#include <cerrno>

#include "ConsoleOutput.h"
#include "FrameSink.h"

LiveVideoStream::LiveVideoStream(FrameSink& sink, int fd, VideoCodec codec, double fps)
    : fSink(sink), fFd(fd), fCodec(codec), fFrameClock(1e6 / fps) {
    if (codec != VideoCodec::Unknown) fSplitter = std::make_unique<AccessUnitSplitter>(codec);
    fSharedCodec = codec;
}

LiveVideoStream::~LiveVideoStream() { stop(); }

void LiveVideoStream::launch() {
    if (fThread.joinable()) return;
    fArrivalClock.start();
    fThread = std::thread(&LiveVideoStream::run, this);
}

void LiveVideoStream::stop() {
    if (!fThread.joinable()) return;
    fStop.signal();
    fThread.join();
}

void LiveVideoStream::run() {
    while (fStop.waitForInput(fFd) && readPiece()) drainUnits();
    finish();
}

// False at the end of the input or on a read error.
bool LiveVideoStream::readPiece() {
    uint8_t* room = fReader.prepare(kPieceSize);
    ssize_t got;
    do {
        got = read(fFd, room, kPieceSize);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return false;
    fReader.commit(static_cast<size_t>(got));
    return true;
}

void LiveVideoStream::drainUnits() {
    ByteSpan unit;
    while (fReader.next(unit)) handleUnit(unit);
}

// At the end of the input the units held back decide the codec by majority.
void LiveVideoStream::finish() {
    if (!fStop.signalled()) {
        fReader.markEnd();
        drainUnits();
        if (fCodec == VideoCodec::Unknown && fDetector.conclude() != VideoCodec::Unknown) adoptDetectedCodec();
    }
    fEnded = true;
    std::lock_guard<std::mutex> lock(fMutex);
    fChanged.notify_all();
}

void LiveVideoStream::handleUnit(ByteSpan unit) {
    if (fCodec == VideoCodec::Unknown) detectWith(unit);
    else handleKnownUnit(unit);
}

// Units seen before the codec is known are held, then handled in order.
void LiveVideoStream::detectWith(ByteSpan unit) {
    if (fUndecided.size() < VideoCodecDetector::kUnitsToDecide) fUndecided.emplace_back(unit.data, unit.data + unit.size);
    if (fDetector.offer(unit.data, unit.size) != VideoCodec::Unknown) adoptDetectedCodec();
}

void LiveVideoStream::adoptDetectedCodec() {
    fCodec = fDetector.decided();
    printLine("live input: %s detected", videoCodecName(fCodec));
    fSplitter = std::make_unique<AccessUnitSplitter>(fCodec);
    {
        std::lock_guard<std::mutex> lock(fMutex);
        fSharedCodec = fCodec;
    }
    std::vector<std::vector<uint8_t>> held;
    held.swap(fUndecided);
    for (const std::vector<uint8_t>& bytes : held) handleKnownUnit(ByteSpan{bytes.data(), bytes.size()});
}

void LiveVideoStream::handleKnownUnit(ByteSpan unit) {
    if (fSplitter->beginsAccessUnit(unit.data, unit.size)) {
        fStampUs = fFrameClock.next(fArrivalClock.presentationNowUs());
    }
    if (parameterSetKind(fCodec, nalUnitType(fCodec, unit.data, unit.size)) != ParameterSetKind::None) {
        noteParameterSet(unit);
    }
    fSink.pushVideo(unit, isKeyUnit(fCodec, unit.data, unit.size) ? NERIVO_FRAME_KEY : 0, fStampUs);
}

void LiveVideoStream::noteParameterSet(ByteSpan unit) {
    std::lock_guard<std::mutex> lock(fMutex);
    ParameterSets::Offer offer = fSets.offer(fCodec, unit.data, unit.size);
    if (offer == ParameterSets::Offer::Stored && fSets.complete(fCodec)) fChanged.notify_all();
    if (offer == ParameterSets::Offer::TooLong && !fReportedTooLong) {
        printErrorLine("nerivo-serve: live input: a parameter set of %zu bytes does not fit the description", unit.size);
        fReportedTooLong = true;
    }
}

bool LiveVideoStream::describe(MEDIA_DESC_T& desc, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(fMutex);
    auto known = [this] { return fSharedCodec != VideoCodec::Unknown && fSets.complete(fSharedCodec); };
    fChanged.wait_for(lock, timeout, [&] { return known() || fEnded.load(); });
    if (!known()) return false;
    desc.video_codec = videoCodecId(fSharedCodec);
    fSets.fillDescription(desc);
    return true;
}
