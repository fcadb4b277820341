// The NTACL attribute read and written through descriptors of the objects
// themselves: absent, damaged and truncated attributes, the attribute name
// of the drive, and symbolic links that must not lead to their targets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/temp_machine.h"
#include "winapi/files/file_paths.h"
#include "winapi/files/file_xattr.h"
#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;
using winapi::Bytes;

Bytes FromSddl(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG size = 0;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, &size)) << sddl;
    if (!sd) return {};
    Bytes bytes(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + size);
    LocalFree(sd);
    return bytes;
}

std::wstring ToSddl(const Bytes& sd, SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION |
                                                                 GROUP_SECURITY_INFORMATION |
                                                                 DACL_SECURITY_INFORMATION) {
    LPWSTR text = nullptr;
    Bytes copy = sd;
    EXPECT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(copy.data(), SDDL_REVISION_1, info, &text,
                                                                     nullptr));
    std::wstring result = text ? text : L"";
    LocalFree(text);
    return result;
}

// A simulated computer is open so that injected faults are looked up in
// its store, not in the user's default one.
class FileXattrTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = machine_.MakeDirectory("objects");
        std::ofstream(dir_ + "/file") << "data";
        fs::create_directory(dir_ + "/dir");
    }
    winapi::UniqueFd OpenPath(const std::string& name) {
        return winapi::UniqueFd(open((dir_ + "/" + name).c_str(), O_PATH | O_NOFOLLOW));
    }
    struct stat Status(const std::string& name) {
        struct stat status {};
        EXPECT_EQ(lstat((dir_ + "/" + name).c_str(), &status), 0);
        return status;
    }
    Bytes Raw(const std::string& name, const char* attribute) {
        Bytes value(65536);
        ssize_t got = lgetxattr((dir_ + "/" + name).c_str(), attribute, value.data(), value.size());
        if (got < 0) return {};
        value.resize(static_cast<size_t>(got));
        return value;
    }
    void SetRaw(const std::string& name, const char* attribute, const Bytes& value) {
        ASSERT_EQ(lsetxattr((dir_ + "/" + name).c_str(), attribute, value.data(), value.size(), 0), 0);
    }

    tavrik::test::TempMachine machine_;
    std::string dir_;
};

TEST_F(FileXattrTest, WithoutAttributeTheDescriptorComesFromTheMode) {
    chmod((dir_ + "/file").c_str(), 0640);
    auto fd = OpenPath("file");
    Bytes sd;
    ASSERT_EQ(winapi::ReadFileDescriptor(fd.Get(), Status("file"), "security.NTACL", &sd), ERROR_SUCCESS);
    std::wstring text = ToSddl(sd);
    std::wstring owner = L"O:S-1-22-1-" + std::to_wstring(getuid());
    std::wstring group = L"G:S-1-22-2-" + std::to_wstring(getgid());
    EXPECT_EQ(text.rfind(owner + group + L"D:", 0), 0u) << text;
    EXPECT_TRUE(Raw("file", "security.NTACL").empty()) << "reading must not create the attribute";
}

TEST_F(FileXattrTest, WrittenDescriptorIsVersionOneAndReadsBack) {
    Bytes sd = FromSddl(L"O:BAG:SYD:PAI(A;;FA;;;BA)(A;OICI;0x1200a9;;;WD)");
    auto fd = OpenPath("dir");
    ASSERT_EQ(winapi::WriteFileDescriptor(fd.Get(), "security.NTACL", sd), ERROR_SUCCESS);
    Bytes raw = Raw("dir", "security.NTACL");
    ASSERT_GE(raw.size(), 8u + sd.size());
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 8), (Bytes{1, 0, 1, 0, 0, 0, 2, 0}));

    Bytes back;
    ASSERT_EQ(winapi::ReadFileDescriptor(fd.Get(), Status("dir"), "security.NTACL", &back), ERROR_SUCCESS);
    EXPECT_EQ(ToSddl(back), L"O:BAG:SYD:PAI(A;;FA;;;BA)(A;OICI;0x1200a9;;;WD)");
}

