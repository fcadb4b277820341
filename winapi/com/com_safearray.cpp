// SAFEARRAY: one-dimensional arrays of BSTR, VARIANT_BOOL and integers,
// which is what WMI hands out for array properties.
#include <cstdlib>
#include <cstring>

#include "winapi/com.h"

namespace {

// Where Windows keeps the element type of an array made with a known type.
struct ArrayBlock {
    VARTYPE vt;
    SAFEARRAY array;
};

ArrayBlock* BlockOf(SAFEARRAY* psa) {
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<BYTE*>(psa) - offsetof(ArrayBlock, array));
}

ULONG ElementSize(VARTYPE vt) {
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

// The byte offset of the element at `rgIndices[0]`, or a failure.
HRESULT ElementAt(SAFEARRAY* psa, const LONG* rgIndices, BYTE** element) {
    if (psa == nullptr || rgIndices == nullptr) return E_INVALIDARG;
    const LONGLONG offset = static_cast<LONGLONG>(rgIndices[0]) - psa->rgsabound[0].lLbound;
    if (offset < 0 || offset >= static_cast<LONGLONG>(psa->rgsabound[0].cElements)) return DISP_E_BADINDEX;
    *element = static_cast<BYTE*>(psa->pvData) + offset * psa->cbElements;
    return S_OK;
}

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    const ULONG size = ElementSize(vt);
    if (size == 0) return nullptr;
    if (cElements > (0x7FFFFFFFu / size)) return nullptr;
    auto* block = static_cast<ArrayBlock*>(std::calloc(1, sizeof(ArrayBlock)));
    if (block == nullptr) return nullptr;
    void* data = std::calloc(cElements == 0 ? 1 : cElements, size);
    if (data == nullptr) {
        std::free(block);
        return nullptr;
    }
    block->vt = vt;
    SAFEARRAY* psa = &block->array;
    psa->cDims = 1;
    psa->fFeatures = FADF_HAVEVARTYPE | (vt == VT_BSTR ? FADF_BSTR : 0);
    psa->cbElements = size;
    psa->pvData = data;
    psa->rgsabound[0].cElements = cElements;
    psa->rgsabound[0].lLbound = lLbound;
    return psa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (psa == nullptr) return S_OK;
    if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    if (psa->fFeatures & FADF_BSTR) {
        auto* items = static_cast<BSTR*>(psa->pvData);
        for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) SysFreeString(items[i]);
    }
    std::free(psa->pvData);
    std::free(BlockOf(psa));
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cDims; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
    if (nDim != 1) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
    if (nDim != 1) return DISP_E_BADINDEX;
    *plUbound = static_cast<LONG>(static_cast<LONGLONG>(psa->rgsabound[0].lLbound) + psa->rgsabound[0].cElements - 1);
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
    *pvt = BlockOf(psa)->vt;
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    BYTE* element = nullptr;
    if (HRESULT hr = ElementAt(psa, rgIndices, &element); FAILED(hr)) return hr;
    if (psa->fFeatures & FADF_BSTR) {
        BSTR copy = nullptr;
        if (pv != nullptr) {
            copy = SysAllocStringLen(static_cast<BSTR>(pv), SysStringLen(static_cast<BSTR>(pv)));
            if (copy == nullptr) return E_OUTOFMEMORY;
        }
        auto* slot = reinterpret_cast<BSTR*>(element);
        SysFreeString(*slot);
        *slot = copy;
        return S_OK;
    }
    if (pv == nullptr) return E_INVALIDARG;
    std::memcpy(element, pv, psa->cbElements);
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    BYTE* element = nullptr;
    if (HRESULT hr = ElementAt(psa, rgIndices, &element); FAILED(hr)) return hr;
    if (pv == nullptr) return E_INVALIDARG;
    if (psa->fFeatures & FADF_BSTR) {
        BSTR item = *reinterpret_cast<BSTR*>(element);
        BSTR copy = nullptr;
        if (item != nullptr) {
            copy = SysAllocStringLen(item, SysStringLen(item));
            if (copy == nullptr) return E_OUTOFMEMORY;
        }
        *static_cast<BSTR*>(pv) = copy;
        return S_OK;
    }
    std::memcpy(pv, element, psa->cbElements);
    return S_OK;
}
