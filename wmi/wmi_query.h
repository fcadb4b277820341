// WMIQuery: runs WQL queries against ROOT\CIMV2 of the local computer and
// collects the values of one property over all result objects as text.
//
// The helper initialises COM for the calling thread as a single-threaded
// apartment and must be used on that thread only.
#pragma once

#include <iostream>
#include <string>

#include "winapi/win32.h"
#include "wmi/trace_sink.h"

namespace tavrik {

class WMIQuery {
public:
    // `traceSink` may be null (no trace lines); it is not owned. Failures
    // are written to `console` (the process's standard output by default).
    explicit WMIQuery(TraceSink* traceSink = nullptr, std::ostream& console = std::cout);
    ~WMIQuery();
    WMIQuery(const WMIQuery&) = delete;
    WMIQuery& operator=(const WMIQuery&) = delete;

    // Connects to ROOT\CIMV2; IsInitialized() tells the outcome.
    void Initialize();
    bool IsInitialized() const { return m_initialized; }

    // Runs a WQL query; true if WMI accepted it. After a refused query the
    // helper stays unusable (its connection is released).
    bool ExecQuery(const std::wstring& query);
    // Appends the property's value of every object left in the last query's
    // results to `output`, separated by CR LF. False if not initialised, or
    // if WMI reported a failure while handing out the results (the values
    // read before it stay in `output`).
    bool Enumerate(std::wstring& output, const std::wstring& property);
    // ExecQuery, then Enumerate: what callers use.
    bool ExecuteQuery(const std::wstring& query, const std::wstring& property, std::wstring& output);

private:
    void TraceLine(const std::wstring& text) const;
    void ReleaseAll();

    bool m_initialized = false;
    IWbemServices* m_services = nullptr;
    IWbemLocator* m_locator = nullptr;
    IEnumWbemClassObject* m_resultSet = nullptr;
    IWbemClassObject* m_currentObject = nullptr;
    TraceSink* m_traceSink = nullptr;
    std::ostream& m_console;
    // Whether this helper holds a CoInitializeEx that its destructor must
    // balance: a call that failed (another concurrency model already chosen
    // for the thread) must not be undone by CoUninitialize.
    bool m_comInitialized = false;
};

}  // namespace tavrik
