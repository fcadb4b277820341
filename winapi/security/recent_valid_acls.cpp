#include "winapi/security/recent_valid_acls.h"

#include <array>
#include <cstring>
#include <vector>

#include "winapi/security/security_layout.h"

namespace winapi {

bool AclValidAsRecently(const BYTE* acl, size_t available) {
    struct Recent {
        std::array<std::vector<BYTE>, 4> lists;
        size_t next = 0;
    };
    thread_local Recent recent;
    if (available >= kAclHeaderSize) {
        const WORD size = ReadWord(acl + 2);
        if (size <= available) {
            for (const std::vector<BYTE>& known : recent.lists) {
                if (known.size() == size && size != 0 && std::memcmp(known.data(), acl, size) == 0) return true;
            }
        }
    }
    if (!CheckedAclValid(acl, available)) return false;
    const WORD size = ReadWord(acl + 2);
    recent.lists[recent.next].assign(acl, acl + size);
    recent.next = (recent.next + 1) % recent.lists.size();
    return true;
}

}  // namespace winapi
