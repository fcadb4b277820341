// Twins: one file gets a descriptor from smbd (smbcacls over SMB), its twin
// the same descriptor from this layer; the POSIX ACLs, ownership and the
// NTACL attribute (its time stamp aside) must come out the same.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fcntl.h>

#include <fstream>
#include <sstream>
#include <cctype>

#include "support/privileges.h"
#include "support/sddl_access.h"
#include "support/temp_machine.h"
#include "winapi/files/ntacl.h"
#include "winapi/samba/posix_acl.h"
#include "winapi/samba/posix_acl_mapping.h"
#include "winapi/machine/admin.h"
#include "winapi/samba/samba_server.h"
#include "winapi/win32.h"

namespace tavrik::test {
namespace {

namespace wm = winapi::machine;

std::string Attribute(const std::string& path) {
    std::string value(65536, '\0');
    ssize_t got = ::lgetxattr(path.c_str(), "security.NTACL", value.data(), value.size());
    value.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return value;
}

// The attribute with its time stamp (version 4: the 8 bytes after the
// NUL-terminated description that follows the 64-byte hash) blanked.
std::string WithoutTime(std::string blob) {
    if (blob.size() > 78 && blob[0] == 4) {
        size_t nul = blob.find('\0', 78);
        if (nul != std::string::npos) {
            size_t at = (nul + 1 + 3) / 4 * 4;
            for (size_t i = at; i < at + 8 && i < blob.size(); ++i) blob[i] = 'T';
        }
    }
    return blob;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string PosixState(const std::string& path) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    ProgramResult acl = RunProgram({"getfacl", "-n", "--omit-header", "--absolute-names", path});
    return "mode " + std::to_string(status.st_mode) + " uid " + std::to_string(status.st_uid) + " gid " +
           std::to_string(status.st_gid) + "\n" + acl.out;
}

// Sets the descriptor through smbd exactly as given (smbcacls would sort
// the entries and keep the old control flags), with Samba's Python client.
const char* const kSetAclScript = R"(
import sys
from samba.samba3 import libsmb_samba_internal as libsmb
from samba.samba3 import param as s3param
from samba import credentials
from samba.ndr import ndr_unpack, ndr_pack
from samba.dcerpc import security
conf, user, password, op, name = sys.argv[1:6]
lp = s3param.get_context()
lp.load(conf)
creds = credentials.Credentials()
creds.guess(lp)
creds.set_username(user)
creds.set_password(password)
conn = libsmb.Conn('127.0.0.1', 'data', lp, creds)
if op == 'set':
    sd = ndr_unpack(security.descriptor, bytes.fromhex(sys.argv[6]))
    # As a Windows client's SetSecurityInfo sends it: auto-inheritance asked for.
    if sd.type & security.SEC_DESC_DACL_AUTO_INHERITED:
        sd.type |= security.SEC_DESC_DACL_AUTO_INHERIT_REQ
    conn.set_acl(name, sd, int(sys.argv[7]))
else:
    print(ndr_pack(conn.get_acl(name, 7)).hex())
)";

std::string StoredDescriptorHex(const std::string& path) {
    const std::string blob = Attribute(path);
    winapi::Bytes sd;
    if (winapi::DecodeNtAcl(reinterpret_cast<const BYTE*>(blob.data()), blob.size(), &sd) != ERROR_SUCCESS) return {};
    return Hex(std::string(sd.begin(), sd.end()));
}

std::string Sddl(const winapi::Bytes& sd) {
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<BYTE*>(sd.data()), SDDL_REVISION_1,
                                                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                                  DACL_SECURITY_INFORMATION,
                                                              &text, nullptr)) {
        return "<unconvertible>";
    }
    std::wstring wide(text);
    LocalFree(text);
    return std::string(wide.begin(), wide.end());
}

struct Shape {
    const char* name;
    bool directory;
    std::string sddl;
};

class SambaTwinsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string skip;
        server_ = SambaServer::Start({}, &skip);
        if (!server_) GTEST_SKIP() << skip;
        machine_ = std::make_unique<TempMachine>();
        wm::MapDrive(L"TESTPC", L'S', server_->ShareDirectory());
        wm::SetSambaConfiguration(server_->ConfigPath());
    }

    void MakeTwin(const std::string& name, bool directory) {
        const std::string path = server_->ShareDirectory() + "/" + name;
        if (directory) {
            ::mkdir(path.c_str(), 0755);
        } else {
            std::ofstream(path) << "twin\n";
            ::chmod(path.c_str(), 0644);
        }
    }

    std::unique_ptr<SambaServer> server_;
    std::unique_ptr<TempMachine> machine_;
};

TEST_F(SambaTwinsTest, DescriptorsSetThroughSmbdAndThroughTavrikLeaveTheSameFiles) {
    ProgramResult aliceSid = RunProgram({"wbinfo", "-n", "alice"});
    const std::string samAlice = aliceSid.out.substr(0, aliceSid.out.find(' '));
    const std::string root = "S-1-22-1-0", alice = "S-1-22-1-30001", bob = "S-1-22-1-30002", staff = "S-1-22-2-30010";
    const std::vector<Shape> shapes = {
        {"allow_user", false, "D:PAI(A;;FR;;;" + alice + ")(A;;FA;;;" + root + ")"},
        {"deny_then_everyone", false, "D:PAI(D;;FW;;;" + alice + ")(A;;FA;;;WD)"},
        {"group_read_execute", false, "D:PAI(A;;0x1200a9;;;" + staff + ")(A;;FA;;;" + root + ")"},
        {"everyone_only", false, "D:PAI(A;;FR;;;WD)"},
        {"deny_group_allow_member", false, "D:PAI(D;;FW;;;" + staff + ")(A;;FA;;;" + alice + ")(A;;FR;;;WD)"},
        {"passdb_user", false, "D:PAI(A;;FR;;;" + samAlice + ")(A;;FA;;;" + root + ")"},
        {"inherit_both", true, "D:PAI(A;OICI;FA;;;" + root + ")(A;OICI;0x1200a9;;;" + alice + ")"},
        {"creator_owner", true, "D:PAI(A;OICIIO;FA;;;CO)(A;;FA;;;" + root + ")(A;OICI;FR;;;WD)"},
        {"creator_group", true, "D:PAI(A;OICIIO;FR;;;CG)(A;OICI;FA;;;" + root + ")"},
        {"container_or_object_only", true,
         "D:PAI(A;CI;FR;;;" + alice + ")(A;OI;FR;;;" + bob + ")(A;;FA;;;" + root + ")"},
        {"deny_inheritable", true, "D:PAI(D;OICI;FW;;;" + bob + ")(A;OICI;FA;;;WD)"},
        {"owner_change", false,
         "O:" + alice + "G:" + staff + "D:PAI(A;;FA;;;" + alice + ")(A;;FR;;;" + staff + ")"},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const std::string viaSmbd = std::string(shape.name) + "_smbd";
        const std::string viaTavrik = std::string(shape.name) + "_tavrik";
        MakeTwin(viaSmbd, shape.directory);
        MakeTwin(viaTavrik, shape.directory);
        SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION;
        if (shape.sddl.rfind("O:", 0) == 0) info |= OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
        std::wstring sddl(shape.sddl.begin(), shape.sddl.end());
        ASSERT_TRUE(EnablePrivileges({L"SeRestorePrivilege", L"SeBackupPrivilege"}));
        ASSERT_EQ(WriteSddl(L"S:\\" + std::wstring(viaTavrik.begin(), viaTavrik.end()), SE_FILE_OBJECT, sddl, info),
                  ERROR_SUCCESS);
        const std::string a = server_->ShareDirectory() + "/" + viaSmbd;
        const std::string b = server_->ShareDirectory() + "/" + viaTavrik;
        ProgramResult set = RunProgram({"/usr/bin/python3", "-c", kSetAclScript, server_->ConfigPath(), "root",
                                        SambaServer::kPassword, "set", viaSmbd, StoredDescriptorHex(b),
                                        std::to_string(info)});
        ASSERT_EQ(set.exitCode, 0) << set.out;
        std::string stateA = PosixState(a), stateB = PosixState(b);
        for (std::string* s : {&stateA, &stateB}) {
            size_t at;
            while ((at = s->find(server_->ShareDirectory())) != std::string::npos) s->erase(at, s->find('\n', at) - at);
        }
        EXPECT_EQ(stateA, stateB);
        EXPECT_EQ(Hex(WithoutTime(Attribute(a))), Hex(WithoutTime(Attribute(b))));
    }
}

}  // namespace
}  // namespace tavrik::test

