// Walking the ACEs of the DACL or SACL in place while the walk deletes,
// replaces or copies them: the rebuilt list is read again after each step,
// and the index and count follow the ACEs that moved.
#include "engine/tavrik.h"
#include "objects/csd.h"

DWORD CSD::WalkAces(DWORD aclType, const std::function<DWORD(const ACE_HEADER* ace, AceWalk& walk)>& visit) {
    PACL* list = AclOf(aclType);
    if (!list) return RTN_ERR_PARAMETER;
    if (!*list) return RTN_OK;

    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(*list, &size, sizeof(size), AclSizeInformation)) {
        m_lastError = GetLastError();
        return RTN_ERR_READ_ACL;
    }
    AceWalk walk{aclType, 0, size.AceCount};
    for (; walk.index < walk.count; ++walk.index) {
        void* ace = nullptr;
        if (!GetAce(*list, walk.index, &ace)) {
            m_lastError = GetLastError();
            return RTN_ERR_READ_ACL;
        }
        const DWORD result = visit(static_cast<const ACE_HEADER*>(ace), walk);
        if (result != RTN_OK) return result;
    }
    return RTN_OK;
}

DWORD CSD::DeleteWalkedAce(AceWalk& walk) {
    if (!DeleteAce(*AclOf(walk.aclType), walk.index)) {
        m_lastError = GetLastError();
        return RTN_ERR_DELETE_ACE;
    }
    --walk.count;
    --walk.index;  // the next ACE has moved into this place
    return RTN_OK;
}

DWORD CSD::RewriteWalkedAce(AceWalk& walk, DWORD flags, PSID newSid) {
    if (flags & TRUSTEE_REMOVE) return DeleteWalkedAce(walk);
    if (!(flags & (TRUSTEE_REPLACE | TRUSTEE_COPY))) return RTN_OK;
    const bool replace = (flags & TRUSTEE_REPLACE) != 0;
    PACL list = *AclOf(walk.aclType);
    // Copies are walked in turn and may be copied again. A copy the list
    // already holds (a trustee copied onto itself, or a chain that comes
    // back, as A to B with B to A) is not made again, so every chain ends.
    if (!replace && HoldsAceLike(list, walk.index, newSid)) return RTN_OK;
    PACL rebuilt = replace ? ReplaceAceSid(list, walk.index, newSid) : CopyAceWithSid(list, walk.index, newSid);
    if (!rebuilt) {
        m_lastError = GetLastError();
        return RTN_ERR_CHANGE_ACE;
    }
    InstallAcl(walk.aclType, rebuilt);
    if (!replace) ++walk.count;  // the copy right behind is one more ACE to walk
    return RTN_OK;
}
