// Descriptor writes on registry keys, keeping Windows' inheritance: the
// key gets the merged descriptor, then every unprotected descendant whose
// inherited part changes is rewritten, each key in one transaction.
#pragma once

#include "winapi/security/access_check.h"
#include "winapi/machine/registry_model.h"
#include "winapi/security.h"

namespace winapi::machine {

// Writes the parts of `info` into `key` (named `name` by the caller) after
// the access check. Returns a Win32 error code; the first error met below
// the key comes back after the rest of the tree has been brought up to
// date.
DWORD SetKeySecurity(const KeyRecord& key, const std::wstring& name, const AccessToken& token,
                     SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl, PACL sacl);

// Stores the parts of `info` of the self-relative `sd` in `key` as they
// stand (RegSetKeySecurity): each list with its own flags, nothing
// inherited from the parent, nothing handed down to the keys below.
// `granted` is the access of the handle the caller holds.
DWORD StoreKeySecurity(const KeyRecord& key, ACCESS_MASK granted, const AccessToken& token,
                       SECURITY_INFORMATION info, const Bytes& sd);

// What writing the parts of `info` requires.
ACCESS_MASK AccessToWrite(SECURITY_INFORMATION info);
// What reading the parts of `info` requires.
ACCESS_MASK AccessToRead(SECURITY_INFORMATION info);

}  // namespace winapi::machine