namespace tavrik::test {
namespace {

// What smbd serves for `name` (relative to the share), as this layer's SDDL.
std::string SmbdView(const SambaServer& server, const std::string& name) {
    ProgramResult got = RunProgram({"/usr/bin/python3", "-c", kSetAclScript, server.ConfigPath(), "root",
                                    SambaServer::kPassword, "get", name});
    if (got.exitCode != 0) return "<smbd: " + got.out + ">";
    winapi::Bytes sd;
    for (size_t i = 0; i + 1 < got.out.size() && std::isxdigit(static_cast<unsigned char>(got.out[i])); i += 2) {
        sd.push_back(static_cast<BYTE>(std::stoi(got.out.substr(i, 2), nullptr, 16)));
    }
    return Sddl(sd);
}

std::string TavrikView(const std::string& name) {
    std::wstring wide = ReadSddl(L"S:\\" + std::wstring(name.begin(), name.end()), SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    return std::string(wide.begin(), wide.end());
}

TEST_F(SambaTwinsTest, ReadsAsSmbdBeforeAndAfterAChangeFromTheUnixSide) {
    const std::string rule = "D:PAI(A;OICI;FR;;;S-1-22-1-30001)(A;OICI;FA;;;S-1-22-1-0)";
    for (bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "directory" : "file");
        const std::string name = directory ? "changed_dir" : "changed_file";
        MakeTwin(name, directory);
        ASSERT_TRUE(EnablePrivileges({L"SeRestorePrivilege", L"SeBackupPrivilege"}));
        ASSERT_EQ(WriteSddl(L"S:\\" + std::wstring(name.begin(), name.end()), SE_FILE_OBJECT,
                            std::wstring(rule.begin(), rule.end()), DACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
        ASSERT_TRUE(EnablePrivileges({L"SeBackupPrivilege"}));
        EXPECT_EQ(TavrikView(name), SmbdView(*server_, name));
        EXPECT_NE(TavrikView(name).find("S-1-22-1-30001"), std::string::npos);

        // setfacl from the Unix side: the stored descriptor is stale now.
        const std::string path = server_->ShareDirectory() + "/" + name;
        ProgramResult changed = RunProgram({"setfacl", "-m", "u:30002:rwx", path});
        ASSERT_EQ(changed.exitCode, 0) << changed.out;
        ASSERT_TRUE(EnablePrivileges({L"SeBackupPrivilege"}));
        EXPECT_EQ(TavrikView(name), SmbdView(*server_, name));
        EXPECT_NE(TavrikView(name).find("S-1-5-21-"), std::string::npos);  // bob, as winbind names him
    }
}

class SambaShareSettingsTest : public ::testing::Test {};

TEST_F(SambaShareSettingsTest, IgnoreSystemAclsAndTheAttributeNameAreHonoured) {
    std::string skip;
    auto server = SambaServer::Start(
        {{"acl_xattr:ignore system acls = yes", "acl_xattr:security_acl_name = user.TavrikNTACL"}, true}, &skip);
    if (!server) GTEST_SKIP() << skip;
    TempMachine machine;
    wm::MapDrive(L"TESTPC", L'S', server->ShareDirectory());
    wm::SetSambaConfiguration(server->ConfigPath());

    const std::string path = server->ShareDirectory() + "/kept.txt";
    std::ofstream(path) << "kept\n";
    ::chmod(path.c_str(), 0600);
    const std::string before = PosixState(path);
    ASSERT_TRUE(EnablePrivileges({L"SeRestorePrivilege", L"SeBackupPrivilege"}));
    ASSERT_EQ(WriteSddl(L"S:\\kept.txt", SE_FILE_OBJECT, L"D:PAI(A;;FR;;;S-1-22-1-30001)(A;;FA;;;S-1-22-1-0)",
                        DACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    EXPECT_EQ(PosixState(path), before);  // smbd would leave the POSIX ACLs alone too
    EXPECT_TRUE(Attribute(path).empty());
    std::string blob(256, '\0');
    ssize_t got = ::lgetxattr(path.c_str(), "user.TavrikNTACL", blob.data(), blob.size());
    ASSERT_GT(got, 0);
    EXPECT_EQ(blob[0], 3);  // version 3, as smbd writes with system ACLs ignored
    ASSERT_TRUE(EnablePrivileges({L"SeBackupPrivilege"}));
    EXPECT_EQ(TavrikView("kept.txt"), SmbdView(*server, "kept.txt"));
}

}  // namespace
}  // namespace tavrik::test

namespace tavrik::test {
namespace {

// With the POSIX ACLs ignored, an object without an attribute gets the
// descriptor of the share's default acl style; smbd picks a changed
// smb.conf up at the next connection, Tavrik reads a copy of it.
TEST_F(SambaShareSettingsTest, DefaultAclStyleShapesTheDescriptorOfAnObjectWithoutAttribute) {
    std::string skip;
    auto server = SambaServer::Start({{"acl_xattr:ignore system acls = yes"}, true}, &skip);
    if (!server) GTEST_SKIP() << skip;
    TempMachine machine;
    wm::MapDrive(L"TESTPC", L'S', server->ShareDirectory());
    std::stringstream buffer;
    buffer << std::ifstream(server->ConfigPath()).rdbuf();
    const std::string base = buffer.str();
    for (const std::string name : {"plain.txt", "private.txt", "folder"}) {
        const std::string path = server->ShareDirectory() + "/" + name;
        if (name == "folder") {
            ::mkdir(path.c_str(), 0750);
        } else {
            std::ofstream(path) << "x\n";
        }
    }
    ::chmod((server->ShareDirectory() + "/plain.txt").c_str(), 0664);
    ::chmod((server->ShareDirectory() + "/private.txt").c_str(), 0600);
    for (const std::string style : {"", "posix", "windows", "everyone"}) {
        SCOPED_TRACE("style " + style);
        std::string text = base;
        if (!style.empty()) text += "  acl_xattr:default acl style = " + style + "\n";
        std::ofstream(server->ConfigPath(), std::ios::trunc) << text;
        const std::string copy = server->Folder() + "/tavrik-" + (style.empty() ? "default" : style) + ".conf";
        std::ofstream(copy) << text;
        wm::SetSambaConfiguration(copy);
        for (const std::string name : {"plain.txt", "private.txt", "folder"}) {
            SCOPED_TRACE(name);
            ASSERT_TRUE(EnablePrivileges({L"SeBackupPrivilege"}));
            EXPECT_EQ(TavrikView(name), SmbdView(*server, name));
        }
    }
}

}  // namespace
}  // namespace tavrik::test

namespace tavrik::test {
namespace {

// With "map acl inherit = yes" smbd also keeps the ACE flags and the
// control in user.SAMBA_PAI, and derives descriptors (hence its hash)
// with them: both twins must carry the same attribute and hash.
TEST(SambaMapAclInheritTest, TwinsKeepTheSameInheritanceAttribute) {
    std::string skip;
    auto server = SambaServer::Start({{"map acl inherit = yes"}, true}, &skip);
    if (!server) GTEST_SKIP() << skip;
    TempMachine machine;
    wm::MapDrive(L"TESTPC", L'S', server->ShareDirectory());
    wm::SetSambaConfiguration(server->ConfigPath());
    const std::string root = "S-1-22-1-0", alice = "S-1-22-1-30001", bob = "S-1-22-1-30002", staff = "S-1-22-2-30010";
    const std::vector<Shape> shapes = {
        {"protected_file", false, "D:PAI(A;;FR;;;" + alice + ")(A;;FA;;;" + root + ")"},
        {"inherited_file", false, "D:AI(A;ID;FR;;;" + alice + ")(A;;FA;;;" + root + ")(A;ID;FR;;;" + staff + ")"},
        {"plain_file", false, "D:(A;;FR;;;" + alice + ")(A;;FA;;;" + root + ")"},
        {"deny_inherited", false, "D:AI(D;ID;FW;;;" + bob + ")(A;ID;FA;;;WD)"},
        {"inherited_dir", true,
         "D:AI(A;OICIID;FR;;;" + alice + ")(A;OICI;FA;;;" + root + ")(A;OICIIO;FA;;;CO)"},
        {"protected_dir", true,
         "D:PAI(A;OICI;FR;;;" + alice + ")(A;OICIID;FA;;;" + root + ")(A;OICIIOID;FA;;;CO)(A;ID;FR;;;WD)"},
        {"split_dir", true, "D:AI(A;CIID;FR;;;" + alice + ")(A;OI;FR;;;" + bob + ")(A;;FA;;;" + root + ")"},
    };
    auto pai = [](const std::string& path) {
        std::string value(4096, '\0');
        ssize_t got = ::lgetxattr(path.c_str(), "user.SAMBA_PAI", value.data(), value.size());
        value.resize(got < 0 ? 0 : static_cast<size_t>(got));
        return value;
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const std::string viaSmbd = std::string(shape.name) + "_smbd", viaTavrik = std::string(shape.name) + "_tavrik";
        const std::string a = server->ShareDirectory() + "/" + viaSmbd, b = server->ShareDirectory() + "/" + viaTavrik;
        for (const std::string& path : {a, b}) {
            if (shape.directory) {
                ::mkdir(path.c_str(), 0755);
            } else {
                std::ofstream(path) << "twin\n";
                ::chmod(path.c_str(), 0644);
            }
        }
        std::wstring sddl(shape.sddl.begin(), shape.sddl.end());
        ASSERT_TRUE(EnablePrivileges({L"SeRestorePrivilege", L"SeBackupPrivilege"}));
        ASSERT_EQ(WriteSddl(L"S:\\" + std::wstring(viaTavrik.begin(), viaTavrik.end()), SE_FILE_OBJECT, sddl,
                            DACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
        ProgramResult set = RunProgram({"/usr/bin/python3", "-c", kSetAclScript, server->ConfigPath(), "root",
                                        SambaServer::kPassword, "set", viaSmbd, StoredDescriptorHex(b),
                                        std::to_string(DACL_SECURITY_INFORMATION)});
        ASSERT_EQ(set.exitCode, 0) << set.out;
        EXPECT_FALSE(pai(a).empty());
        EXPECT_EQ(Hex(pai(a)), Hex(pai(b)));
        EXPECT_EQ(Hex(WithoutTime(Attribute(a))), Hex(WithoutTime(Attribute(b))));
        // Changed from the Unix side, both read what smbd derives with the flags kept.
        for (const std::string& path : {a, b}) {
            ProgramResult changed = RunProgram({"setfacl", "-m", "u:30002:rwx", path});
            ASSERT_EQ(changed.exitCode, 0) << changed.out;
        }
        ASSERT_TRUE(EnablePrivileges({L"SeBackupPrivilege"}));
        EXPECT_EQ(TavrikView(viaTavrik), SmbdView(*server, viaTavrik));
    }
}

}  // namespace
}  // namespace tavrik::test
