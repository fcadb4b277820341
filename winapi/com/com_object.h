// Reference counting shared by the COM objects of the Windows layer, and
// the counters that let tests prove every object and apartment was released.
#pragma once

#include <atomic>

#include "winapi/com.h"

namespace winapi::com {

// Objects created and not yet destroyed, over the whole process.
long LiveObjectCount();
// How many CoInitializeEx calls of this thread are not yet balanced by
// CoUninitialize (0: COM is not initialised on this thread).
int ApartmentDepth();

void NoteObjectCreated();
void NoteObjectDestroyed();

// The IUnknown part of an object that exposes one interface besides IUnknown.
// Objects start with one reference, owned by whoever created them.
template <class Interface>
class RefCounted : public Interface {
public:
    RefCounted() { NoteObjectCreated(); }
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;
    virtual ~RefCounted() { NoteObjectDestroyed(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, InterfaceId())) {
            *ppvObject = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

protected:
    virtual const IID& InterfaceId() const = 0;

private:
    std::atomic<ULONG> references_{1};
};

// The failure that tests injected for a COM or WMI call, as an HRESULT
// (S_OK when none). Injected Win32 codes become HRESULT_FROM_WIN32 values;
// codes with the severity bit set are taken as HRESULTs.
HRESULT InjectedComFailure(const char* call, const wchar_t* object = nullptr);

}  // namespace winapi::com
