// Keyword texts of access masks, ACE types, ACE flags and whole ACLs.
#include <cstring>
#include <vector>

#include "engine/local_memory.h"
#include "acl/ace_sid.h"
#include "listing_fixture.h"

namespace tavrik::test {
namespace {

class TextFormsTest : public ListingTest {
protected:
    std::wstring Mask(DWORD type, DWORD mask) {
        auto job = NewJob();
        job->m_objectType = type;
        return job->MaskToText(mask);
    }
};

TEST_F(TextFormsTest, FileMasksShowCombinationWordsThenSingleRights) {
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x1F01FF), L"full");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, GENERIC_ALL), L"full");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x1301BF), L"change");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x1200A9), L"read_execute");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x120089), L"read");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x1201BF), L"read_execute+write");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x12019F), L"write+read");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x11F01FF), L"full+ACCESS_SYSTEM_SECURITY");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, GENERIC_READ), L"read");
    // Single rights in table order, and never SYNCHRONIZE for a file.
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x100000 | 0x20 | 0x1), L"FILE_LIST_DIRECTORY+FILE_TRAVERSE");
    // The write bits inside 0x1FF form their combination first.
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x1FF),
              L"write+FILE_LIST_DIRECTORY+FILE_READ_EA+FILE_TRAVERSE+FILE_DELETE_CHILD+FILE_READ_ATTRIBUTES");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x2 | 0x4 | 0x10), L"FILE_ADD_FILE+FILE_ADD_SUBDIRECTORY+FILE_WRITE_EA");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x100 | 0x80), L"FILE_READ_ATTRIBUTES+FILE_WRITE_ATTRIBUTES");
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0x100000), L"");
}

TEST_F(TextFormsTest, RegistryMasksKeepSynchronizeAndTestAnyOfNames) {
    EXPECT_EQ(Mask(SE_REGISTRY_KEY, 0xF003F), L"full");
    EXPECT_EQ(Mask(SE_REGISTRY_KEY, GENERIC_READ), L"read+SYNCHRONIZE");
    EXPECT_EQ(Mask(SE_REGISTRY_KEY, 0x120019), L"read+SYNCHRONIZE");
    EXPECT_EQ(Mask(SE_REGISTRY_KEY, 0x1), L"KEY_EXECUTE+KEY_QUERY_VALUE+KEY_READ");
    EXPECT_EQ(Mask(SE_REGISTRY_KEY, 0x20006),
              L"KEY_CREATE_SUB_KEY+KEY_EXECUTE+KEY_READ+KEY_SET_VALUE+KEY_WRITE+READ_CONTROL");
}

TEST_F(TextFormsTest, ServicePrinterAndShareMasksAreNotMapped) {
    EXPECT_EQ(Mask(SE_SERVICE, 0x201FD), L"start_stop");
    EXPECT_EQ(Mask(SE_SERVICE, 0xF01FF), L"full");
    EXPECT_EQ(Mask(SE_PRINTER, 0xF000C), L"manage_printer");
    EXPECT_EQ(Mask(SE_LMSHARE, 0x1), L"SHARE_READ+SHARE_CHANGE");
    EXPECT_EQ(Mask(SE_LMSHARE, 0x1301BF), L"change");
    for (DWORD type : {SE_SERVICE, SE_PRINTER, SE_LMSHARE}) {
        EXPECT_EQ(Mask(type, GENERIC_READ), L"GENERIC_READ") << type;
    }
    EXPECT_EQ(Mask(SE_SERVICE, 0xF0000000), L"GENERIC_ALL+GENERIC_EXECUTE+GENERIC_READ+GENERIC_WRITE");
    EXPECT_EQ(Mask(SE_PRINTER, 0x20008 | 0x10 | 0x100000), L"print+JOB_ACCESS_ADMINISTER+SYNCHRONIZE");
    EXPECT_EQ(Mask(SE_SERVICE, 0x10000 | 0x40000 | 0x80000 | 0x1000000),
              L"WRITE_OWNER+WRITE_DAC+DELETE+ACCESS_SYSTEM_SECURITY");
}

