// Rows of the network as the rest of the simulated computer reads them:
// computers and domains, and the process-wide lock and database they live in.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/machine/store.h"
#include "winapi/types.h"

namespace winapi::machine {

// Every use of the current database happens under this lock.
std::recursive_mutex& MachineLock();
// The open database; opens the default one when none is open. Throws.
Store& CurrentStore();
// Forgets what is cached from the database (after writes that change it).
void InvalidateCaches();

struct ComputerRecord {
    int64_t id = 0;
    std::wstring name;
    DWORD role = 0;
    std::wstring domain;
    bool isLocal = false;
    bool reachable = true;
    DWORD major = 10, minor = 0, platformId = 2, build = 19045;
    std::wstring machineSid;
};

struct DomainRecord {
    int64_t id = 0;
    std::wstring flatName;
    std::wstring dnsName;
    std::wstring controller;
    std::wstring sid;
};

// Empty, "\\NAME" or "NAME", any case; empty means the local computer.
std::optional<ComputerRecord> FindComputerRecord(std::wstring_view name);
std::optional<ComputerRecord> LocalComputerRecord();
std::optional<ComputerRecord> ComputerRecordById(int64_t id);
std::vector<ComputerRecord> AllComputers();

// By flat or DNS name, any case.
std::optional<DomainRecord> FindDomainRecord(std::wstring_view name);
std::optional<DomainRecord> DomainRecordBySid(const std::wstring& sid);
std::vector<DomainRecord> AllDomains();

// The computer `name` names, or a runtime_error for people.
ComputerRecord RequireComputer(const std::wstring& name);

}  // namespace winapi::machine
