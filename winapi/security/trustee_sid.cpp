#include "winapi/security/trustee_sid.h"

namespace winapi {

DWORD TrusteeSid(const TRUSTEE_W& trustee, Bytes* sid) {
    switch (trustee.TrusteeForm) {
        case TRUSTEE_IS_SID: {
            if (!IsValidSid(trustee.ptstrName)) return ERROR_INVALID_SID;
            const auto* bytes = reinterpret_cast<const BYTE*>(trustee.ptstrName);
            sid->assign(bytes, bytes + GetLengthSid(trustee.ptstrName));
            return ERROR_SUCCESS;
        }
        case TRUSTEE_IS_NAME: {
            if (trustee.ptstrName == nullptr) return ERROR_INVALID_PARAMETER;
            BYTE buffer[SECURITY_MAX_SID_SIZE];
            DWORD sidSize = sizeof buffer;
            WCHAR domain[256];
            DWORD domainSize = 256;
            SID_NAME_USE use;
            if (!LookupAccountNameW(nullptr, trustee.ptstrName, buffer, &sidSize, domain, &domainSize, &use))
                return GetLastError();
            sid->assign(buffer, buffer + GetLengthSid(buffer));
            return ERROR_SUCCESS;
        }
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace winapi
