// Owned byte buffers for descriptors, ACLs and SIDs inside the Windows layer.
#pragma once

#include <vector>

#include "winapi/types.h"

namespace winapi {
using Bytes = std::vector<BYTE>;
}  // namespace winapi
