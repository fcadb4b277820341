#include "wmi/wmi_query.h"

#include <cstdint>

#include "wmi/variant_text.h"

namespace tavrik {
namespace {

// A BSTR that lives as long as the call that needs it.
class Bstr {
public:
    explicit Bstr(const std::wstring& text) : m_text(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { SysFreeString(m_text); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return m_text; }

private:
    BSTR m_text;
};

// HRESULTs are shown as unsigned 32-bit values without leading zeros.
std::string LowerHex(HRESULT hr) {
    static const char digits[] = "0123456789abcdef";
    uint32_t value = static_cast<uint32_t>(hr);
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return text;
}

std::wstring UpperHex(HRESULT hr) {
    std::wstring text;
    for (char c : LowerHex(hr)) text += static_cast<wchar_t>(c >= 'a' ? c - 'a' + 'A' : c);
    return text;
}

template <class Interface>
void ReleaseInterface(Interface*& pointer) {
    if (pointer != nullptr) {
        pointer->Release();
        pointer = nullptr;
    }
}

}  // namespace

WMIQuery::WMIQuery(TraceSink* traceSink, std::ostream& console) : m_traceSink(traceSink), m_console(console) {}

WMIQuery::~WMIQuery() {
    ReleaseAll();
    if (m_comInitialized) CoUninitialize();
}

void WMIQuery::TraceLine(const std::wstring& text) const {
    if (m_traceSink != nullptr) m_traceSink->Trace(0, text);
}

void WMIQuery::ReleaseAll() {
    ReleaseInterface(m_currentObject);
    ReleaseInterface(m_resultSet);
    ReleaseInterface(m_services);
    ReleaseInterface(m_locator);
}

void WMIQuery::Initialize() {
    // A second call starts over instead of leaking the first connection.
    ReleaseAll();
    m_initialized = false;
    TraceLine(L"WMIQuery::Initialize() #1\n");

    if (!m_comInitialized) m_comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    TraceLine(L"WMIQuery::Initialize() #2\n");
    TraceLine(L"WMIQuery::Initialize() #3\n");

    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                  reinterpret_cast<LPVOID*>(&m_locator));
    if (FAILED(hr)) {
        m_console << "Failed to create IWbemLocator object." << " Err code = 0x" << LowerHex(hr) << std::endl;
        m_locator = nullptr;
        return;
    }

    TraceLine(L"WMIQuery::Initialize() #4\n");
    {
        Bstr cimv2(L"ROOT\\CIMV2");
        hr = m_locator->ConnectServer(cimv2.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &m_services);
    }
    TraceLine(L"WMIQuery::Initialize() #5\n");
    if (FAILED(hr)) {
        m_console << "Could not connect. Error code = 0x" << LowerHex(hr) << std::endl;
        m_services = nullptr;
        ReleaseInterface(m_locator);
        TraceLine(L"WMIQuery::Initialize() Could not connect " + UpperHex(hr));
        return;
    }

    m_console << "Connected to ROOT\\CIMV2 WMI namespace" << std::endl;
    TraceLine(L"WMIQuery::Initialize() #6\n");

    hr = CoSetProxyBlanket(m_services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        m_console << "Could not set proxy blanket. Error code = 0x" << LowerHex(hr) << std::endl;
        ReleaseInterface(m_services);
        ReleaseInterface(m_locator);
        return;
    }

    TraceLine(L"WMIQuery::Initialize() #7\n");
    m_initialized = true;
}

bool WMIQuery::ExecQuery(const std::wstring& query) {
    TraceLine(L"WMIQuery::ExecQuery() beginning\n");
    if (!m_initialized) {
        TraceLine(L"WMIQuery::ExecQuery() dropped out\n");
        return false;
    }

    ReleaseInterface(m_currentObject);
    ReleaseInterface(m_resultSet);
    HRESULT hr;
    {
        Bstr language(L"WQL");
        Bstr text(query);
        hr = m_services->ExecQuery(language.get(), text.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                   nullptr, &m_resultSet);
    }
    if (SUCCEEDED(hr)) {
        TraceLine(L"WMIQuery::ExecQuery() succeeded\n");
        return true;
    }

    m_console << "Query for operating system name failed." << " Error code = 0x" << LowerHex(hr) << std::endl;
    m_resultSet = nullptr;
    ReleaseInterface(m_services);
    ReleaseInterface(m_locator);
    m_initialized = false;
    return false;
}

bool WMIQuery::Enumerate(std::wstring& output, const std::wstring& property) {
    TraceLine(L"WMIQuery::Enumerate() beginning\n");
    if (!m_initialized) {
        TraceLine(L"    WMIQuery::Enumerate() failed - not initialized\n");
        return false;
    }

    while (m_resultSet != nullptr) {
        TraceLine(L"    WMIQuery::Enumerate() Enumerating\n");
        ULONG returned = 0;
        ReleaseInterface(m_currentObject);
        HRESULT hr = m_resultSet->Next(static_cast<LONG>(WBEM_INFINITE), 1, &m_currentObject, &returned);
        if (returned == 0 || m_currentObject == nullptr) {
            m_currentObject = nullptr;
            // A query that returns at once reports some of its failures (an
            // unknown class, access denied) only here; they must not pass
            // for an empty result.
            if (FAILED(hr)) {
                m_console << "Query for operating system name failed." << " Error code = 0x" << LowerHex(hr)
                          << std::endl;
                return false;
            }
            break;
        }

        VARIANT value;
        VariantInit(&value);
        // A property the object lacks leaves the variant empty: nothing to add.
        // The CIM type tells how to read numbers that travel as VT_I4.
        CIMTYPE type = CIM_EMPTY;
        m_currentObject->Get(property.c_str(), 0, &value, &type, nullptr);
        // An empty text, like an empty value, adds no line of its own.
        std::optional<std::wstring> text = VariantText(value, type);
        if (text && !text->empty()) {
            if (!output.empty()) output += L"\r\n";
            output += *text;
            TraceLine(L"WMIQuery::Enumerate() value '" + output + L"'");
        }
        VariantClear(&value);
        ReleaseInterface(m_currentObject);
    }
    return true;
}

bool WMIQuery::ExecuteQuery(const std::wstring& query, const std::wstring& property, std::wstring& output) {
    const std::wstring call = L"WMIQuery::ExecuteQuery(" + query + L", " + property + L", ...) ";
    TraceLine(call + L"beginning\n");
    if (m_initialized && ExecQuery(query)) return Enumerate(output, property);
    TraceLine(call + L"not initialized\n");
    return false;
}

}  // namespace tavrik
