#include "winapi/machine/change_observer.h"

#include <utility>

namespace winapi::machine {
namespace {

ChangeObserver& Observer() {
    static ChangeObserver observer;
    return observer;
}

ChangeObserver& InheritedObserver() {
    static ChangeObserver observer;
    return observer;
}

}  // namespace

void SetChangeObserver(ChangeObserver observer) { Observer() = std::move(observer); }

DWORD NoteComingChange(const std::wstring& object, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts) {
    const ChangeObserver& observer = Observer();
    return observer ? observer(object, type, parts) : ERROR_SUCCESS;
}

bool ChangesObserved() { return static_cast<bool>(Observer()); }

void SetInheritedChangeObserver(ChangeObserver observer) { InheritedObserver() = std::move(observer); }

DWORD NoteComingInheritedChange(const std::wstring& object, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts) {
    const ChangeObserver& observer = InheritedObserver();
    return observer ? observer(object, type, parts) : ERROR_SUCCESS;
}

bool InheritedChangesObserved() { return static_cast<bool>(InheritedObserver()); }

}  // namespace winapi::machine
