#include "winapi/machine/descriptors.h"

#include <memory>
#include <stdexcept>

#include "winapi/machine/text.h"
#include "winapi/win32.h"

namespace winapi::machine {

const wchar_t* const kRegistryRootSddl = L"O:BAG:SYD:PAI(A;CI;KR;;;BU)(A;CI;KA;;;BA)(A;CI;KA;;;SY)(A;CIIO;KA;;;CO)";
const wchar_t* const kServiceSddl =
    L"O:SYG:SYD:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;IU)"
    L"(A;;CCLCSWLOCRRC;;;SU)S:(AU;FA;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD)";
const wchar_t* const kPrinterSddl =
    L"O:SYG:SYD:(A;OIIO;GA;;;CO)(A;;SWRC;;;WD)(A;CIIO;GX;;;WD)(A;;LCSWDTSDRCWDWO;;;BA)(A;OICIIO;GA;;;BA)";
const wchar_t* const kShareSddl = L"O:BAG:SYD:(A;;0x1200a9;;;WD)(A;;FA;;;BA)";

Bytes DescriptorFromSddl(const std::wstring& sddl, const std::string& what) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    ULONG size = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, &size))
        throw std::runtime_error("not a valid security descriptor for " + what + ": " + ToUtf8(sddl) +
                                 " (Windows error " + std::to_string(GetLastError()) + ")");
    std::unique_ptr<void, decltype(&LocalFree)> holder(raw, &LocalFree);
    const BYTE* bytes = static_cast<const BYTE*>(raw);
    return Bytes(bytes, bytes + size);
}

}  // namespace winapi::machine
