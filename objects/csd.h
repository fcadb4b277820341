// The security descriptor of one object while the engine works on it, kept
// in absolute form so that its parts can be inspected and replaced one by one.
#pragma once

#include <functional>
#include <string>

#include "engine/local_memory.h"
#include "winapi/win32.h"

class CTavrik;

class CSD {
public:
    explicit CSD(CTavrik* engine) : m_engine(engine) {}
    virtual ~CSD();
    CSD(const CSD&) = delete;
    CSD& operator=(const CSD&) = delete;

    // Reads the parts named by `info` of the object's descriptor.
    DWORD GetSD(std::wstring objectName, DWORD objectType, SECURITY_INFORMATION info);
    // Reads as GetSD does, for a caller that only hands the whole descriptor
    // on (a listing's SDDL record): a valid descriptor stays in the
    // self-relative form the read gave, in m_sd, and no part is set. When
    // the read landed in the thread's read buffer, m_sd lasts until the
    // next read on this thread. A descriptor that is not valid goes GetSD's
    // way, with GetSD's errors.
    DWORD GetSDAsRead(std::wstring objectName, DWORD objectType, SECURITY_INFORMATION info);
    // Names the object the next SetSD writes without reading it first, for a
    // caller that hands over every part the write names (a restore's
    // record): the read would only fetch what the write replaces. Errors
    // the read would have given come from the write's own calls.
    void TargetWithoutReading(std::wstring objectName, DWORD objectType);
    // Writes the parts named by `info`; the pointers for other parts are ignored.
    // Parts set here stay the caller's blocks.
    DWORD SetSD(const std::wstring& objectName, DWORD objectType, SECURITY_INFORMATION info, PACL dacl, PACL sacl,
                PSID owner, PSID group);
    // For an undo: SetSD that stores a file's or registry key's parts as
    // they were recorded, with the protection and auto-inherited flags of
    // `control` and no entries inherited from the parent where a list lacks
    // that flag (SetFileSecurityW, RegSetKeySecurity); a null `sacl` means
    // no SACL. Other types, and on Windows records whose DACL has the flag,
    // are written as SetSD writes them (see WrittenAsRecorded in csd.cpp).
    DWORD SetSDAsRecorded(std::wstring objectName, DWORD objectType, SECURITY_INFORMATION info, PACL dacl, PACL sacl,
                          PSID owner, PSID group, SECURITY_DESCRIPTOR_CONTROL control);

    // ACL editing on the DACL (ACL_DACL) or SACL (ACL_SACL) held here.
    DWORD DeleteAcesByFlags(DWORD aclType, BYTE flags, BOOL matchSet);
    DWORD ApplyTrusteeActions(DWORD aclType);
    DWORD ApplyDomainActions(DWORD aclType);
    // Moves every ACE of the DACL or SACL whose SID `substitute` maps (a
    // non-null result) to that SID, the way the trustee replacement does:
    // object ACEs keep their GUIDs, only the SID at its place changes.
    DWORD SubstituteAceSids(DWORD aclType, const std::function<PSID(PSID)>& substitute);
    // A new list like `acl` whose ACE `index` carries `sid`; null on failure.
    PACL ReplaceAceSid(PACL acl, DWORD index, PSID sid);
    // A new list like `acl` with a copy of ACE `index` for `sid` right after it.
    PACL CopyAceWithSid(PACL acl, DWORD index, PSID sid);
    // True when `acl` already holds an ACE equal to ACE `index` with `sid`
    // in place of its SID (the same type, flags, mask and data).
    static bool HoldsAceLike(PACL acl, DWORD index, PSID sid);

    void FreeSD();
    void FreeDacl();
    void FreeSacl();
    void FreeOwner();
    void FreeGroup();

    bool ToAbsolute(PSECURITY_DESCRIPTOR selfRelative);

    // The block GetSD laid the absolute descriptor's parts out in, and its
    // size.
    tavrik::LocalPtr<> m_parts;
    size_t m_partsSize = 0;
    PACL m_dacl = nullptr;
    PACL m_sacl = nullptr;
    PSID m_owner = nullptr;
    PSID m_group = nullptr;
    PSECURITY_DESCRIPTOR m_sd = nullptr;
    DWORD m_lastError = 0;
    std::wstring m_objectName;
    DWORD m_objectType = 0;
    CTavrik* m_engine;
    BOOL m_ownsSD = FALSE;
    BOOL m_ownsDacl = FALSE;
    BOOL m_ownsSacl = FALSE;
    BOOL m_ownsOwner = FALSE;
    BOOL m_ownsGroup = FALSE;
    // Accounts the domain actions did not find in their target domain; the
    // ACEs of such accounts are left as they were.
    DWORD m_accountsNotFound = 0;

private:
    DWORD Read(std::wstring objectName, DWORD objectType, SECURITY_INFORMATION info, bool keepSelfRelative);
    // The absolute header GetSD laid out, when m_sd is still that block.
    PSECURITY_DESCRIPTOR m_readHeader = nullptr;
    // Hands m_parts back to this thread's spare blocks, or frees it.
    void ReleaseParts();

    // Set by SetSDAsRecorded for the write it makes.
    bool m_asRecorded = false;
    SECURITY_DESCRIPTOR_CONTROL m_recordedControl = 0;

    // Stores the parts of `info` of the descriptor held here in the registry
    // key m_objectName names, as they stand; a null `sacl` leaves it none.
    // Returns a Win32 error.
    DWORD WriteKeyAsRecorded(SECURITY_INFORMATION info, PACL sacl);

    // Puts a newly built list in place of the current DACL or SACL.
    void InstallAcl(DWORD aclType, PACL acl);
    PACL* AclOf(DWORD aclType);

    // Where a walk over the ACEs of the DACL or SACL stands. Deleting or
    // copying an ACE through the walk keeps it on the ACE after the one just
    // handled.
    struct AceWalk {
        DWORD aclType;
        DWORD index;
        DWORD count;
    };
    // Calls `visit` for each ACE in order, stopping at the first result other
    // than RTN_OK; a missing list has no ACEs.
    DWORD WalkAces(DWORD aclType, const std::function<DWORD(const ACE_HEADER* ace, AceWalk& walk)>& visit);
    DWORD DeleteWalkedAce(AceWalk& walk);
    // Deletes the ACE (TRUSTEE_REMOVE), moves it to `newSid`
    // (TRUSTEE_REPLACE) or adds a copy for `newSid` behind it (TRUSTEE_COPY),
    // the first of these that `flags` holds; nothing for none of them.
    DWORD RewriteWalkedAce(AceWalk& walk, DWORD flags, PSID newSid);
};