TEST_F(FileXattrTest, TheDrivesAttributeNameIsTheOnlyOneUsed) {
    Bytes sd = FromSddl(L"O:SYG:SYD:(A;;FA;;;SY)");
    auto fd = OpenPath("file");
    ASSERT_EQ(winapi::WriteFileDescriptor(fd.Get(), "user.NTACL", sd), ERROR_SUCCESS);
    EXPECT_FALSE(Raw("file", "user.NTACL").empty());
    EXPECT_TRUE(Raw("file", "security.NTACL").empty());

    Bytes back;
    ASSERT_EQ(winapi::ReadFileDescriptor(fd.Get(), Status("file"), "user.NTACL", &back), ERROR_SUCCESS);
    EXPECT_EQ(ToSddl(back), L"O:SYG:SYD:(A;;FA;;;SY)");
    // The other name still has nothing: the mode-derived descriptor.
    ASSERT_EQ(winapi::ReadFileDescriptor(fd.Get(), Status("file"), "security.NTACL", &back), ERROR_SUCCESS);
    EXPECT_NE(ToSddl(back), L"O:SYG:SYD:(A;;FA;;;SY)");
}

TEST_F(FileXattrTest, DamagedAttributesAreErrorsAndStayUntouched) {
    auto fd = OpenPath("file");
    const Bytes garbage = {1, 0, 1, 0, 0, 0, 2, 0, 1, 0, 4, 0x80, 0xff, 0xff, 0xff, 0x7f};
    const Bytes wrongVersion = {9, 0, 9, 0, 0, 0, 2, 0};
    Bytes good = Bytes{1, 0, 1, 0, 0, 0, 2, 0};
    for (const Bytes& damaged : {garbage, wrongVersion, Bytes{1}, Bytes{}}) {
        SetRaw("file", "security.NTACL", damaged);
        Bytes sd;
        EXPECT_EQ(winapi::ReadFileDescriptor(fd.Get(), Status("file"), "security.NTACL", &sd),
                  ERROR_INVALID_SECURITY_DESCR);
        EXPECT_EQ(Raw("file", "security.NTACL"), damaged);
    }
}

TEST_F(FileXattrTest, TruncatedCopiesOfAGoodAttributeAreRejected) {
    Bytes sd = FromSddl(L"O:BAG:BAD:(A;;FA;;;BA)(A;;FR;;;WD)");
    auto fd = OpenPath("file");
    ASSERT_EQ(winapi::WriteFileDescriptor(fd.Get(), "security.NTACL", sd), ERROR_SUCCESS);
    Bytes whole = Raw("file", "security.NTACL");
    for (size_t cut = 1; cut < whole.size(); cut += 3) {
        SetRaw("file", "security.NTACL", Bytes(whole.begin(), whole.begin() + cut));
        Bytes back;
        EXPECT_EQ(winapi::ReadFileDescriptor(fd.Get(), Status("file"), "security.NTACL", &back),
                  ERROR_INVALID_SECURITY_DESCR)
            << "cut at " << cut;
    }
}

TEST_F(FileXattrTest, ALinksOwnAttributeIsReadNotItsTargets) {
    ASSERT_EQ(symlink("file", (dir_ + "/link").c_str()), 0);
    Bytes targetSd = FromSddl(L"O:BAG:BAD:(A;;FA;;;BA)");
    auto target = OpenPath("file");
    ASSERT_EQ(winapi::WriteFileDescriptor(target.Get(), "security.NTACL", targetSd), ERROR_SUCCESS);

    auto link = OpenPath("link");
    ASSERT_TRUE(link.Valid());
    Bytes sd;
    ASSERT_EQ(winapi::ReadFileDescriptor(link.Get(), Status("link"), "security.NTACL", &sd), ERROR_SUCCESS);
    EXPECT_NE(ToSddl(sd), L"O:BAG:BAD:(A;;FA;;;BA)");

    Bytes linkSd = FromSddl(L"O:SYG:SYD:(A;;FA;;;SY)");
    ASSERT_EQ(winapi::WriteFileDescriptor(link.Get(), "security.NTACL", linkSd), ERROR_SUCCESS);
    ASSERT_EQ(winapi::ReadFileDescriptor(target.Get(), Status("file"), "security.NTACL", &sd), ERROR_SUCCESS);
    EXPECT_EQ(ToSddl(sd), L"O:BAG:BAD:(A;;FA;;;BA)") << "writing the link changed its target";

    // The user namespace is refused on links by the kernel: an error, not a crash.
    EXPECT_EQ(winapi::WriteFileDescriptor(link.Get(), "user.NTACL", linkSd), ERROR_ACCESS_DENIED);
}

TEST_F(FileXattrTest, NoObjectBehindTheDescriptorIsNotFound) {
    Bytes sd = FromSddl(L"O:SYG:SYD:(A;;FA;;;SY)");
    winapi::UniqueFd closed;
    EXPECT_EQ(winapi::WriteFileDescriptor(closed.Get(), "security.NTACL", sd), ERROR_FILE_NOT_FOUND);
    Bytes blob;
    bool present = true;
    EXPECT_EQ(winapi::ReadNtAclAttribute(closed.Get(), "security.NTACL", &blob, &present), ERROR_FILE_NOT_FOUND);
}

