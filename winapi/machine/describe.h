// A readable summary of the whole network, for `tavrik machine show`.
#pragma once

#include <string>

namespace winapi::machine {

// Computers with their drives, accounts, services, printers, shares and
// key count; domains; the stored token and the injected faults.
std::wstring DescribeNetwork();

}  // namespace winapi::machine
