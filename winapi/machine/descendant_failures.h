// Failures below the object a call named. Writing a directory's or key's
// descriptor recomputes what every descendant inherits; the call can only
// return one error code, so each descendant that could not be brought up to
// date is also reported here by name, for the host to show.
#pragma once

#include <functional>
#include <string>

#include "winapi/types.h"

namespace winapi::machine {

using DescendantFailureObserver = std::function<void(const std::wstring& object, DWORD error)>;

// An empty observer stops the reports.
void SetDescendantFailureObserver(DescendantFailureObserver observer);

// Called by propagation for each descendant it could not update.
void NoteDescendantFailure(const std::wstring& object, DWORD error);

}  // namespace winapi::machine
