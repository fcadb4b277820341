// Generic rights replaced by the object type's specific and standard rights.
#include "winapi/win32.h"

void MapGenericMask(PDWORD AccessMask, PGENERIC_MAPPING GenericMapping) {
    if (AccessMask == nullptr || GenericMapping == nullptr) return;
    DWORD mask = *AccessMask;
    if (mask & GENERIC_READ) mask |= GenericMapping->GenericRead;
    if (mask & GENERIC_WRITE) mask |= GenericMapping->GenericWrite;
    if (mask & GENERIC_EXECUTE) mask |= GenericMapping->GenericExecute;
    if (mask & GENERIC_ALL) mask |= GenericMapping->GenericAll;
    // The generic bits are always cleared, even when the mapping itself
    // (carelessly) contains generic bits.
    *AccessMask = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}
