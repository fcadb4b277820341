// COM and WMI of the Win32 API (ole32, oleaut32, wbemuuid), over the
// simulated computer. Filled in with the WMI query helper.
#pragma once

#include "winapi/types.h"
