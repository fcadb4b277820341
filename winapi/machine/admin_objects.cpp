// Administration of registry keys, services, printers and shares.
#include <filesystem>

#include "winapi/security/inheritance.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/descriptors.h"
#include "winapi/machine/named_objects.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/registry_model.h"
#include "winapi/machine/sid_text.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

void AddNamedObject(const std::wstring& computer, NamedObjectKind kind, const std::wstring& name,
                    const std::string& directory, const std::wstring& sddl, const wchar_t* typical, const char* what) {
    if (name.empty() || name.find(L'\\') != std::wstring::npos)
        throw std::runtime_error(std::string("a ") + what + " needs a name without backslashes");
    std::lock_guard guard(MachineLock());
    ComputerRecord record = RequireComputer(computer);
    Bytes descriptor = DescriptorFromSddl(sddl.empty() ? std::wstring(typical) : sddl, std::string("the ") + what);
    PutNamedObject(record.id, kind, name, directory, descriptor);
}

}  // namespace

void AddKey(const std::wstring& computer, const std::wstring& path, const std::wstring& sddl) {
    size_t slash = path.find(L'\\');
    std::wstring root = CanonicalRootName(path.substr(0, slash));
    if (root.empty())
        throw std::runtime_error("a key path starts with MACHINE, USERS, CLASSES_ROOT or CURRENT_USER: " +
                                 ToUtf8(path));
    std::vector<std::wstring> parts;
    if (!SplitKeyPath(slash == std::wstring::npos ? std::wstring_view() : std::wstring_view(path).substr(slash + 1),
                      &parts))
        throw std::runtime_error("not a valid key path: " + ToUtf8(path));
    std::lock_guard guard(MachineLock());
    ComputerRecord record = RequireComputer(computer);
    Bytes given = sddl.empty() ? Bytes() : DescriptorFromSddl(sddl, "the key " + ToUtf8(path));
    Transaction transaction(CurrentStore());
    auto key = FindRootKey(record.id, root);
    if (!key) {
        Bytes rootSd = parts.empty() && !given.empty() ? given : DescriptorFromSddl(kRegistryRootSddl, "a root");
        int64_t id = InsertKey(record.id, 0, root, rootSd);
        key = KeyById(id);
    } else if (parts.empty() && !given.empty()) {
        WriteKeyDescriptor(key->id, given);
    }
    // Keys the administrator creates belong to Administrators, as the keys
    // Windows itself installs do.
    const Bytes owner = *ParseSidString(L"S-1-5-32-544");
    const Bytes group = *ParseSidString(L"S-1-5-18");
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        auto child = FindChildKey(*key, parts[i]);
        if (child) {
            if (last && !given.empty()) {
                WriteKeyDescriptor(child->id, given);
                child->descriptor = given;
            }
            key = child;
            continue;
        }
        Bytes sd = last && !given.empty()
                       ? given
                       : CreateInheritedDescriptor(key->descriptor, true, owner, group, RegistryGenericMapping());
        int64_t id = InsertKey(record.id, key->id, parts[i], sd);
        key = KeyRecord{id, record.id, key->id, parts[i], sd};
    }
    transaction.Commit();
}

void AddService(const std::wstring& computer, const std::wstring& name, const std::wstring& sddl) {
    AddNamedObject(computer, NamedObjectKind::Service, name, {}, sddl, kServiceSddl, "service");
}

void AddPrinter(const std::wstring& computer, const std::wstring& name, const std::wstring& sddl) {
    AddNamedObject(computer, NamedObjectKind::Printer, name, {}, sddl, kPrinterSddl, "printer");
}

void AddShare(const std::wstring& computer, const std::wstring& name, const std::string& directory,
              const std::wstring& sddl) {
    std::string target;
    if (!directory.empty()) {
        std::filesystem::path path = std::filesystem::absolute(directory).lexically_normal();
        std::filesystem::create_directories(path);
        target = std::filesystem::canonical(path).string();
    }
    AddNamedObject(computer, NamedObjectKind::Share, name, target, sddl, kShareSddl, "share");
}

}  // namespace winapi::machine