TEST_F(TextFormsTest, EmptyMaskOrUnknownTypeGivesEmptyText) {
    EXPECT_EQ(Mask(SE_FILE_OBJECT, 0), L"");
    EXPECT_EQ(Mask(0, 0x1F01FF), L"");
    EXPECT_EQ(Mask(6, 0x1F01FF), L"");
}

TEST_F(TextFormsTest, AceTypesAndFlags) {
    auto job = NewJob();
    const wchar_t* words[] = {L"allow",        L"deny",        L"audit",        L"alarm",       L"allow_compound",
                              L"allow_object", L"deny_object", L"audit_object", L"alarm_object"};
    for (BYTE type = 0; type < 9; ++type) EXPECT_EQ(job->AceTypeToText(type), words[type]);
    EXPECT_EQ(job->AceTypeToText(9), L"");
    EXPECT_EQ(job->AceTypeToText(17), L"");

    EXPECT_EQ(job->AceFlagsToText(0), L"no_inheritance");
    EXPECT_EQ(job->AceFlagsToText(0x20), L"no_inheritance");
    EXPECT_EQ(job->AceFlagsToText(0xC0), L"audit_success+audit_fail");
    EXPECT_EQ(job->AceFlagsToText(0x03), L"container_inherit+object_inherit");
    EXPECT_EQ(job->AceFlagsToText(0xFF),
              L"container_inherit+object_inherit+inherit_only+no_propagate_inherit+inherited+audit_success+"
              L"audit_fail");
}

// ---- whole ACLs ----------------------------------------------------------------------

LocalPtr<> SidFromString(const wchar_t* text) {
    PSID sid = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << text;
    return LocalPtr<>(sid);
}

// An ACL holding the ACEs of `sddl`'s DACL, as the SDDL parser builds it.
struct ParsedDacl {
    LocalPtr<> sd;
    PACL dacl = nullptr;
};

ParsedDacl DaclOf(const wchar_t* sddl) {
    ParsedDacl parsed;
    PSECURITY_DESCRIPTOR raw = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr)) << sddl;
    parsed.sd.reset(raw);
    BOOL present = FALSE, defaulted = FALSE;
    if (raw) GetSecurityDescriptorDacl(raw, &present, &parsed.dacl, &defaulted);
    return parsed;
}

TEST_F(TextFormsTest, AclTextJoinsRecordsAndHidesInheritedEntriesUnlessAsked) {
    auto job = NewJob();
    job->m_objectType = SE_FILE_OBJECT;
    ParsedDacl parsed = DaclOf(L"D:(A;OICI;FA;;;BA)(D;;0x1;;;S-1-5-32-545)(A;OICIID;FR;;;SY)");
    ASSERT_NE(parsed.dacl, nullptr);

    EXPECT_EQ(job->AclToText(parsed.dacl),
              L"BUILTIN\\Administrators,full,allow,container_inherit+object_inherit:"
              L"BUILTIN\\Users,FILE_LIST_DIRECTORY,deny,no_inheritance");
    EXPECT_EQ(job->m_lastOsError, 0u);

    job->m_listInherited = TRUE;
    job->m_listNameForm = 2;
    EXPECT_EQ(job->AclToText(parsed.dacl),
              L"S-1-5-32-544,full,allow,container_inherit+object_inherit:"
              L"S-1-5-32-545,FILE_LIST_DIRECTORY,deny,no_inheritance:"
              L"S-1-5-18,read,allow,container_inherit+object_inherit+inherited");

    job->m_listNameForm = 3;
    job->m_listInherited = FALSE;
    EXPECT_EQ(job->AclToText(DaclOf(L"D:(A;;FA;;;SY)").dacl), L"NT AUTHORITY\\SYSTEM=S-1-5-18,full,allow,no_inheritance");
}

