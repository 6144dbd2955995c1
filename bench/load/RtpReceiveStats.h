// What one session receives on its RTP stream: extended sequence numbers for
// gaps and loss, and the latest sender report's NTP/RTP pair to map each
// packet's RTP time onto the wall clock.
#pragma once

#include <cstddef>
#include <cstdint>

struct SequenceSnapshot {
    uint64_t expected = 0;
    uint64_t received = 0;
};

class RtpReceiveStats {
public:
    explicit RtpReceiveStats(uint32_t clockRate = 90000) : fClockRate(clockRate) {}
    void setClockRate(uint32_t rate) { fClockRate = rate; }

    // Counts the packet; returns false when it is not an RTP packet.
    bool notePacket(const uint8_t* data, size_t size);
    // Takes the NTP/RTP pair of a sender report in an RTCP compound packet.
    void noteRtcp(const uint8_t* data, size_t size);

    // Sender wall-clock microseconds of an RTP time; false before any report.
    bool senderWallUs(uint32_t rtpTime, int64_t& wallUs) const;

    SequenceSnapshot snapshot() const { return {expected(), fReceived}; }
    uint64_t gapEvents() const { return fGapEvents; }
    uint64_t reordered() const { return fReordered; }
    uint64_t received() const { return fReceived; }
    uint64_t senderReports() const { return fReports; }

    // Fields of the last packet counted.
    bool lastMarker() const { return fLastMarker; }
    uint32_t lastTimestamp() const { return fLastTimestamp; }

private:
    uint64_t expected() const {
        return fPriorExpected + (fStarted ? fCycles + fMaxSeq - fBaseSeq + 1 : 0);
    }

    uint32_t fClockRate;
    bool fStarted = false;
    uint32_t fSsrc = 0;
    uint16_t fBaseSeq = 0;
    uint16_t fMaxSeq = 0;
    uint64_t fCycles = 0;
    uint64_t fPriorExpected = 0;
    uint64_t fReceived = 0;
    uint64_t fGapEvents = 0;
    uint64_t fReordered = 0;
    bool fLastMarker = false;
    uint32_t fLastTimestamp = 0;

    bool fHaveReport = false;
    uint64_t fReports = 0;
    int64_t fReportWallUs = 0;
    uint32_t fReportRtp = 0;
};
