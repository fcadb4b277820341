// The computer a new network starts with: what a freshly installed
// Windows workstation holds, in miniature; and the small network around it
// that the per-user default computer comes with, to try things on.
#include <filesystem>
#include <fstream>
#include <vector>

#include "winapi/machine/admin.h"
#include "winapi/machine/group_members.h"
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

namespace {

// Creates `relative` below `root` with `text` in it, unless it exists: a
// user's own files are never overwritten.
void SampleFile(const std::filesystem::path& root, const char* relative, const char* text) {
    const auto path = root / relative;
    std::filesystem::create_directories(path.parent_path());
    if (std::filesystem::exists(std::filesystem::symlink_status(path))) return;
    std::ofstream out(path, std::ios::binary);
    out << text << "\n";
    if (!out) throw std::runtime_error("cannot create the sample file " + path.string());
}

void DomainWithController(const std::wstring& flatName, const std::wstring& controller) {
    ComputerSpec computer;
    computer.name = controller;
    computer.role = 5;  // primary domain controller
    computer.domain = flatName;
    AddComputer(computer);
    DomainSpec domain;
    domain.flatName = flatName;
    domain.controller = controller;
    AddDomain(domain);
    // The same people in both domains, as after a migration was prepared.
    std::vector<std::wstring> people;
    for (const wchar_t* user : {L"jane", L"john"}) people.push_back(AddAccount(flatName, user, AccountKind::User));
    const std::wstring staff = AddAccount(flatName, L"Staff", AccountKind::Group);
    for (const auto& person : people) AddGroupMember(staff, person);
}

}  // namespace

void AddSampleNetwork(const std::wstring& local, const std::string& driveC, const std::string& serverFolder) {
    static const wchar_t* const kSampleComputers[] = {L"SRV02", L"DC01", L"DC02"};
    for (const wchar_t* name : kSampleComputers)
        if (EqualNoCase(name, local)) return;  // a host named like one of them keeps its name alone
    std::lock_guard guard(MachineLock());
    Transaction transaction(CurrentStore());

    // A data tree on C:, in the shape most file servers' trees have.
    const std::filesystem::path data = std::filesystem::path(driveC) / "Data";
    SampleFile(data, "Projects/plan.txt", "Milestones for the next quarter");
    SampleFile(data, "Reports/2024/q4.txt", "Quarterly figures");
    SampleFile(data, "Private/salaries.txt", "Confidential");
    SampleFile(data, "Public/readme.txt", "Everyone may read this folder");

    // A vendor's key, as every installed program leaves one.
    AddKey(local, L"MACHINE\\SOFTWARE\\Vendor");
    AddKey(local, L"MACHINE\\SOFTWARE\\Vendor\\App");

    // Two domains with same-named accounts, each with its controller.
    DomainWithController(L"OLDDOM", L"DC01");
    DomainWithController(L"NEWDOM", L"DC02");

    // A member server of the new domain sharing a project tree as `data`.
    ComputerSpec server;
    server.name = L"SRV02";
    server.role = 3;  // member server
    server.domain = L"NEWDOM";
    AddComputer(server);
    const std::filesystem::path shared = std::filesystem::path(serverFolder) / "data";
    SampleFile(shared, "Projects/Website/index.html", "<html></html>");
    SampleFile(shared, "Projects/budget.txt", "Budget draft");
    AddShare(L"SRV02", L"data", shared.string());
    transaction.Commit();
}

}  // namespace winapi::machine
