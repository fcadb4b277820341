// The registry of each computer: a tree of keys under the roots MACHINE,
// USERS, CLASSES_ROOT and CURRENT_USER, each key with its descriptor.
// Names are compared in upper case and keep the case they were created with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/security/bytes.h"

namespace winapi::machine {

struct KeyRecord {
    int64_t id = 0;
    int64_t computerId = 0;
    int64_t parentId = 0;  // 0 for a root
    std::wstring name;
    Bytes descriptor;
};

// The canonical root name ("MACHINE", ...) for any case of it, or empty.
std::wstring CanonicalRootName(std::wstring_view root);

std::optional<KeyRecord> FindRootKey(int64_t computerId, std::wstring_view root);
std::optional<KeyRecord> FindChildKey(const KeyRecord& parent, std::wstring_view name);
std::optional<KeyRecord> KeyById(int64_t id);
// The name the named calls know the key by: "MACHINE\SOFTWARE\..." on
// the local computer, "\\SERVER\MACHINE\..." on another one.
std::wstring KeyPath(const KeyRecord& key);
// Sub-keys in ascending upper-case order.
std::vector<KeyRecord> ChildKeys(int64_t id);
size_t ChildKeyCount(int64_t id);
// The name of the sub-key at `index` in that order, without reading descriptors.
std::optional<std::wstring> ChildKeyName(int64_t id, size_t index);

// Splits a sub-key path at backslashes. False for an empty component other
// than a trailing one, or a component longer than Windows allows.
bool SplitKeyPath(std::wstring_view path, std::vector<std::wstring>* parts);

// Each insert or write is one transaction.
int64_t InsertKey(int64_t computerId, int64_t parentId, const std::wstring& name, const Bytes& descriptor);
void WriteKeyDescriptor(int64_t id, const Bytes& descriptor);

}  // namespace winapi::machine