TEST_F(TextFormsTest, EmptyNullAndAllInheritedAclsGiveEmptyText) {
    auto job = NewJob();
    job->m_objectType = SE_FILE_OBJECT;
    EXPECT_EQ(job->AclToText(nullptr), L"");
    EXPECT_EQ(job->AclToText(DaclOf(L"D:").dacl), L"");
    EXPECT_EQ(job->AclToText(DaclOf(L"D:(A;ID;FA;;;BA)(A;OICIID;FA;;;SY)").dacl), L"");
    EXPECT_EQ(job->m_lastOsError, 0u);
}

TEST_F(TextFormsTest, UnnamedRightsAndUnknownTypesLeaveEmptyFields) {
    auto job = NewJob();
    job->m_objectType = SE_FILE_OBJECT;
    job->m_listNameForm = 2;
    EXPECT_EQ(job->AclToText(DaclOf(L"D:(A;;0x0;;;WD)").dacl), L"S-1-1-0,,allow,no_inheritance");
    // A callback ACE (type 9) keeps its trustee at the basic place.
    std::vector<BYTE> ace(8);
    LocalPtr<> sid = SidFromString(L"S-1-5-18");
    const DWORD sidLength = GetLengthSid(sid.get());
    ace.resize(8 + sidLength);
    ace[0] = 9;
    ace[2] = static_cast<BYTE>(ace.size());
    const DWORD mask = 0x1F01FF;
    std::memcpy(&ace[4], &mask, 4);
    std::memcpy(&ace[8], sid.get(), sidLength);
    std::vector<BYTE> acl(64);
    ASSERT_TRUE(InitializeAcl(reinterpret_cast<PACL>(acl.data()), static_cast<DWORD>(acl.size()), ACL_REVISION));
    ASSERT_TRUE(AddAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, MAXDWORD, ace.data(),
                       static_cast<DWORD>(ace.size())));
    EXPECT_EQ(job->AclToText(reinterpret_cast<PACL>(acl.data())), L"S-1-5-18,full,,no_inheritance");
}

// Builds an object ACE of `type` with the GUIDs `flags` announces.
std::vector<BYTE> ObjectAce(BYTE type, DWORD flags, DWORD mask, PSID sid) {
    const DWORD sidLength = GetLengthSid(sid);
    std::vector<BYTE> ace(12);
    if (flags & ACE_OBJECT_TYPE_PRESENT) ace.insert(ace.end(), 16, 0xAB);
    if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ace.insert(ace.end(), 16, 0xCD);
    const size_t sidAt = ace.size();
    ace.resize(sidAt + sidLength);
    ace[0] = type;
    ace[2] = static_cast<BYTE>(ace.size() & 0xFF);
    ace[3] = static_cast<BYTE>(ace.size() >> 8);
    std::memcpy(&ace[4], &mask, 4);
    std::memcpy(&ace[8], &flags, 4);
    std::memcpy(&ace[sidAt], sid, sidLength);
    return ace;
}

TEST_F(TextFormsTest, ObjectAcesShowTheTrusteeFromItsRealPlace) {
    auto job = NewJob();
    job->m_objectType = SE_FILE_OBJECT;
    job->m_listNameForm = 2;
    LocalPtr<> users = SidFromString(L"S-1-5-32-545");
    for (DWORD flags : {0u, 1u, 2u, 3u}) {
        std::vector<BYTE> acl(256);
        auto* list = reinterpret_cast<PACL>(acl.data());
        ASSERT_TRUE(InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION_DS));
        std::vector<BYTE> ace = ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, flags, 0x120089, users.get());
        ASSERT_TRUE(AddAce(list, ACL_REVISION_DS, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size()))) << flags;
        ace = ObjectAce(SYSTEM_AUDIT_OBJECT_ACE_TYPE, flags, 0x1F01FF, users.get());
        ace[1] = 0xC0;
        ASSERT_TRUE(AddAce(list, ACL_REVISION_DS, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size())));
        EXPECT_EQ(job->AclToText(list), L"S-1-5-32-545,read,allow_object,no_inheritance:"
                                        L"S-1-5-32-545,full,audit_object,audit_success+audit_fail")
            << "object flags " << flags;
        EXPECT_EQ(job->m_lastOsError, 0u);
    }
}

