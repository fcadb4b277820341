#include "wmi/variant_text.h"

#include <cstdint>
#include <cwchar>

namespace tavrik {
namespace {

std::wstring Real(double value) {
    wchar_t buffer[64];
    std::swprintf(buffer, sizeof buffer / sizeof buffer[0], L"%.15g", value);
    return buffer;
}

// The text of one value of type `vt` stored at `data` (not an array).
std::optional<std::wstring> ScalarText(VARTYPE vt, const void* data) {
    switch (vt) {
    case VT_BSTR: {
        BSTR text = *static_cast<const BSTR*>(data);
        return text == nullptr ? std::wstring() : std::wstring(text, SysStringLen(text));
    }
    case VT_BOOL: return *static_cast<const VARIANT_BOOL*>(data) != VARIANT_FALSE ? L"True" : L"False";
    case VT_I1: return std::to_wstring(*static_cast<const signed char*>(data));
    case VT_UI1: return std::to_wstring(*static_cast<const unsigned char*>(data));
    case VT_I2: return std::to_wstring(*static_cast<const int16_t*>(data));
    case VT_UI2: return std::to_wstring(*static_cast<const uint16_t*>(data));
    case VT_I4: case VT_INT: return std::to_wstring(*static_cast<const int32_t*>(data));
    case VT_UI4: case VT_UINT: return std::to_wstring(*static_cast<const uint32_t*>(data));
    case VT_I8: return std::to_wstring(*static_cast<const int64_t*>(data));
    case VT_UI8: return std::to_wstring(*static_cast<const uint64_t*>(data));
    case VT_R4: return Real(*static_cast<const float*>(data));
    case VT_R8: return Real(*static_cast<const double*>(data));
    default: return std::nullopt;
    }
}

size_t ScalarSize(VARTYPE vt) {
    switch (vt) {
    case VT_BSTR: return sizeof(BSTR);
    case VT_BOOL: return sizeof(VARIANT_BOOL);
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: return 4;
    case VT_I8: case VT_UI8: case VT_R8: return 8;
    default: return 0;
    }
}

std::optional<std::wstring> ArrayText(SAFEARRAY* array, VARTYPE vt) {
    if (array == nullptr || SafeArrayGetDim(array) != 1 || ScalarSize(vt) == 0) return std::nullopt;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)))
        return std::nullopt;
    std::wstring text;
    for (LONG i = lower; i <= upper; ++i) {
        // Big enough and aligned for any scalar; a BSTR element arrives as a copy.
        alignas(8) unsigned char element[8] = {};
        if (FAILED(SafeArrayGetElement(array, &i, element))) return std::nullopt;
        std::optional<std::wstring> item = ScalarText(vt, element);
        if (vt == VT_BSTR) SysFreeString(*reinterpret_cast<BSTR*>(element));
        if (!item) return std::nullopt;
        if (i != lower) text += L',';
        text += *item;
    }
    return text;
}

}  // namespace

std::optional<std::wstring> VariantText(const VARIANT& value, CIMTYPE type) {
    const VARTYPE vt = value.vt;
    if (vt == VT_I4 && type == CIM_UINT32) return std::to_wstring(static_cast<uint32_t>(value.lVal));
    if (vt & VT_BYREF) return std::nullopt;
    if (vt & VT_ARRAY) return ArrayText(value.parray, static_cast<VARTYPE>(vt & VT_TYPEMASK));
    if (vt == VT_EMPTY || vt == VT_NULL) return std::nullopt;
    return ScalarText(vt, &value.bstrVal);
}

}  // namespace tavrik
