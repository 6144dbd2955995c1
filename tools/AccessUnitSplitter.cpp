#include "AccessUnitSplitter.h"

bool AccessUnitSplitter::beginsAccessUnit(const uint8_t* unit, size_t size) {
    int type = nalUnitType(fCodec, unit, size);
    bool vcl = isVclType(fCodec, type);
    bool begins = !fSeenAny;
    if (fCurrentHasPicture) {
        // Units before a picture's first slice (delimiter, parameter sets,
        // prefix SEI) open the next access unit, and so does a new picture.
        begins = opensAccessUnit(fCodec, type) || (vcl && isFirstSliceOfPicture(fCodec, unit, size));
    }
    if (begins) fCurrentHasPicture = false;
    if (vcl) fCurrentHasPicture = true;
    fSeenAny = true;
    return begins;
}
