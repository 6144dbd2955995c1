// Common part of the H.264 and H.265 discrete framers: the input delivers one
// NAL unit (without start code) per frame, passed on unchanged. The framer
// notes the parameter sets it sees and whether the unit ends an access unit.
#pragma once

#include <cstdint>
#include <vector>

#include "rtp/FramedFilter.h"

class H264or5VideoStreamDiscreteFramer : public FramedFilter {
public:
    // True when the last delivered NAL unit is a VCL unit: the sink sets the
    // marker bit on its last packet.
    bool pictureEndMarker() const { return fPictureEndMarker; }
    // The last parameter sets seen (empty until one has passed; no VPS for H.264).
    const std::vector<uint8_t>& lastVPS() const { return fLastVPS; }
    const std::vector<uint8_t>& lastSPS() const { return fLastSPS; }
    const std::vector<uint8_t>& lastPPS() const { return fLastPPS; }
    int hNumber() const { return fHNumber; }

protected:
    H264or5VideoStreamDiscreteFramer(int hNumber, UsageEnvironment& env, FramedSource* inputSource);

    bool isH264VideoStreamFramer() const override { return fHNumber == 264; }
    bool isH265VideoStreamFramer() const override { return fHNumber == 265; }
    unsigned maxFrameSize() const override;

private:
    void doGetNextFrame() override;
    static void afterGettingFrame(void* clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                  struct timeval presentationTime, unsigned durationInMicroseconds);
    void afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes,
                            struct timeval presentationTime, unsigned durationInMicroseconds);
    void noteNalUnit(const uint8_t* nal, unsigned size);
    static void rememberSet(std::vector<uint8_t>& set, const uint8_t* nal, unsigned size);

    int fHNumber;
    bool fPictureEndMarker = false;
    std::vector<uint8_t> fLastVPS, fLastSPS, fLastPPS;
};
