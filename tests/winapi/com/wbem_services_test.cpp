// ROOT\CIMV2 through the WMI interfaces: connecting, running queries,
// enumerating results and reading their properties as WMI hands them out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com_test_support.h"
#include "support/temp_machine.h"
#include "winapi/com/com_object.h"
#include "winapi/machine/admin.h"

using namespace tavrik::test;

namespace {

class Cimv2 : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(apartment_.Result(), S_OK);
        services_ = ConnectCimv2();
        ASSERT_NE(services_, nullptr);
    }

    HRESULT Query(const std::wstring& text, ComOwner<IEnumWbemClassObject>* results = nullptr,
                  const std::wstring& language = L"WQL") {
        auto lang = MakeBstr(language);
        auto query = MakeBstr(text);
        IEnumWbemClassObject* enumerator = reinterpret_cast<IEnumWbemClassObject*>(0x1);
        HRESULT hr = services_->ExecQuery(lang.get(), query.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                          nullptr, &enumerator);
        if (FAILED(hr)) {
            EXPECT_EQ(enumerator, nullptr) << "a refused query must not hand out an enumerator";
        }
        ComOwner<IEnumWbemClassObject> owner(SUCCEEDED(hr) ? enumerator : nullptr);
        if (results != nullptr) *results = std::move(owner);
        return hr;
    }

    std::vector<ComOwner<IWbemClassObject>> All(const std::wstring& text) {
        ComOwner<IEnumWbemClassObject> results;
        EXPECT_EQ(Query(text, &results), WBEM_S_NO_ERROR) << testing::PrintToString(text);
        std::vector<ComOwner<IWbemClassObject>> objects;
        while (results) {
            IWbemClassObject* object = nullptr;
            ULONG returned = 0;
            results->Next(static_cast<LONG>(WBEM_INFINITE), 1, &object, &returned);
            if (returned == 0) break;
            objects.emplace_back(object);
        }
        return objects;
    }

    static std::wstring Text(IWbemClassObject* object, const wchar_t* property) {
        VARIANT value;
        VariantInit(&value);
        EXPECT_EQ(object->Get(property, 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR) << property;
        std::wstring text = value.vt == VT_BSTR ? std::wstring(value.bstrVal) : L"<not a string>";
        VariantClear(&value);
        return text;
    }

    TempMachine machine_;
    Apartment apartment_;
    ComOwner<IWbemServices> services_;
};

}  // namespace

TEST_F(Cimv2, NamespaceNamesAreCheckedAsWindowsDoes) {
    IWbemLocator* raw = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<LPVOID*>(&raw)),
              S_OK);
    ComOwner<IWbemLocator> locator(raw);
    auto connect = [&](const std::wstring& name) {
        auto ns = MakeBstr(name);
        IWbemServices* services = nullptr;
        HRESULT hr = locator->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
        if (services != nullptr) services->Release();
        EXPECT_EQ(SUCCEEDED(hr), services != nullptr) << testing::PrintToString(name);
        return hr;
    };
    for (const wchar_t* good : {L"ROOT\\CIMV2", L"root\\cimv2", L"root/cimv2", L"\\\\.\\root\\cimv2",
                                L"//./ROOT/CIMV2", L"\\\\localhost\\root\\CIMv2", L"\\\\TESTPC\\root\\cimv2"})
        EXPECT_EQ(connect(good), WBEM_S_NO_ERROR) << testing::PrintToString(std::wstring(good));
    for (const wchar_t* bad : {L"ROOT\\DEFAULT", L"ROOT", L"ROOT\\CIMV2\\", L"CIMV2", L"", L"\\\\.", L"ROOT\\CIMV2x"})
        EXPECT_EQ(connect(bad), WBEM_E_INVALID_NAMESPACE) << testing::PrintToString(std::wstring(bad));
    EXPECT_EQ(connect(L"\\\\ELSEWHERE\\root\\cimv2"), HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));

    IWbemServices* services = nullptr;
    EXPECT_EQ(locator->ConnectServer(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
              WBEM_E_INVALID_PARAMETER);
    auto ns = MakeBstr(L"ROOT\\CIMV2");
    auto user = MakeBstr(L"alice");
    EXPECT_EQ(locator->ConnectServer(ns.get(), user.get(), nullptr, nullptr, 0, nullptr, nullptr, &services),
              WBEM_E_LOCAL_CREDENTIALS);
    EXPECT_EQ(services, nullptr);
}

