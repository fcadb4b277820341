// The COM runtime of the Windows layer: apartments, activation, BSTR,
// VARIANT and SAFEARRAY, and reference counting of the WMI objects.
#include <gtest/gtest.h>

#include <thread>

#include "com_test_support.h"
#include "support/temp_machine.h"
#include "winapi/com/com_object.h"

using namespace tavrik::test;

namespace {

// Activation consults the simulated computer for injected faults, so it
// gets one of its own rather than the user's.
class ComActivation : public ::testing::Test {
protected:
    TempMachine machine_;
};
using ComProxyBlanket = ComActivation;

}  // namespace

TEST(ComApartment, InitialisationCountsAndKeepsItsModel) {
    ASSERT_EQ(winapi::com::ApartmentDepth(), 0);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(winapi::com::ApartmentDepth(), 2);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(winapi::com::ApartmentDepth(), 0);
    // Unbalanced calls do not drive the count below zero.
    CoUninitialize();
    EXPECT_EQ(winapi::com::ApartmentDepth(), 0);
    EXPECT_EQ(CoInitializeEx(reinterpret_cast<LPVOID>(1), COINIT_APARTMENTTHREADED), E_INVALIDARG);
}

TEST(ComApartment, EachThreadHasItsOwn) {
    Apartment here;
    ASSERT_EQ(here.Result(), S_OK);
    HRESULT there = E_FAIL;
    std::thread([&there] {
        there = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoUninitialize();
    }).join();
    EXPECT_EQ(there, S_OK);
}

TEST_F(ComActivation, NeedsAnApartmentAndKnowsOnlyTheLocator) {
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<LPVOID*>(&object)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);

    Apartment apartment;
    EXPECT_EQ(CoCreateInstance(IID_IWbemServices, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<LPVOID*>(&object)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemServices,
                               reinterpret_cast<LPVOID*>(&object)),
              E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, reinterpret_cast<IUnknown*>(0x10), CLSCTX_INPROC_SERVER,
                               IID_IWbemLocator, reinterpret_cast<LPVOID*>(&object)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, nullptr),
              E_POINTER);
    EXPECT_EQ(winapi::com::LiveObjectCount(), 0);

    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<LPVOID*>(&object)),
              S_OK);
    ComOwner<IUnknown> unknown(object);
    IWbemLocator* locator = nullptr;
    EXPECT_EQ(unknown->QueryInterface(IID_IWbemLocator, reinterpret_cast<void**>(&locator)), S_OK);
    ComOwner<IWbemLocator> locatorOwner(locator);
    void* other = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(unknown->QueryInterface(IID_IEnumWbemClassObject, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
}

TEST_F(ComActivation, ObjectsLiveExactlyAsLongAsTheirReferences) {
    Apartment apartment;
    const long before = winapi::com::LiveObjectCount();
    IWbemLocator* locator = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<LPVOID*>(&locator)),
              S_OK);
    EXPECT_EQ(winapi::com::LiveObjectCount(), before + 1);
    EXPECT_EQ(locator->AddRef(), 2u);
    EXPECT_EQ(locator->Release(), 1u);
    EXPECT_EQ(winapi::com::LiveObjectCount(), before + 1);
    EXPECT_EQ(locator->Release(), 0u);
    EXPECT_EQ(winapi::com::LiveObjectCount(), before);
}

TEST_F(ComProxyBlanket, AcceptsTheUsualSettingsAndRefusesNonsense) {
    Apartment apartment;
    auto services = ConnectCimv2();
    ASSERT_NE(services, nullptr);
    EXPECT_EQ(CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              S_OK);
    EXPECT_EQ(CoSetProxyBlanket(nullptr, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              E_INVALIDARG);
    EXPECT_EQ(CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, 99,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              E_INVALIDARG);
}

TEST(Bstr, KeepsItsLengthBeforeTheCharacters) {
    BSTR text = SysAllocString(L"ROOT\\CIMV2");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 10u);
    EXPECT_EQ(SysStringByteLen(text), 10u * sizeof(OLECHAR));
    EXPECT_EQ(reinterpret_cast<const ULONG*>(text)[-1], 10u * sizeof(OLECHAR));
    EXPECT_EQ(std::wstring(text), L"ROOT\\CIMV2");
    SysFreeString(text);

    const wchar_t withNul[] = {L'a', L'\0', L'b'};
    BSTR counted = SysAllocStringLen(withNul, 3);
    EXPECT_EQ(SysStringLen(counted), 3u);
    EXPECT_EQ(counted[2], L'b');
    EXPECT_EQ(counted[3], L'\0');
    SysFreeString(counted);

    BSTR blank = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(SysStringLen(blank), 4u);
    EXPECT_EQ(blank[0], L'\0');
    SysFreeString(blank);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocStringLen(L"x", 0xFFFFFFFFu), nullptr);
}

TEST(Variant, ClearReleasesWhatItOwns) {
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(value.vt, VT_EMPTY);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(L"owned");
    EXPECT_EQ(VariantClear(&value), S_OK);  // AddressSanitizer reports a leak otherwise
    EXPECT_EQ(value.vt, VT_EMPTY);

    value.vt = VT_ARRAY | VT_BSTR;
    value.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    BSTR item = SysAllocString(L"item");
    LONG index = 1;
    EXPECT_EQ(SafeArrayPutElement(value.parray, &index, item), S_OK);
    SysFreeString(item);
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);

    value.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&value), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(SafeArray, VectorsOfStringsAndIntegers) {
    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 1, 3);
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(SafeArrayGetDim(strings), 1u);
    LONG lower = 0, upper = 0;
    EXPECT_EQ(SafeArrayGetLBound(strings, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(strings, 1, &upper), S_OK);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, 3);
    EXPECT_EQ(SafeArrayGetLBound(strings, 2, &lower), DISP_E_BADINDEX);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(strings, &vt), S_OK);
    EXPECT_EQ(vt, VT_BSTR);

    BSTR in = SysAllocString(L"second");
    LONG index = 2;
    EXPECT_EQ(SafeArrayPutElement(strings, &index, in), S_OK);
    SysFreeString(in);  // the array holds its own copy
    BSTR out = nullptr;
    EXPECT_EQ(SafeArrayGetElement(strings, &index, &out), S_OK);
    EXPECT_EQ(std::wstring(out), L"second");
    SysFreeString(out);
    index = 0;
    EXPECT_EQ(SafeArrayGetElement(strings, &index, &out), DISP_E_BADINDEX);
    index = 4;
    EXPECT_EQ(SafeArrayPutElement(strings, &index, nullptr), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayDestroy(strings), S_OK);

    SAFEARRAY* numbers = SafeArrayCreateVector(VT_I4, 0, 2);
    LONG value = -7, read = 0;
    index = 1;
    EXPECT_EQ(SafeArrayPutElement(numbers, &index, &value), S_OK);
    EXPECT_EQ(SafeArrayGetElement(numbers, &index, &read), S_OK);
    EXPECT_EQ(read, -7);
    EXPECT_EQ(SafeArrayDestroy(numbers), S_OK);

    SAFEARRAY* empty = SafeArrayCreateVector(VT_BSTR, 0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SafeArrayGetUBound(empty, 1, &upper), S_OK);
    EXPECT_EQ(upper, -1);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);

    EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_R8, 0, 0x7FFFFFFF), nullptr);
}
