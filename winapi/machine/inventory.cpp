#include "winapi/machine/inventory.h"

#include "winapi/machine/accounts_table.h"
#include "winapi/machine/named_objects.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/well_known_sids.h"

namespace winapi::machine {
namespace {

ComputerRecord Local() {
    auto local = LocalComputerRecord();
    if (!local) throw std::runtime_error("the network has no local computer");
    return *local;
}

std::vector<NamedObjectInfo> ObjectsOfKind(NamedObjectKind kind) {
    std::vector<NamedObjectInfo> all;
    for (const auto& object : NamedObjectsOf(Local().id, kind)) all.push_back({object.name, object.directory});
    return all;
}

}  // namespace

ComputerInfo LocalComputerInfo() {
    ComputerRecord local = Local();
    ComputerInfo info;
    info.name = local.name;
    info.domain = local.domain.empty() ? L"WORKGROUP" : local.domain;
    if (auto domain = FindDomainRecord(local.domain)) info.domain = domain->flatName;
    info.role = local.role;
    info.majorVersion = local.major;
    info.minorVersion = local.minor;
    info.buildNumber = local.build;
    return info;
}

std::vector<AccountInfo> Accounts() {
    std::lock_guard guard(MachineLock());
    ComputerRecord local = Local();
    std::vector<AccountInfo> all;
    for (const auto& entry : WellKnownSids())
        if (entry.use == SidTypeAlias) all.push_back({entry.domain, entry.name, entry.sid, true, true});
    for (const auto& account : AccountsOf(ComputerOwnerKey(local.name)))
        all.push_back({account.ownerName, account.name, account.sid, account.kind != AccountKind::User, true});
    if (auto domain = FindDomainRecord(local.domain))
        for (const auto& account : AccountsOf(DomainOwnerKey(domain->flatName)))
            all.push_back({account.ownerName, account.name, account.sid, account.kind != AccountKind::User, false});
    return all;
}

std::vector<NamedObjectInfo> Services() { return ObjectsOfKind(NamedObjectKind::Service); }
std::vector<NamedObjectInfo> Shares() { return ObjectsOfKind(NamedObjectKind::Share); }
std::vector<NamedObjectInfo> Printers() { return ObjectsOfKind(NamedObjectKind::Printer); }

std::vector<DriveInfo> Drives() {
    std::lock_guard guard(MachineLock());
    ComputerRecord local = Local();
    std::vector<DriveInfo> all;
    Query q = CurrentStore().Prepare("SELECT letter, directory, remote FROM drives WHERE computer_id = ?1 ORDER BY letter");
    q.Bind(1, local.id);
    while (q.Step()) {
        DriveInfo drive;
        std::wstring letter = q.WText(0);
        drive.letter = letter.empty() ? L'C' : letter[0];
        drive.directory = q.Text(1);
        drive.remote = q.WText(2);
        all.push_back(drive);
    }
    return all;
}

}  // namespace winapi::machine
