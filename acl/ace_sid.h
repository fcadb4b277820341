// Where an ACE keeps its SID. The basic layout puts it right after the
// access mask; the object layouts put it after the object flags and the
// GUIDs those flags announce; a compound ACE puts a type word and a reserved
// word in between. Reading every ACE at the basic place would show part of a
// GUID as the SID, so every reader of ACE SIDs goes through here.
#pragma once

#include "winapi/win32.h"

namespace tavrik {

struct AceSidPlace {
    DWORD offset = 0;  // from the start of the ACE; 0: the type holds no SID we know of
    DWORD length = 0;  // bytes of the SID; 0: no well-formed SID fits in the ACE
};

// Which ACE types are given a SID place at all. Rewriting a SID must not
// touch layouts it cannot rebuild, while showing a trustee wants whatever
// SID the ACE holds.
enum class AceSidReach {
    KnownLayouts,  // basic and object types; compound and unknown types hold none
    EveryAce,      // also the server SID of a compound ACE, and unknown types read as basic
};

AceSidPlace LocateAceSid(const ACE_HEADER* ace, AceSidReach reach = AceSidReach::KnownLayouts);

// The ACE's SID when one is there and fits within the ACE, else null.
inline PSID AceSid(const ACE_HEADER* ace, AceSidReach reach = AceSidReach::KnownLayouts) {
    const AceSidPlace place = LocateAceSid(ace, reach);
    if (place.length == 0) return nullptr;
    return const_cast<BYTE*>(reinterpret_cast<const BYTE*>(ace) + place.offset);
}

// True for the types whose SID follows the access mask directly.
bool HasBasicLayout(BYTE aceType);

}  // namespace tavrik
