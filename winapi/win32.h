// The one header through which the engine reaches the Windows API.
//
// On Windows it is the system's own headers and nothing else of ours; on
// Linux it is the Windows layer of this project, which implements the same
// names, types and behaviour over a simulated computer.
#pragma once

#ifdef _WIN32
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <lm.h>
#include <dsgetdc.h>
#include <dsrole.h>
#include <winnetwk.h>
#include <wbemidl.h>
#include <objbase.h>
#include <oleauto.h>
// Our Linux layer defers propagation while a recursive walk is under way;
// Windows propagates within SetNamedSecurityInfoW and needs no word.
inline void AnnounceRecursiveWalk(BOOL) {}
// SetFileSecurityW on Windows always stores as given and propagates nothing.
inline void AnnounceStoresAsGiven(BOOL) {}
#else
#include "winapi/types.h"
#include "winapi/errors.h"
#include "winapi/security.h"
#include "winapi/aclapi.h"
#include "winapi/base.h"
#include "winapi/registry.h"
#include "winapi/network.h"
#include "winapi/com.h"
#endif
