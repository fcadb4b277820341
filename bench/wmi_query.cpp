// Cost of a WQL query through WMIQuery over a computer with many services:
// parse, bind, read the services from the simulated computer, filter with
// LIKE and a comparison, and collect one property.
// Usage: bench_wmi_query [SERVICES]   (default 5000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "winapi/machine/admin.h"
#include "winapi/machine/inventory.h"
#include "wmi/wmi_query.h"

int main(int argc, char** argv) {
    const int services = argc > 1 ? std::atoi(argv[1]) : 5000;
    std::string folder = (std::filesystem::temp_directory_path() / "tavrik-bench-wmi-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) return 1;
    winapi::machine::OpenMachine(folder + "/machine.db");
    winapi::machine::InitializeDefaultComputer(L"BENCHPC", folder + "/c");

    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < services; ++i)
        winapi::machine::AddService(L"BENCHPC", L"Service" + std::to_wstring(i));
    auto filled = std::chrono::steady_clock::now();

    std::ostringstream console;
    tavrik::WMIQuery wmi(nullptr, console);
    wmi.Initialize();
    const int rounds = 20;
    size_t values = 0;
    auto queried = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        std::wstring output;
        wmi.ExecuteQuery(L"SELECT Name FROM Win32_Service WHERE Name LIKE 'Service%1' AND NOT Name = 'x'", L"Name",
                         output);
        values = output.empty() ? 0 : 1;
        for (wchar_t c : output) values += c == L'\n';
    }
    auto done = std::chrono::steady_clock::now();
    // The share of the simulated computer's own read in a query.
    size_t listed = 0;
    for (int round = 0; round < rounds; ++round) listed = winapi::machine::Services().size();
    auto read = std::chrono::steady_clock::now();

    using ms = std::chrono::duration<double, std::milli>;
    std::printf("services: %d, added in %.1f ms\n", services, ms(filled - start).count());
    std::printf("query (LIKE + NOT =, %zu values): %.2f ms per query over %d rounds\n", values,
                ms(done - queried).count() / rounds, rounds);
    std::printf("reading the %zu services from the simulated computer: %.2f ms\n", listed,
                ms(read - done).count() / rounds);
    winapi::machine::CloseMachine();
    std::filesystem::remove_all(folder);
    return 0;
}
