// Where an ACE keeps its SID. The basic layout puts it right after the
// access mask; the object layouts put it after the object flags and the
// GUIDs those flags announce; compound and unknown types are not read.
#pragma once

#include "winapi/win32.h"

namespace tavrik {

struct AceSidPlace {
    DWORD offset = 0;  // from the start of the ACE; 0: the type holds no SID we know of
    DWORD length = 0;  // bytes of the SID; 0: no well-formed SID fits in the ACE
};

AceSidPlace LocateAceSid(const ACE_HEADER* ace);

// The ACE's SID when one is there and fits within the ACE, else null.
inline PSID AceSid(const ACE_HEADER* ace) {
    const AceSidPlace place = LocateAceSid(ace);
    if (place.length == 0) return nullptr;
    return const_cast<BYTE*>(reinterpret_cast<const BYTE*>(ace) + place.offset);
}

// True for the types whose SID follows the access mask directly.
bool HasBasicLayout(BYTE aceType);

}  // namespace tavrik
