#include "winapi/machine/descendant_failures.h"

namespace winapi::machine {
namespace {

DescendantFailureObserver& Observer() {
    static DescendantFailureObserver observer;
    return observer;
}

}  // namespace

void SetDescendantFailureObserver(DescendantFailureObserver observer) { Observer() = std::move(observer); }

void NoteDescendantFailure(const std::wstring& object, DWORD error) {
    if (Observer()) Observer()(object, error);
}

}  // namespace winapi::machine
