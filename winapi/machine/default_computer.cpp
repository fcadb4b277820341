// The computer a new network starts with: what a freshly installed
// Windows workstation holds, in miniature.
#include "winapi/machine/admin.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/text.h"

namespace winapi::machine {

void InitializeDefaultComputer(const std::wstring& name, const std::string& driveC) {
    std::lock_guard guard(MachineLock());
    // Checked inside the write lock: two processes creating the default
    // database at once must not both fill it.
    Transaction transaction(CurrentStore());
    if (!AllComputers().empty())
        throw std::runtime_error("the network in " + CurrentStore().Path() + " already has computers");
    ComputerSpec computer;
    computer.name = name;
    computer.local = true;
    AddComputer(computer);
    AddAccount(name, L"alice", AccountKind::User, 1001);
    MapDrive(name, L'C', driveC);

    for (const wchar_t* root : {L"MACHINE", L"USERS", L"CLASSES_ROOT", L"CURRENT_USER"}) AddKey(name, root);
    for (const wchar_t* key : {
             L"MACHINE\\SOFTWARE",
             L"MACHINE\\SOFTWARE\\Classes",
             L"MACHINE\\SOFTWARE\\Microsoft",
             L"MACHINE\\SOFTWARE\\Microsoft\\Windows",
             L"MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
             L"MACHINE\\SOFTWARE\\Policies",
             L"MACHINE\\SYSTEM",
             L"MACHINE\\SYSTEM\\CurrentControlSet",
             L"MACHINE\\SYSTEM\\CurrentControlSet\\Control",
             L"MACHINE\\SYSTEM\\CurrentControlSet\\Services",
             L"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog",
             L"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\LanmanServer",
             L"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Spooler",
             L"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\W32Time",
             L"USERS\\.DEFAULT",
             L"USERS\\.DEFAULT\\Software",
             L"CLASSES_ROOT\\.txt",
             L"CURRENT_USER\\Software",
             L"CURRENT_USER\\Environment",
         })
        AddKey(name, key);
    // The account database: only SYSTEM may look inside, as on Windows.
    AddKey(name, L"MACHINE\\SAM", L"O:SYG:SYD:PAI(A;CI;KA;;;SY)(A;CI;RCWD;;;BA)");
    AddKey(name, L"MACHINE\\SAM\\SAM");
    AddKey(name, L"MACHINE\\SECURITY", L"O:SYG:SYD:PAI(A;CI;KA;;;SY)(A;CI;RCWD;;;BA)");

    for (const wchar_t* service : {L"EventLog", L"LanmanServer", L"Spooler", L"W32Time"}) AddService(name, service);
    AddPrinter(name, L"Microsoft Print to PDF");
    AddShare(name, L"C$", driveC, L"O:BAG:SYD:(A;;FA;;;BA)(A;;FA;;;SY)");
    AddShare(name, L"IPC$", {}, L"O:BAG:SYD:(A;;0x1200a9;;;WD)");
    transaction.Commit();
}

}  // namespace winapi::machine
