// IWbemClassObject: one result instance. Values reach callers in the
// VARIANT forms that WMI uses for automation: strings as VT_BSTR, 8-bit
// integers as VT_UI1, 16- and 32-bit integers as VT_I4, 64-bit integers as
// decimal VT_BSTR, booleans as VT_BOOL, string arrays as VT_ARRAY|VT_BSTR,
// absent values as VT_NULL.
#include <string>
#include <utility>

#include "winapi/com/com_object.h"
#include "winapi/com/com_wbem.h"

namespace winapi::com {
namespace {

CIMTYPE CimTypeOf(wql::CimType type) {
    switch (type) {
    case wql::CimType::String: return CIM_STRING;
    case wql::CimType::Boolean: return CIM_BOOLEAN;
    case wql::CimType::UInt8: return CIM_UINT8;
    case wql::CimType::UInt16: return CIM_UINT16;
    case wql::CimType::UInt32: return CIM_UINT32;
    case wql::CimType::UInt64: return CIM_UINT64;
    case wql::CimType::SInt32: return CIM_SINT32;
    case wql::CimType::SInt64: return CIM_SINT64;
    case wql::CimType::StringArray: return CIM_STRING | CIM_FLAG_ARRAY;
    }
    return CIM_EMPTY;
}

HRESULT PutString(const std::wstring& text, VARIANT* out) {
    BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (copy == nullptr) return WBEM_E_OUT_OF_MEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = copy;
    return WBEM_S_NO_ERROR;
}

HRESULT PutValue(const wql::WqlValue& value, wql::CimType type, VARIANT* out) {
    VariantInit(out);
    if (wql::IsNull(value)) {
        out->vt = VT_NULL;
        return WBEM_S_NO_ERROR;
    }
    if (const auto* text = std::get_if<std::wstring>(&value)) return PutString(*text, out);
    if (const auto* flag = std::get_if<bool>(&value)) {
        out->vt = VT_BOOL;
        out->boolVal = *flag ? VARIANT_TRUE : VARIANT_FALSE;
        return WBEM_S_NO_ERROR;
    }
    if (const auto* items = std::get_if<std::vector<std::wstring>>(&value)) {
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(items->size()));
        if (array == nullptr) return WBEM_E_OUT_OF_MEMORY;
        for (LONG i = 0; i < static_cast<LONG>(items->size()); ++i) {
            BSTR item = SysAllocStringLen((*items)[i].data(), static_cast<UINT>((*items)[i].size()));
            HRESULT hr = item == nullptr ? E_OUTOFMEMORY : SafeArrayPutElement(array, &i, item);
            SysFreeString(item);
            if (FAILED(hr)) {
                SafeArrayDestroy(array);
                return WBEM_E_OUT_OF_MEMORY;
            }
        }
        out->vt = VT_ARRAY | VT_BSTR;
        out->parray = array;
        return WBEM_S_NO_ERROR;
    }
    const bool isSigned = std::holds_alternative<int64_t>(value);
    const int64_t asSigned = isSigned ? std::get<int64_t>(value) : static_cast<int64_t>(std::get<uint64_t>(value));
    const uint64_t asUnsigned = isSigned ? static_cast<uint64_t>(asSigned) : std::get<uint64_t>(value);
    switch (type) {
    case wql::CimType::UInt8:
        out->vt = VT_UI1;
        out->bVal = static_cast<BYTE>(asUnsigned);
        return WBEM_S_NO_ERROR;
    case wql::CimType::UInt16:
    case wql::CimType::UInt32:
    case wql::CimType::SInt32:
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(asSigned);
        return WBEM_S_NO_ERROR;
    default:
        return PutString(isSigned ? std::to_wstring(asSigned) : std::to_wstring(asUnsigned), out);
    }
}

class ClassObject final : public RefCounted<IWbemClassObject> {
public:
    explicit ClassObject(wql::WqlObject object) : object_(std::move(object)) {}

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                  LONG* plFlavor) override {
        if (wszName == nullptr || lFlags != 0) return WBEM_E_INVALID_PARAMETER;
        auto index = object_.cls->FindProperty(wszName);
        if (!index) {
            if (pVal != nullptr) VariantInit(pVal);
            return WBEM_E_NOT_FOUND;
        }
        const wql::WqlProperty& property = object_.cls->Properties()[*index];
        if (pType != nullptr) *pType = CimTypeOf(property.type);
        if (plFlavor != nullptr)
            *plFlavor = property.name.starts_with(L"__") ? WBEM_FLAVOR_ORIGIN_SYSTEM : WBEM_FLAVOR_ORIGIN_LOCAL;
        if (pVal == nullptr) return WBEM_S_NO_ERROR;
        return PutValue(object_.values[*index], property.type, pVal);
    }

protected:
    const IID& InterfaceId() const override { return IID_IWbemClassObject; }

private:
    wql::WqlObject object_;
};

}  // namespace

IWbemClassObject* CreateClassObject(wql::WqlObject object) { return new ClassObject(std::move(object)); }

}  // namespace winapi::com
