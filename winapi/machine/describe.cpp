#include "winapi/machine/describe.h"

#include "winapi/machine/accounts_table.h"
#include "winapi/machine/named_objects.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

const wchar_t* KindName(AccountKind kind) {
    switch (kind) {
    case AccountKind::User: return L"user";
    case AccountKind::Group: return L"group";
    case AccountKind::Alias: return L"alias";
    }
    return L"?";
}

void ListObjects(std::wstring& out, int64_t computerId, NamedObjectKind kind, const wchar_t* label) {
    auto objects = NamedObjectsOf(computerId, kind);
    if (objects.empty()) return;
    out += L"  ";
    out += label;
    out += L":";
    for (const auto& object : objects) {
        out += L" " + object.name;
        if (!object.directory.empty()) out += L" (" + FromUtf8(object.directory) + L")";
        out += L";";
    }
    out.pop_back();
    out += L"\n";
}

}  // namespace

std::wstring DescribeNetwork() {
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    std::wstring out = L"Database: " + FromUtf8(store.Path()) + L"\n";
    for (const auto& c : AllComputers()) {
        out += L"\nComputer " + c.name + (c.isLocal ? L" (local)" : L"") + (c.reachable ? L"" : L" (unreachable)") +
               L"\n";
        out += L"  role " + std::to_wstring(c.role) + L", domain " + (c.domain.empty() ? L"(none)" : c.domain) +
               L", Windows " + std::to_wstring(c.major) + L"." + std::to_wstring(c.minor) + L", SID " + c.machineSid +
               L"\n";
        Query drives = store.Prepare("SELECT letter, directory, remote FROM drives WHERE computer_id = ?1 ORDER BY letter");
        drives.Bind(1, c.id);
        while (drives.Step())
            out += L"  drive " + drives.WText(0) + L": -> " +
                   (drives.Text(1).empty() ? drives.WText(2) : FromUtf8(drives.Text(1))) + L"\n";
        for (const auto& a : AccountsOf(ComputerOwnerKey(c.name)))
            out += L"  account " + a.name + L" (" + KindName(a.kind) + L") " + a.sid + L"\n";
        ListObjects(out, c.id, NamedObjectKind::Service, L"services");
        ListObjects(out, c.id, NamedObjectKind::Printer, L"printers");
        ListObjects(out, c.id, NamedObjectKind::Share, L"shares");
        Query keys = store.Prepare("SELECT count(*) FROM keys WHERE computer_id = ?1");
        keys.Bind(1, c.id);
        if (keys.Step()) out += L"  registry keys: " + std::to_wstring(keys.Int(0)) + L"\n";
    }
    for (const auto& d : AllDomains()) {
        out += L"\nDomain " + d.flatName + L" (" + d.dnsName + L"), controller " +
               (d.controller.empty() ? L"(none)" : d.controller) + L", SID " + d.sid + L"\n";
        for (const auto& a : AccountsOf(DomainOwnerKey(d.flatName)))
            out += L"  account " + a.name + L" (" + KindName(a.kind) + L") " + a.sid + L"\n";
    }
    Query token = store.Prepare("SELECT user_sid, groups, privileges FROM token WHERE id = 1");
    if (token.Step())
        out += L"\nToken: user " + token.WText(0) + L"\n  groups " + token.WText(1) + L"\n  privileges " +
               (token.Text(2).empty() ? L"(none)" : token.WText(2)) + L"\n";
    else
        out += L"\nToken: the default of the Unix user running tavrik\n";
    Query faults = store.Prepare("SELECT call, error, remaining, object_key FROM faults ORDER BY id");
    while (faults.Step())
        out += L"Fault: " + faults.WText(0) + L" fails with " + std::to_wstring(faults.Int(1)) +
               (faults.Int(2) < 0 ? L" always" : L" " + std::to_wstring(faults.Int(2)) + L" more time(s)") +
               (faults.Text(3).empty() ? L"" : L" for " + faults.WText(3)) + L"\n";
    return out;
}

}  // namespace winapi::machine
