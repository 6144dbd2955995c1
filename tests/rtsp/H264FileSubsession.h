// A synthetic H.264 track for the tests: NAL units of an Annex-B file made by
// ffmpeg, delivered at 25 pictures per second (looping) through the stack's
// discrete framer and H264VideoRTPSink.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtsp/OnDemandServerMediaSubsession.h"

using NalUnits = std::vector<std::vector<uint8_t>>;

// Splits an Annex-B byte stream at its start codes (NAL units without them).
NalUnits splitAnnexB(std::vector<uint8_t> const& bytes);
bool readFile(std::string const& path, std::vector<uint8_t>& bytes);

class H264FileSubsession : public OnDemandServerMediaSubsession {
public:
    static H264FileSubsession* createNew(UsageEnvironment& env, NalUnits const& nals,
                                         uint16_t initialPortNum = 6970);

    std::vector<uint8_t> const& sps() const { return fSPS; }
    std::vector<uint8_t> const& pps() const { return fPPS; }
    int sourcesMade = 0;
    int sourcesClosed = 0;

protected:
    H264FileSubsession(UsageEnvironment& env, NalUnits const& nals, uint16_t initialPortNum);

    FramedSource* createNewStreamSource(unsigned clientSessionId, unsigned& estBitrate) override;
    RTPSink* createNewRTPSink(Groupsock* rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                              FramedSource* inputSource) override;
    void closeStreamSource(FramedSource* inputSource) override;

private:
    NalUnits const& fNals;
    std::vector<uint8_t> fSPS;
    std::vector<uint8_t> fPPS;
};
