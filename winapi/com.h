// COM and WMI of the Win32 API (ole32, oleaut32, wbemuuid) for the Linux
// build: the apartment calls, BSTR, VARIANT and SAFEARRAY, and the four WMI
// interfaces with the methods that our callers use. Method names and
// argument lists are those of Windows' wbemcli.h, so a caller compiles
// unchanged against either side; only the methods we implement are declared.
#pragma once

#include "winapi/types.h"

// ---- HRESULT ----------------------------------------------------------------------
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_CODE(hr) ((hr) & 0xFFFF)

#define S_OK static_cast<HRESULT>(0x00000000)
#define S_FALSE static_cast<HRESULT>(0x00000001)
#define E_NOTIMPL static_cast<HRESULT>(0x80004001u)
#define E_NOINTERFACE static_cast<HRESULT>(0x80004002u)
#define E_POINTER static_cast<HRESULT>(0x80004003u)
#define E_ABORT static_cast<HRESULT>(0x80004004u)
#define E_FAIL static_cast<HRESULT>(0x80004005u)
#define E_UNEXPECTED static_cast<HRESULT>(0x8000FFFFu)
#define E_ACCESSDENIED static_cast<HRESULT>(0x80070005u)
#define E_HANDLE static_cast<HRESULT>(0x80070006u)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000Eu)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057u)
#define CLASS_E_NOAGGREGATION static_cast<HRESULT>(0x80040110u)
#define REGDB_E_CLASSNOTREG static_cast<HRESULT>(0x80040154u)
#define CO_E_NOTINITIALIZED static_cast<HRESULT>(0x800401F0u)
#define RPC_E_CHANGED_MODE static_cast<HRESULT>(0x80010106u)
#define DISP_E_BADINDEX static_cast<HRESULT>(0x8002000Bu)
#define DISP_E_ARRAYISLOCKED static_cast<HRESULT>(0x8002000Du)
#define DISP_E_BADVARTYPE static_cast<HRESULT>(0x80020008u)

inline HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return static_cast<HRESULT>(error) <= 0 ? static_cast<HRESULT>(error)
                                            : static_cast<HRESULT>((error & 0x0000FFFFu) | 0x80070000u);
}

// WBEMSTATUS
#define WBEM_S_NO_ERROR static_cast<HRESULT>(0x00000000)
#define WBEM_S_FALSE static_cast<HRESULT>(0x00000001)
#define WBEM_S_TIMEDOUT static_cast<HRESULT>(0x00040004)
#define WBEM_E_FAILED static_cast<HRESULT>(0x80041001u)
#define WBEM_E_NOT_FOUND static_cast<HRESULT>(0x80041002u)
#define WBEM_E_TYPE_MISMATCH static_cast<HRESULT>(0x80041005u)
#define WBEM_E_OUT_OF_MEMORY static_cast<HRESULT>(0x80041006u)
#define WBEM_E_INVALID_PARAMETER static_cast<HRESULT>(0x80041008u)
#define WBEM_E_INVALID_NAMESPACE static_cast<HRESULT>(0x8004100Eu)
#define WBEM_E_INVALID_CLASS static_cast<HRESULT>(0x80041010u)
#define WBEM_E_INVALID_QUERY static_cast<HRESULT>(0x80041017u)
#define WBEM_E_INVALID_OPERATION static_cast<HRESULT>(0x80041016u)
#define WBEM_E_INVALID_QUERY_TYPE static_cast<HRESULT>(0x80041018u)
#define WBEM_E_LOCAL_CREDENTIALS static_cast<HRESULT>(0x80041064u)

// WBEM_GENERIC_FLAG_TYPE, WBEM_TIMEOUT_TYPE
#define WBEM_FLAG_RETURN_WBEM_COMPLETE 0x0
#define WBEM_FLAG_RETURN_IMMEDIATELY 0x10
#define WBEM_FLAG_FORWARD_ONLY 0x20
#define WBEM_FLAG_BIDIRECTIONAL 0x0
#define WBEM_NO_WAIT 0
#define WBEM_INFINITE 0xFFFFFFFFu

// CIMTYPE_ENUMERATION
typedef LONG CIMTYPE;
#define CIM_EMPTY 0
#define CIM_SINT8 16
#define CIM_UINT8 17
#define CIM_SINT16 2
#define CIM_UINT16 18
#define CIM_SINT32 3
#define CIM_UINT32 19
#define CIM_SINT64 20
#define CIM_UINT64 21
#define CIM_REAL32 4
#define CIM_REAL64 5
#define CIM_BOOLEAN 11
#define CIM_STRING 8
#define CIM_DATETIME 101
#define CIM_FLAG_ARRAY 0x2000