TEST_F(Cimv2, RefusedQueriesGiveTheirWbemCodes) {
    EXPECT_EQ(Query(L"SELECT * FROM"), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service WHERE Name = 'unterminated"), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(Query(L"SELECT Bogus FROM Win32_Service"), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service WHERE Bogus = 1"), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service WHERE Name = 3"), WBEM_E_INVALID_QUERY);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Nothing"), WBEM_E_INVALID_CLASS);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service", nullptr, L"SQL"), WBEM_E_INVALID_QUERY_TYPE);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service", nullptr, L"wql"), WBEM_S_NO_ERROR);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service WHERE Name = '" + std::wstring(20000, L'x') + L"'"),
              WBEM_E_INVALID_QUERY);
    IEnumWbemClassObject* results = nullptr;
    auto lang = MakeBstr(L"WQL");
    EXPECT_EQ(services_->ExecQuery(lang.get(), nullptr, 0, nullptr, &results), WBEM_E_INVALID_PARAMETER);
    auto query = MakeBstr(L"SELECT * FROM Win32_Service");
    EXPECT_EQ(services_->ExecQuery(lang.get(), query.get(), 0, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
}

TEST_F(Cimv2, ClassNamesAndPropertyNamesIgnoreCase) {
    auto services = All(L"select name from WIN32_SERVICE where NAME = 'spooler'");
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(Text(services[0].get(), L"nAmE"), L"Spooler");
    EXPECT_EQ(Text(services[0].get(), L"__CLASS"), L"Win32_Service");
}

TEST_F(Cimv2, NextHandsOutObjectsInBatchesAndSignalsTheEnd) {
    ComOwner<IEnumWbemClassObject> results;
    ASSERT_EQ(Query(L"SELECT Name FROM Win32_Service", &results), WBEM_S_NO_ERROR);
    IWbemClassObject* batch[8] = {};
    ULONG returned = 99;
    EXPECT_EQ(results->Next(0, 3, batch, &returned), WBEM_S_NO_ERROR);
    EXPECT_EQ(returned, 3u);
    for (ULONG i = 0; i < returned; ++i) batch[i]->Release();
    EXPECT_EQ(results->Next(static_cast<LONG>(WBEM_INFINITE), 8, batch, &returned), WBEM_S_FALSE);
    EXPECT_EQ(returned, 1u);  // four services on the default computer
    batch[0]->Release();
    EXPECT_EQ(results->Next(0, 1, batch, &returned), WBEM_S_FALSE);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(results->Next(0, 1, nullptr, &returned), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(results->Next(0, 1, batch, nullptr), WBEM_E_INVALID_PARAMETER);
}

TEST_F(Cimv2, GetReturnsWmiAutomationTypes) {
    auto disks = All(L"SELECT * FROM Win32_LogicalDisk WHERE DeviceID = 'C:'");
    ASSERT_EQ(disks.size(), 1u);
    VARIANT value;
    CIMTYPE type = -1;
    LONG flavor = -1;

    VariantInit(&value);
    ASSERT_EQ(disks[0]->Get(L"DriveType", 0, &value, &type, &flavor), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_I4);  // uint32 travels as VT_I4
    EXPECT_EQ(value.lVal, 3);
    EXPECT_EQ(type, CIM_UINT32);
    EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_LOCAL);
    VariantClear(&value);

    ASSERT_EQ(disks[0]->Get(L"Size", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_BSTR);  // uint64 travels as decimal text
    EXPECT_EQ(type, CIM_UINT64);
    EXPECT_GT(std::stoull(value.bstrVal), 0u);
    VariantClear(&value);

    ASSERT_EQ(disks[0]->Get(L"ProviderName", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_NULL);  // a local disk has no provider
    EXPECT_EQ(type, CIM_STRING);

    ASSERT_EQ(disks[0]->Get(L"__CLASS", 0, &value, nullptr, &flavor), WBEM_S_NO_ERROR);
    EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_SYSTEM);
    VariantClear(&value);

    auto systems = All(L"SELECT * FROM Win32_ComputerSystem");
    ASSERT_EQ(systems.size(), 1u);
    ASSERT_EQ(systems[0]->Get(L"PartOfDomain", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_BOOL);
    EXPECT_EQ(value.boolVal, VARIANT_FALSE);
    ASSERT_EQ(systems[0]->Get(L"Roles", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_ARRAY | VT_BSTR);
    EXPECT_EQ(type, CIM_STRING | CIM_FLAG_ARRAY);
    LONG index = 0;
    BSTR first = nullptr;
    ASSERT_EQ(SafeArrayGetElement(value.parray, &index, &first), S_OK);
    EXPECT_EQ(std::wstring(first), L"LM_Workstation");
    SysFreeString(first);
    VariantClear(&value);
}

TEST_F(Cimv2, UnknownPropertyIsNotFoundAndLeavesTheVariantEmpty) {
    auto systems = All(L"SELECT * FROM Win32_OperatingSystem");
    ASSERT_EQ(systems.size(), 1u);
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(systems[0]->Get(L"NoSuchProperty", 0, &value, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(systems[0]->Get(nullptr, 0, &value, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
}

TEST_F(Cimv2, PropertiesOutsideTheSelectListAreNull) {
    auto services = All(L"SELECT Name FROM Win32_Service WHERE Name = 'Spooler'");
    ASSERT_EQ(services.size(), 1u);
    VARIANT value;
    VariantInit(&value);
    ASSERT_EQ(services[0]->Get(L"DisplayName", 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_NULL);
    auto everything = All(L"SELECT * FROM Win32_Service WHERE Name = 'Spooler'");
    ASSERT_EQ(everything.size(), 1u);
    EXPECT_EQ(Text(everything[0].get(), L"DisplayName"), L"Spooler");
}

TEST_F(Cimv2, InjectedFailuresReachTheCaller) {
    winapi::machine::InjectFault("ExecQuery", 0x80041033u /* WBEM_E_SHUTTING_DOWN */, 1);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service"), static_cast<HRESULT>(0x80041033u));
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service"), WBEM_S_NO_ERROR);
    winapi::machine::InjectFault("ExecQuery", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service"), E_ACCESSDENIED);
}

TEST_F(Cimv2, EveryObjectIsReleased) {
    const long before = winapi::com::LiveObjectCount();
    {
        auto objects = All(L"SELECT * FROM Win32_Group");
        EXPECT_FALSE(objects.empty());
        EXPECT_EQ(winapi::com::LiveObjectCount(), before + static_cast<long>(objects.size()));
    }
    EXPECT_EQ(winapi::com::LiveObjectCount(), before);
}
