// RTCP for one RTP sink: sender reports with SDES CNAME, at once when created
// and then at the RFC 3550 interval for the session bandwidth (randomized),
// BYE when it ends. Reports arriving from receivers, over UDP or interleaved
// on an RTSP connection, call the handler registered for their sender (the
// client's liveness) and the general report handler.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "rtp/RTCPParser.h"
#include "rtp/RTPInterface.h"
#include "rtp/RTPSink.h"

class RTPSource;  // receiving is not built: always null

class RTCPInstance : public Medium {
public:
    // totSessionBW in kbit/s. Sends the first report before returning.
    static RTCPInstance* createNew(UsageEnvironment& env, Groupsock* RTCPgs, unsigned totSessionBW,
                                   const char* cname, RTPSink* sink, RTPSource* source = nullptr,
                                   bool isSSMSource = false);

    bool isRTCPInstance() const override { return true; }
    RTPInterface& rtcpInterface() { return fRTCPInterface; }
    RTPSink* sink() const { return fSink; }

    void sendReport();  // SR (or an empty RR without sink) + SDES, now
    void sendBYE();     // once; the destructor sends it if nobody did

    bool addStreamSocket(int socketNum, uint8_t channelId) {
        return fRTCPInterface.addStreamSocket(socketNum, channelId);
    }
    void removeStreamSocket(int socketNum, uint8_t channelId) {
        fRTCPInterface.removeStreamSocket(socketNum, channelId);
    }

    // Any incoming SR/RR.
    void setRRHandler(TaskFunc* handlerTask, void* clientData);
    // SR/RR from one UDP sender (address in network order, port in host order).
    void setSpecificRRHandler(uint32_t fromAddress, uint16_t fromPort, TaskFunc* handlerTask,
                              void* clientData);
    void unsetSpecificRRHandler(uint32_t fromAddress, uint16_t fromPort);
    // SR/RR arriving interleaved on (socketNum, channelId).
    void setSpecificRRHandlerForStream(int socketNum, uint8_t channelId, TaskFunc* handlerTask,
                                       void* clientData);
    void unsetSpecificRRHandlerForStream(int socketNum, uint8_t channelId);
    void setByeHandler(TaskFunc* handlerTask, void* clientData);

    unsigned numMembers() const { return 1 + static_cast<unsigned>(fMembers.size()); }
    unsigned averageRTCPSize() const { return static_cast<unsigned>(fAveRTCPSize); }
    // Seconds until the next report as RFC 3550 6.3.1 computes it, randomized.
    double reportInterval(bool initial) const;

protected:
    RTCPInstance(UsageEnvironment& env, Groupsock* RTCPgs, unsigned totSessionBW,
                 const char* cname, RTPSink* sink);
    ~RTCPInstance() override;

private:
    struct SpecificHandler {
        bool overTCP;
        uint32_t key1;  // address or socket number
        uint32_t key2;  // port or channel id
        TaskFunc* handler;
        void* clientData;
    };

    void setSpecific(bool overTCP, uint32_t key1, uint32_t key2, TaskFunc* handler, void* clientData);
    void unsetSpecific(bool overTCP, uint32_t key1, uint32_t key2);
    static void onReportTimer(void* clientData);
    void scheduleNextReport(bool initial);
    static void incomingReportHandler(void* clientData, const uint8_t* packet, unsigned size,
                                      const PacketOrigin& origin);
    void processIncoming(const uint8_t* packet, unsigned size, const PacketOrigin& origin);
    void noteMember(uint32_t ssrc);
    void pruneMembers();
    void noteRTCPSize(unsigned size);
    unsigned addReport(uint8_t* out);
    unsigned addSDES(uint8_t* out);
    unsigned addBYE(uint8_t* out);
    void sendCompound(unsigned size);

    RTPInterface fRTCPInterface;
    unsigned fTotSessionBW;
    std::string fCNAME;
    RTPSink* fSink;
    double fAveRTCPSize;
    bool fByeSent = false;
    int64_t fLastIntervalUs = 5000000;
    std::unordered_map<uint32_t, int64_t> fMembers;  // SSRC -> last heard (µs)
    std::vector<SpecificHandler> fSpecificHandlers;
    TaskFunc* fRRHandler = nullptr;
    void* fRRHandlerData = nullptr;
    TaskFunc* fByeHandler = nullptr;
    void* fByeHandlerData = nullptr;
    bool* fAliveFlag = nullptr;
    uint8_t fOutBuf[600];
};
