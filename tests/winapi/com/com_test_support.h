// Helpers for tests of the COM and WMI layer: interface pointers released
// on scope exit, an apartment for the test's thread, and a connection to
// ROOT\CIMV2.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "winapi/win32.h"

namespace tavrik::test {

struct ComRelease {
    void operator()(IUnknown* object) const {
        if (object != nullptr) object->Release();
    }
};
template <class T>
using ComOwner = std::unique_ptr<T, ComRelease>;

struct BstrFree {
    void operator()(OLECHAR* text) const { SysFreeString(text); }
};
using BstrOwner = std::unique_ptr<OLECHAR, BstrFree>;
inline BstrOwner MakeBstr(const std::wstring& text) {
    return BstrOwner(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

class Apartment {
public:
    Apartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~Apartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;
    HRESULT Result() const { return hr_; }

private:
    HRESULT hr_;
};

// Services of ROOT\CIMV2, or null with a test failure recorded.
inline ComOwner<IWbemServices> ConnectCimv2() {
    IWbemLocator* locator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                  reinterpret_cast<LPVOID*>(&locator));
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) return nullptr;
    ComOwner<IWbemLocator> owner(locator);
    IWbemServices* services = nullptr;
    auto ns = MakeBstr(L"ROOT\\CIMV2");
    hr = locator->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    EXPECT_EQ(hr, WBEM_S_NO_ERROR);
    return ComOwner<IWbemServices>(services);
}

}  // namespace tavrik::test
