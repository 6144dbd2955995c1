#include "ParameterSets.h"

#include <cstring>

ParameterSets::Offer ParameterSets::offer(VideoCodec codec, const uint8_t* unit, size_t size) {
    ParameterSetKind kind = parameterSetKind(codec, nalUnitType(codec, unit, size));
    uint8_t* target = nullptr;
    uint32_t* length = nullptr;
    size_t room = 0;
    switch (kind) {
    case ParameterSetKind::Vps: target = fSets.vps, length = &fSets.vps_length, room = sizeof fSets.vps; break;
    case ParameterSetKind::Sps: target = fSets.sps, length = &fSets.sps_length, room = sizeof fSets.sps; break;
    case ParameterSetKind::Pps: target = fSets.pps, length = &fSets.pps_length, room = sizeof fSets.pps; break;
    case ParameterSetKind::None: return Offer::NotAParameterSet;
    }
    if (size > room) return Offer::TooLong;
    memcpy(target, unit, size);
    *length = static_cast<uint32_t>(size);
    return Offer::Stored;
}

bool ParameterSets::has(ParameterSetKind kind) const {
    switch (kind) {
    case ParameterSetKind::Vps: return fSets.vps_length != 0;
    case ParameterSetKind::Sps: return fSets.sps_length != 0;
    case ParameterSetKind::Pps: return fSets.pps_length != 0;
    case ParameterSetKind::None: break;
    }
    return false;
}

bool ParameterSets::complete(VideoCodec codec) const {
    bool needsVps = codec == VideoCodec::H265;
    return has(ParameterSetKind::Sps) && has(ParameterSetKind::Pps) &&
           (!needsVps || has(ParameterSetKind::Vps));
}

void ParameterSets::fillDescription(MEDIA_DESC_T& desc) const {
    desc.vps_length = fSets.vps_length;
    desc.sps_length = fSets.sps_length;
    desc.pps_length = fSets.pps_length;
    memcpy(desc.vps, fSets.vps, sizeof desc.vps);
    memcpy(desc.sps, fSets.sps, sizeof desc.sps);
    memcpy(desc.pps, fSets.pps, sizeof desc.pps);
}
