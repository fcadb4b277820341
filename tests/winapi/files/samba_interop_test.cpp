// The NTACL attribute as Samba itself reads and writes it: descriptors
// written through SetNamedSecurityInfoW are unpacked by Samba's own NDR
// code to the same owner, group, DACL and SACL, and blobs that Samba packs
// (version 1 and version 4 with hashes) read back the same through
// GetNamedSecurityInfoW. Skipped where Python has no samba module.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/privileges.h"
#include "support/temp_machine.h"
#include "winapi/machine/machine.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;

// dump PATH ATTR: unpack the attribute and describe it.
// write PATH ATTR VERSION SDDL: pack a descriptor as Samba does, store it,
// and describe the descriptor written.
constexpr const char* kHelper = R"PY(
import os, sys
from samba.dcerpc import xattr, security
from samba.ndr import ndr_pack, ndr_unpack

def describe(sd):
    lines = ["control %d" % sd.type,
             "owner %s" % (sd.owner_sid if sd.owner_sid is not None else "-"),
             "group %s" % (sd.group_sid if sd.group_sid is not None else "-")]
    for name, acl in (("dacl", sd.dacl), ("sacl", sd.sacl)):
        if acl is None:
            lines.append("%s none" % name)
            continue
        lines.append("%s revision %d count %d" % (name, acl.revision, acl.num_aces))
        for ace in acl.aces:
            lines.append("%s ace %d %d %d %s" % (name, ace.type, ace.flags, ace.access_mask, ace.trustee))
    return "\n".join(lines)

def descriptor_of(blob):
    ntacl = ndr_unpack(xattr.NTACL, blob)
    return ntacl.info if ntacl.version == 1 else ntacl.info.sd

if sys.argv[1] == "dump":
    print(describe(descriptor_of(os.getxattr(sys.argv[2], sys.argv[3], follow_symlinks=False))))
else:
    path, attribute, version, sddl = sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
    sd = security.descriptor.from_sddl(sddl, security.dom_sid("S-1-5-21-1-2-3"))
    ntacl = xattr.NTACL()
    ntacl.version = version
    if version == 1:
        ntacl.info = sd
    else:
        info = xattr.security_descriptor_hash_v4()
        info.sd = sd
        info.hash_type = xattr.XATTR_SD_HASH_TYPE_SHA256
        info.hash = list(range(64))
        info.description = "posix_acl"
        info.time = 132000000000000000
        info.sys_acl_hash = [0xAB] * 64
        ntacl.info = info
    os.setxattr(path, attribute, ndr_pack(ntacl), follow_symlinks=False)
    print(describe(sd))
)PY";

std::string Python() {
    for (const char* candidate : {"/usr/bin/python3", "python3"}) {
        std::string probe = std::string(candidate) + " -c 'import samba.ndr, samba.dcerpc.xattr' >/dev/null 2>&1";
        if (std::system(probe.c_str()) == 0) return candidate;
    }
    return {};
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs the helper; its standard output, or "failed" when it exits non-zero.
std::string RunHelper(const std::string& python, const std::string& script, const std::vector<std::string>& args) {
    std::string command = python + " " + Quote(script);
    for (const auto& arg : args) command += " " + Quote(arg);
    command += " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "failed";
    std::string output;
    char buffer[4096];
    while (size_t got = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
    int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "failed: " + output;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

std::string SidText(PSID sid) {
    if (!sid) return "-";
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return "?";
    std::wstring wide(text);
    LocalFree(text);
    return std::string(wide.begin(), wide.end());
}

// The same description, of a descriptor this layer returned.
std::string Describe(PSECURITY_DESCRIPTOR sd) {
    std::ostringstream out;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    GetSecurityDescriptorGroup(sd, &group, &defaulted);
    out << "control " << control << "\nowner " << SidText(owner) << "\ngroup " << SidText(group);
    for (const char* name : {"dacl", "sacl"}) {
        BOOL present = FALSE;
        PACL acl = nullptr;
        if (std::string(name) == "dacl") {
            GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted);
        } else {
            GetSecurityDescriptorSacl(sd, &present, &acl, &defaulted);
        }
        if (!acl) {
            out << "\n" << name << " none";
            continue;
        }
        out << "\n" << name << " revision " << int(acl->AclRevision) << " count " << acl->AceCount;
        for (DWORD i = 0; i < acl->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(acl, i, &ace)) break;
            auto* header = static_cast<ACE_HEADER*>(ace);
            ACCESS_MASK mask = *reinterpret_cast<ACCESS_MASK*>(static_cast<BYTE*>(ace) + 4);
            PSID trustee = static_cast<BYTE*>(ace) + 8;
            out << "\n" << name << " ace " << int(header->AceType) << " " << int(header->AceFlags) << " " << mask
                << " " << SidText(trustee);
        }
    }
    return out.str();
}

// Arbitrary owners, SACLs and descriptors that grant the caller nothing are
// written and read as a backup program does: with these privileges enabled.
bool EnableBackupPrivileges() {
    return tavrik::test::EnablePrivileges({L"SeSecurityPrivilege", L"SeBackupPrivilege", L"SeRestorePrivilege"});
}

class SambaInteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        python_ = Python();
        if (python_.empty()) GTEST_SKIP() << "python3 with the samba module is not available";
        script_ = machine_.Folder() + "/ntacl_helper.py";
        std::ofstream(script_) << kHelper;
        drive_ = machine_.DriveC();
        attribute_ = winapi::machine::FindDrive(winapi::machine::LocalComputer(), L'C')->xattrName;
        fs::create_directories(drive_ + "/share/dir");
        std::ofstream(drive_ + "/share/file.txt") << "x";
    }

    std::string ReadBack(const wchar_t* name) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        DWORD error = GetNamedSecurityInfoW(name, SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION,
                                            nullptr, nullptr, nullptr, nullptr, &sd);
        if (error != ERROR_SUCCESS) return "error " + std::to_string(error);
        std::string description = Describe(sd);
        LocalFree(sd);
        return description;
    }

    tavrik::test::TempMachine machine_;
    std::string python_, script_, drive_, attribute_;
};