// WBEM_FLAVOR_TYPE
#define WBEM_FLAVOR_ORIGIN_LOCAL 0x0
#define WBEM_FLAVOR_ORIGIN_SYSTEM 0x60

// ---- apartments, activation, security blanket ------------------------------------------
#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_DISABLE_OLE1DDE 0x4
#define COINIT_SPEED_OVER_MEMORY 0x8

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define RPC_C_AUTHN_NONE 0
#define RPC_C_AUTHN_WINNT 10
#define RPC_C_AUTHN_DEFAULT 0xFFFFFFFFu
#define RPC_C_AUTHZ_NONE 0
#define RPC_C_AUTHN_LEVEL_DEFAULT 0
#define RPC_C_AUTHN_LEVEL_NONE 1
#define RPC_C_AUTHN_LEVEL_CONNECT 2
#define RPC_C_AUTHN_LEVEL_CALL 3
#define RPC_C_AUTHN_LEVEL_PKT 4
#define RPC_C_AUTHN_LEVEL_PKT_INTEGRITY 5
#define RPC_C_AUTHN_LEVEL_PKT_PRIVACY 6
#define RPC_C_IMP_LEVEL_DEFAULT 0
#define RPC_C_IMP_LEVEL_ANONYMOUS 1
#define RPC_C_IMP_LEVEL_IDENTIFY 2
#define RPC_C_IMP_LEVEL_IMPERSONATE 3
#define RPC_C_IMP_LEVEL_DELEGATE 4
#define EOAC_NONE 0

typedef void* RPC_AUTH_IDENTITY_HANDLE;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

// ---- strings and variants ---------------------------------------------------------
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
// A BSTR points at its first character; the 32-bit byte length (without
// the terminator) sits just before it, as on Windows.
typedef OLECHAR* BSTR;

BSTR SysAllocString(const OLECHAR* psz);
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
void SysFreeString(BSTR bstrString);
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);

typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
#define VARIANT_TRUE static_cast<VARIANT_BOOL>(-1)
#define VARIANT_FALSE static_cast<VARIANT_BOOL>(0)

enum VARENUM {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0xFFF,
};

typedef struct tagSAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
} SAFEARRAYBOUND, *LPSAFEARRAYBOUND;

typedef struct tagSAFEARRAY {
    WORD cDims;
    WORD fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

#define FADF_BSTR 0x0100
#define FADF_HAVEVARTYPE 0x0080

typedef struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        short iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        double date;
        BSTR bstrVal;
        SAFEARRAY* parray;
        CHAR cVal;
        WORD uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
    };
} VARIANT, *LPVARIANT, VARIANTARG;

#define V_VT(v) ((v)->vt)
#define V_BSTR(v) ((v)->bstrVal)
#define V_I4(v) ((v)->lVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_ARRAY(v) ((v)->parray)

void VariantInit(VARIANT* pvarg);
HRESULT VariantClear(VARIANT* pvarg);

// One-dimensional arrays of BSTR, VARIANT_BOOL and the integer types.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
UINT SafeArrayGetDim(SAFEARRAY* psa);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
// A BSTR element is copied in and out, as on Windows.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);

// ---- COM ---------------------------------------------------------------------------
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();

class IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;  // objects die through Release, never through delete
};
typedef IUnknown* LPUNKNOWN;

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR* pServerPrincName,
                          DWORD dwAuthnLevel, DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE pAuthInfo,
                          DWORD dwCapabilities);

// ---- WMI ---------------------------------------------------------------------------
class IWbemContext;  // never implemented: callers pass NULL

class IWbemClassObject : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                          LONG* plFlavor) = 0;

protected:
    ~IWbemClassObject() = default;
};

class IEnumWbemClassObject : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                           ULONG* puReturned) = 0;

protected:
    ~IEnumWbemClassObject() = default;
};

class IWbemServices : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                                IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) = 0;

protected:
    ~IWbemServices() = default;
};

class IWbemLocator : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                                    const BSTR strPassword, const BSTR strLocale,
                                                    LONG lSecurityFlags, const BSTR strAuthority,
                                                    IWbemContext* pCtx, IWbemServices** ppNamespace) = 0;

protected:
    ~IWbemLocator() = default;
};

extern const IID IID_IUnknown;
extern const IID IID_IWbemLocator;
extern const IID IID_IWbemServices;
extern const IID IID_IEnumWbemClassObject;
extern const IID IID_IWbemClassObject;
extern const CLSID CLSID_WbemLocator;