TEST_F(FileXattrTest, AFullDiskFailsTheWriteAndKeepsTheOldValue) {
    Bytes before = FromSddl(L"O:BAG:BAD:(A;;FA;;;BA)");
    auto fd = OpenPath("file");
    ASSERT_EQ(winapi::WriteFileDescriptor(fd.Get(), "security.NTACL", before), ERROR_SUCCESS);
    winapi::machine::SetDiskFull(true);
    EXPECT_EQ(winapi::WriteFileDescriptor(fd.Get(), "security.NTACL", FromSddl(L"O:SYG:SYD:(A;;FA;;;SY)")),
              ERROR_DISK_FULL);
    winapi::machine::SetDiskFull(false);
    Bytes sd;
    ASSERT_EQ(winapi::ReadFileDescriptor(fd.Get(), Status("file"), "security.NTACL", &sd), ERROR_SUCCESS);
    EXPECT_EQ(ToSddl(sd), L"O:BAG:BAD:(A;;FA;;;BA)");
}

// A write of the bytes the attribute already holds is left out; a value
// that decodes to the same descriptor but is laid out otherwise is still
// replaced by the plain encoding. The file is made immutable, so every
// write the layer attempts is refused and shows.
TEST_F(FileXattrTest, OnlyAnAttributeHoldingOtherBytesIsWrittenAgain) {
    const Bytes sd = FromSddl(L"O:BAG:BAD:(A;;FA;;;BA)");
    auto fd = OpenPath("file");
    ASSERT_EQ(winapi::WriteFileDescriptor(fd.Get(), "security.NTACL", sd), ERROR_SUCCESS);
    const Bytes plain = Raw("file", "security.NTACL");
    Bytes padded = plain;
    padded.insert(padded.end(), 8, 0);

    struct Case {
        Bytes value;
        DWORD write;
    };
    for (const Case& c : {Case{plain, ERROR_SUCCESS}, Case{padded, ERROR_ACCESS_DENIED}}) {
        SetRaw("file", "security.NTACL", c.value);
        winapi::UniqueFd open(::open((dir_ + "/file").c_str(), O_RDONLY | O_CLOEXEC));
        int flags = 0;
        ASSERT_EQ(ioctl(open.Get(), FS_IOC_GETFLAGS, &flags), 0);
        flags |= FS_IMMUTABLE_FL;
        if (ioctl(open.Get(), FS_IOC_SETFLAGS, &flags) != 0) GTEST_SKIP() << "no immutable files here";
        Bytes read, stored;
        EXPECT_EQ(winapi::ReadFileDescriptor(fd.Get(), Status("file"), "security.NTACL", &read, &stored),
                  ERROR_SUCCESS);
        EXPECT_EQ(stored, c.value);
        EXPECT_EQ(winapi::WriteFileDescriptor(fd.Get(), "security.NTACL", read, &stored), c.write);
        flags &= ~FS_IMMUTABLE_FL;
        ASSERT_EQ(ioctl(open.Get(), FS_IOC_SETFLAGS, &flags), 0);
        EXPECT_EQ(Raw("file", "security.NTACL"), c.value);
    }
}

// A descriptor too large for the file system's attribute space (ext4 says
// ENOSPC with the disk far from full) is reported as such, not as a full
// disk, and leaves nothing half written.
TEST_F(FileXattrTest, ADescriptorBeyondTheAttributeSpaceSaysSo) {
    std::wstring sddl = L"O:BAG:BAD:";
    for (int i = 0; i < 400; ++i) sddl += L"(A;;FR;;;S-1-5-21-1-2-3-" + std::to_wstring(1000 + i) + L")";
    Bytes huge = FromSddl(sddl.c_str());
    ASSERT_GT(huge.size(), 10000u);
    auto fd = OpenPath("file");
    DWORD error = winapi::WriteFileDescriptor(fd.Get(), "security.NTACL", huge);
    if (error == ERROR_SUCCESS) {
        // File systems with large attributes (ea_inode, tmpfs) take it whole.
        Bytes back;
        ASSERT_EQ(winapi::ReadFileDescriptor(fd.Get(), Status("file"), "security.NTACL", &back), ERROR_SUCCESS);
        EXPECT_EQ(back.size(), huge.size());
    } else {
        EXPECT_EQ(error, ERROR_ALLOTTED_SPACE_EXCEEDED);
        EXPECT_TRUE(Raw("file", "security.NTACL").empty());
    }
}

}  // namespace