TEST_F(SambaInteropTest, SambaReadsWhatSetNamedSecurityInfoWrites) {
    struct Case {
        const wchar_t* name;
        const char* path;
        const wchar_t* sddl;
    } cases[] = {
        {L"C:\\share\\file.txt", "share/file.txt",
         L"O:S-1-5-21-1-2-3-1001G:S-1-22-2-0D:(A;;FA;;;BA)(D;;0x40000;;;WD)(A;;0x1200a9;;;AU)"},
        {L"C:\\share\\dir", "share/dir",
         L"O:BAG:SYD:(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;CI;0x100020;;;S-1-22-1-1000)S:(AU;SAFA;FA;;;WD)"},
    };
    ASSERT_TRUE(EnableBackupPrivileges());
    for (const auto& c : cases) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &sd, nullptr));
        PSID owner = nullptr, group = nullptr;
        PACL dacl = nullptr, sacl = nullptr;
        BOOL present = FALSE, defaulted = FALSE;
        GetSecurityDescriptorOwner(sd, &owner, &defaulted);
        GetSecurityDescriptorGroup(sd, &group, &defaulted);
        GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        GetSecurityDescriptorSacl(sd, &present, &sacl, &defaulted);
        SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
        if (sacl) info |= SACL_SECURITY_INFORMATION | PROTECTED_SACL_SECURITY_INFORMATION;
        std::wstring name = c.name;
        ASSERT_EQ(SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, info, owner, group, dacl, sacl), ERROR_SUCCESS);
        LocalFree(sd);

        std::string ours = ReadBack(c.name);
        std::string samba = RunHelper(python_, script_, {"dump", drive_ + "/" + c.path, attribute_});
        EXPECT_EQ(samba, ours) << c.path;
    }
}

TEST_F(SambaInteropTest, BlobsSambaPacksReadTheSame) {
    ASSERT_TRUE(EnableBackupPrivileges());
    struct Case {
        const char* version;
        const wchar_t* name;
        const char* path;
        const char* sddl;
    } cases[] = {
        {"1", L"C:\\share\\file.txt", "share/file.txt", "O:BAG:SYD:PAI(A;;0x1f01ff;;;BA)(A;;0x1200a9;;;WD)"},
        {"4", L"C:\\share\\file.txt", "share/file.txt",
         "O:S-1-5-21-1-2-3-500G:DUD:AI(A;ID;0x1f01ff;;;SY)(D;;0x80000;;;S-1-5-21-1-2-3-1104)S:(AU;FA;0x10000;;;WD)"},
        {"4", L"\\\\?\\C:\\SHARE\\DIR", "share/dir", "O:BAG:BAD:P(A;OICI;0x1f01ff;;;BA)(A;OICIIO;0x10000000;;;CO)"},
    };
    for (const auto& c : cases) {
        std::string samba = RunHelper(python_, script_, {"write", drive_ + "/" + c.path, attribute_, c.version, c.sddl});
        ASSERT_EQ(samba.rfind("failed", 0), std::string::npos) << samba;
        EXPECT_EQ(ReadBack(c.name), samba) << "version " << c.version << ": " << c.sddl;
    }
}

}  // namespace
