// A small network around the local computer TESTPC: the domains OLDDOM and
// NEWDOM (controllers DCOLD and DCNEW) whose accounts share names, as when
// accounts move between domains; a member server MEMBER1 of OLDDOM and a
// standalone workstation WS1, each with a local account.
#pragma once

#include "engine_fixture.h"
#include "winapi/machine/admin.h"

namespace tavrik::test {

class NetworkTest : public EngineTest {
protected:
    NetworkTest() {
        namespace admin = winapi::machine;
        AddComputer(L"DCOLD", 5, L"OLDDOM");
        AddComputer(L"DCNEW", 5, L"NEWDOM");
        AddComputer(L"MEMBER1", 3, L"OLDDOM");
        AddComputer(L"WS1", 0, L"");
        admin::AddDomain({L"OLDDOM", L"olddom.example", L"DCOLD", {}});
        admin::AddDomain({L"NEWDOM", L"newdom.example", L"DCNEW", {}});
        oldJdoe = admin::AddAccount(L"OLDDOM", L"jdoe", admin::AccountKind::User);
        newJdoe = admin::AddAccount(L"NEWDOM", L"jdoe", admin::AccountKind::User);
        oldStaff = admin::AddAccount(L"OLDDOM", L"Staff", admin::AccountKind::Group);
        newStaff = admin::AddAccount(L"NEWDOM", L"Staff", admin::AccountKind::Group);
        oldOnly = admin::AddAccount(L"OLDDOM", L"retired", admin::AccountKind::User);
        newOnly = admin::AddAccount(L"NEWDOM", L"newhire", admin::AccountKind::User);
        memberAccount = admin::AddAccount(L"MEMBER1", L"svcbackup", admin::AccountKind::User);
        workstationAccount = admin::AddAccount(L"WS1", L"kiosk", admin::AccountKind::User);
        alice = SidOf(L"", L"alice");
    }

    static void AddComputer(const std::wstring& name, DWORD role, const std::wstring& domain) {
        winapi::machine::ComputerSpec request;
        request.name = name;
        request.role = role;
        request.domain = domain;
        winapi::machine::AddComputer(request);
    }

    std::wstring oldJdoe, newJdoe, oldStaff, newStaff, oldOnly, newOnly, memberAccount, workstationAccount, alice;
};

}  // namespace tavrik::test
