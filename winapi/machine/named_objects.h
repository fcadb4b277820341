// Services, printers and shares of a computer: a name, a descriptor and,
// for shares, an optional target directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/security/bytes.h"

namespace winapi::machine {

enum class NamedObjectKind { Service = 1, Printer = 2, Share = 3 };

struct NamedObjectRecord {
    int64_t id = 0;
    std::wstring name;
    std::string directory;
    Bytes descriptor;
};

std::optional<NamedObjectRecord> FindNamedObject(int64_t computerId, NamedObjectKind kind, std::wstring_view name);
std::vector<NamedObjectRecord> NamedObjectsOf(int64_t computerId, NamedObjectKind kind);
// Adds or replaces an object (one transaction).
void PutNamedObject(int64_t computerId, NamedObjectKind kind, const std::wstring& name, const std::string& directory,
                    const Bytes& descriptor);
// Replaces an object's descriptor (one transaction).
void WriteNamedObjectDescriptor(int64_t id, const Bytes& descriptor);

}  // namespace winapi::machine