TEST_F(TextFormsTest, TrusteeLocatorRefusesAcesTooShortForTheirSid) {
    LocalPtr<> sid = SidFromString(L"S-1-5-21-1-2-3-1000");
    std::vector<BYTE> ace = ObjectAce(ACCESS_DENIED_OBJECT_ACE_TYPE, 3, 1, sid.get());
    auto* header = reinterpret_cast<ACE_HEADER*>(ace.data());
    ASSERT_NE(AceSid(header, AceSidReach::EveryAce), nullptr);
    EXPECT_TRUE(EqualSid(AceSid(header, AceSidReach::EveryAce), sid.get()));
    // Every size short of the full SID is refused.
    for (WORD size = 0; size < ace.size(); ++size) {
        header->AceSize = size;
        EXPECT_EQ(AceSid(header, AceSidReach::EveryAce), nullptr) << size;
    }
    header->AceSize = static_cast<WORD>(ace.size());
    ace[12 + 32 + 1] = 16;  // more sub-authorities than a SID may have
    EXPECT_EQ(AceSid(header, AceSidReach::EveryAce), nullptr);
    EXPECT_EQ(AceSid(nullptr, AceSidReach::EveryAce), nullptr);
}

TEST_F(TextFormsTest, CompoundAceShowsItsServerSidButIsNotOfferedForRewriting) {
    LocalPtr<> server = SidFromString(L"S-1-5-21-1-2-3-1000");
    // A compound ACE has a type word and a reserved word where object ACEs
    // keep their flags, and never any GUIDs.
    std::vector<BYTE> ace = ObjectAce(ACCESS_ALLOWED_COMPOUND_ACE_TYPE, 0, 0x120089, server.get());
    ace[8] = 1;  // impersonation, the only compound type
    auto* header = reinterpret_cast<ACE_HEADER*>(ace.data());
    ASSERT_NE(AceSid(header, AceSidReach::EveryAce), nullptr);
    EXPECT_TRUE(EqualSid(AceSid(header, AceSidReach::EveryAce), server.get()));
    EXPECT_EQ(AceSid(header), nullptr);
    EXPECT_EQ(LocateAceSid(header).offset, 0u);
    header->AceSize = 12 + 7;
    EXPECT_EQ(AceSid(header, AceSidReach::EveryAce), nullptr);
}

TEST_F(TextFormsTest, DamagedAceStopsTheTextWithAnError) {
    auto job = NewJob();
    job->m_objectType = SE_FILE_OBJECT;
    job->m_listNameForm = 2;
    LocalPtr<> system = SidFromString(L"S-1-5-18");
    std::vector<BYTE> acl(256);
    auto* list = reinterpret_cast<PACL>(acl.data());
    ASSERT_TRUE(InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION_DS));
    ASSERT_TRUE(AddAccessAllowedAce(list, ACL_REVISION_DS, 0x1F01FF, system.get()));
    // An object ACE whose flags announce both GUIDs but which holds none:
    // its SID would lie past its end. AddAce refuses such an ACE, so it is
    // put behind the first one by hand.
    std::vector<BYTE> ace = ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, 1, system.get());
    const DWORD lying = 3;
    std::memcpy(&ace[8], &lying, 4);
    ACL_SIZE_INFORMATION size = {};
    ASSERT_TRUE(GetAclInformation(list, &size, sizeof size, AclSizeInformation));
    std::memcpy(acl.data() + size.AclBytesInUse, ace.data(), ace.size());
    list->AceCount = 2;
    // What was built before the damaged ACE comes back with the error; the
    // listing then writes nothing for the object.
    EXPECT_EQ(job->AclToText(list).rfind(L"S-1-5-18,full,allow,no_inheritance", 0), 0u);
    EXPECT_NE(job->m_lastOsError, 0u);
}

TEST_F(TextFormsTest, UnreadableAclRecordsTheError) {
    auto job = NewJob();
    std::vector<BYTE> garbage(16, 0xEE);
    EXPECT_EQ(job->AclToText(reinterpret_cast<PACL>(garbage.data())), L"");
    EXPECT_NE(job->m_lastOsError, 0u);
}

}  // namespace
}  // namespace tavrik::test
