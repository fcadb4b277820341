// VARIANT: initialisation and release of what a variant owns.
#include "winapi/com.h"

void VariantInit(VARIANT* pvarg) {
    if (pvarg == nullptr) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
    pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANT* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    const VARTYPE vt = pvarg->vt;
    if (vt & VT_BYREF) {
        // The variant only points at data that someone else owns.
    } else if (vt & VT_ARRAY) {
        HRESULT hr = SafeArrayDestroy(pvarg->parray);
        if (FAILED(hr)) return hr;
    } else {
        switch (vt & VT_TYPEMASK) {
        case VT_BSTR:
            SysFreeString(pvarg->bstrVal);
            break;
        case VT_EMPTY: case VT_NULL: case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_UI1: case VT_UI2:
        case VT_UI4: case VT_UI8: case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_BOOL: case VT_DATE:
        case VT_ERROR:
            break;
        default:
            return DISP_E_BADVARTYPE;
        }
    }
    pvarg->vt = VT_EMPTY;
    pvarg->llVal = 0;
    return S_OK;
}
