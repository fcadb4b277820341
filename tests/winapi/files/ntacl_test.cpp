// The security.NTACL attribute: our writer and reader against Samba's own
// bytes, both recorded and, where python3-samba is installed, live.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/security_bytes.h"
#include "support/semantics_support.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/files/ntacl.h"
#include "winapi/files/recent_ntacls.h"

namespace {

using tavrik::test::ExactCopy;
using tavrik::test::Hex;
using tavrik::test::SddlOf;
using tavrik::test::SdFromSddl;
using winapi::Bytes;

// Recorded from Samba 4.17's NDR packer for a descriptor it parsed from
// O:BAG:SYD:PAI(A;OICI;FA;;;WD), reading FA as 0x1FF (hash contents are
// arbitrary).
const char* const kBareSd =
    "01000494140000002400000000000000300000000102000000000005200000002002000001010000000000051200000004001c00"
    "0100000000031400ff010000010100000000000100000000";
const char* const kSambaV1 =
    "0100010000000200"
    "010004941c0000002c00000000000000380000000102000000000005200000002002000001010000000000051200000004001c00"
    "0100000000031400ff010000010100000000000100000000";
const char* const kSambaV2 =
    "02000200000002000400020001020304050607080910111213141516"
    "010004943000000040000000000000004c0000000102000000000005200000002002000001010000000000051200000004001c00"
    "0100000000031400ff010000010100000000000100000000";
// Version 3: hash type 1, a 64-byte hash, two bytes of alignment.
const char* const kSambaV3 =
    "0300030000000200040002000100"
    "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f40"
    "0000"
    "01000494640000007400000000000000800000000102000000000005200000002002000001010000000000051200000004001c00"
    "0100000000031400ff010000010100000000000100000000";
// Version 4: as 3, then "posix_acl" NUL, a time stamp and the POSIX ACL hash.
const char* const kSambaV4 =
    "0400040000000200040002000100"
    "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f40"
    "706f7369785f61636c00"
    "8877665544332211"
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
    "01000494b4000000c400000000000000d00000000102000000000005200000002002000001010000000000051200000004001c00"
    "0100000000031400ff010000010100000000000100000000";

const std::wstring kRecordedSddl = L"O:BAG:SYD:PAI(A;OICI;CCDCLCSWRPWPDTLOCR;;;WD)";

DWORD Decode(const Bytes& blob, Bytes* sd) {
    const ExactCopy copy(blob);  // exactly sized, so an over-read trips AddressSanitizer
    return winapi::DecodeNtAcl(copy.data.get(), copy.size, sd);
}

std::wstring DecodedSddl(const Bytes& blob) {
    Bytes sd;
    const DWORD status = Decode(blob, &sd);
    return status == ERROR_SUCCESS ? SddlOf(sd) : L"error " + std::to_wstring(status);
}

TEST(EncodeNtAcl, WritesVersionOneExactlyAsSambaDoes) {
    EXPECT_EQ(winapi::EncodeNtAcl(Hex(kBareSd)), Hex(kSambaV1));
}

TEST(EncodeNtAcl, ShiftsEveryPresentOffsetByTheHeaderAndLeavesAbsentOnesZero) {
    const Bytes sd = SdFromSddl(L"O:BAD:(A;;FA;;;WD)S:(AU;SA;FA;;;WD)");  // no group
    const Bytes blob = winapi::EncodeNtAcl(sd);
    ASSERT_EQ(blob.size(), sd.size() + 8);
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 8), Hex("01 00 01 00 00 00 02 00"));
    for (size_t field = 4; field <= 16; field += 4) {
        DWORD original = 0, shifted = 0;
        std::memcpy(&original, sd.data() + field, 4);
        std::memcpy(&shifted, blob.data() + 8 + field, 4);
        EXPECT_EQ(shifted, original ? original + 8 : 0u) << "offset field " << field;
    }
}

TEST(EncodeNtAcl, AnEncodedBlobIsToldFromEveryOtherWithoutEncoding) {
    const Bytes sd = SdFromSddl(L"O:BAD:(A;;FA;;;WD)S:(AU;SA;FA;;;WD)");  // no group: one offset stays zero
    const Bytes blob = winapi::EncodeNtAcl(sd);
    EXPECT_TRUE(winapi::IsEncodedNtAcl(blob, sd));
    EXPECT_TRUE(winapi::IsEncodedNtAcl(winapi::EncodeNtAcl(Bytes()), Bytes()));
    // Any one byte changed anywhere: the header, the control, an offset
    // (the group's absent one too), a part.
    for (size_t at = 0; at < blob.size(); ++at) {
        Bytes changed = blob;
        changed[at] ^= 0x01;
        EXPECT_FALSE(winapi::IsEncodedNtAcl(changed, sd)) << "byte " << at;
    }
    Bytes longer = blob;
    longer.push_back(0);
    EXPECT_FALSE(winapi::IsEncodedNtAcl(longer, sd));
    EXPECT_FALSE(winapi::IsEncodedNtAcl(Bytes(blob.begin(), blob.end() - 4), sd));
    EXPECT_FALSE(winapi::IsEncodedNtAcl(Hex(kSambaV2), Hex(kBareSd))) << "another version of the same descriptor";
    EXPECT_TRUE(winapi::IsEncodedNtAcl(Hex(kSambaV1), Hex(kBareSd)));
}

TEST(DecodeNtAcl, ReadsEveryVersionSambaWrites) {
    for (const char* blob : {kSambaV1, kSambaV2, kSambaV3, kSambaV4}) {
        Bytes sd;
        ASSERT_EQ(Decode(Hex(blob), &sd), static_cast<DWORD>(ERROR_SUCCESS)) << blob;
        EXPECT_EQ(SddlOf(sd), kRecordedSddl);
        EXPECT_EQ(sd.size(), Hex(kBareSd).size()) << "the descriptor alone, without hashes or padding";
    }
}

TEST(DecodeNtAcl, RoundTripsWhatWeWrite) {
    for (const std::wstring sddl :
         {L"O:BAG:SYD:PAI(A;OICI;FA;;;WD)(D;;WD;;;BU)S:AI(AU;IDSA;FA;;;WD)", L"O:SYG:SYD:NO_ACCESS_CONTROL",
          L"O:BAG:SYD:", L"D:AI(A;ID;FR;;;S-1-22-1-1000)"}) {
        EXPECT_EQ(DecodedSddl(winapi::EncodeNtAcl(SdFromSddl(sddl))), sddl);
    }
}

TEST(DecodeNtAcl, EveryTruncationIsAnErrorNotAnOverRead) {
    for (const char* hex : {kSambaV1, kSambaV2, kSambaV3, kSambaV4}) {
        const Bytes blob = Hex(hex);
        for (size_t cut = 0; cut < blob.size(); ++cut) {
            Bytes sd;
            EXPECT_EQ(Decode(Bytes(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(cut)), &sd),
                      static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR))
                << "version " << int(blob[0]) << " cut at " << cut;
        }
    }
}

// A walk's reads keep their recent decodes: a kept one serves only the same
// attribute bytes, and a damaged attribute is refused every time.
TEST(RecentNtAcls, DecodeAsDecodeNtAclDoesInAnyOrder) {
    std::vector<Bytes> blobs;
    for (const char* hex : {kSambaV1, kSambaV2, kSambaV3, kSambaV4}) blobs.push_back(Hex(hex));
    for (const wchar_t* sddl : {L"O:BAG:SYD:(A;;FA;;;WD)", L"O:BAG:SYD:(A;;FR;;;WD)", L"D:AI(A;ID;FR;;;BU)"})
        blobs.push_back(winapi::EncodeNtAcl(SdFromSddl(sddl)));
    Bytes damaged = blobs[0];
    damaged[0] = 5;
    blobs.push_back(damaged);
    blobs.push_back(Bytes());
    winapi::RecentNtAcls recent;
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < blobs.size(); ++i) {
            const Bytes& blob = blobs[round == 1 ? blobs.size() - 1 - i : i];
            Bytes expected, kept = {0xEE};
            const DWORD status = winapi::DecodeNtAcl(blob.data(), blob.size(), &expected);
            EXPECT_EQ(recent.Decode(blob, &kept), status) << "blob " << i << " round " << round;
            if (status == ERROR_SUCCESS) {
                EXPECT_EQ(kept, expected) << "blob " << i << " round " << round;
            }
        }
    }
}

TEST(DecodeNtAcl, DamagedHeadersAreRefused) {
    auto damaged = [](const char* hex, size_t at, BYTE value) {
        Bytes blob = Hex(hex);
        blob[at] = value;
        return blob;
    };
    Bytes sd = {0xEE};
    const DWORD bad = ERROR_INVALID_SECURITY_DESCR;
    EXPECT_EQ(Decode(damaged(kSambaV1, 0, 5), &sd), bad) << "unknown version";
    EXPECT_EQ(Decode(damaged(kSambaV1, 0, 0), &sd), bad) << "version 0";
    EXPECT_EQ(Decode(damaged(kSambaV1, 2, 2), &sd), bad) << "level differs from version";
    EXPECT_EQ(Decode(damaged(kSambaV1, 6, 0), &sd), bad) << "no body";
    Bytes noDescriptor = Hex(kSambaV2);
    std::fill(noDescriptor.begin() + 8, noDescriptor.begin() + 12, 0);
    EXPECT_EQ(Decode(noDescriptor, &sd), bad) << "no descriptor in the body";
    EXPECT_EQ(Decode(damaged(kSambaV1, 8 + 4, 0x04), &sd), bad) << "owner offset into the attribute header";
    EXPECT_EQ(Decode(damaged(kSambaV2, 28 + 4, 0x10), &sd), bad) << "owner offset into the hash";
    EXPECT_EQ(Decode(damaged(kSambaV1, 8 + 16, 0xF8), &sd), bad) << "DACL offset past the end";
    EXPECT_EQ(Decode(damaged(kSambaV1, 0x2c + 1, 0x7F), &sd), bad) << "group SID with 127 sub-authorities";
    EXPECT_EQ(sd, Bytes{0xEE}) << "a failed read must not produce a descriptor";
    EXPECT_EQ(winapi::DecodeNtAcl(nullptr, 0, &sd), bad);

    // Version 4 whose description never ends.
    Bytes unterminated = Hex(kSambaV4);
    for (size_t i = 78; i < unterminated.size(); ++i) {
        if (unterminated[i] == 0) unterminated[i] = 'x';
    }
    EXPECT_EQ(Decode(unterminated, &sd), bad);
}

// ---- against Samba itself -----------------------------------------------------------

const char* const kPython = "/usr/bin/python3";

bool SambaAvailable() {
    const std::string command = std::string(kPython) + " -c 'from samba.dcerpc import xattr, security' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

std::string RunPython(const std::string& script, const std::string& argument) {
    char path[] = "/tmp/tavrik_ntacl_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return {};
    {
        std::ofstream out(path);
        out << script;
    }
    const std::string command = std::string(kPython) + " " + path + " " + argument + " 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::array<char, 4096> buffer{};
        while (fgets(buffer.data(), buffer.size(), pipe)) output += buffer.data();
        pclose(pipe);
    }
    ::close(fd);
    std::remove(path);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    return output;
}

std::string ToHex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (BYTE b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

const std::vector<std::wstring> kSambaCases = {
    L"O:BAG:SYD:PAI(A;OICI;FA;;;WD)(D;;WD;;;BU)S:AI(AU;IDSA;FA;;;WD)",
    L"O:S-1-22-1-1000G:S-1-22-2-100D:AI(A;ID;FR;;;S-1-22-1-1000)(A;OICIIOID;GA;;;CO)",
    L"O:SYG:SYD:NO_ACCESS_CONTROL",
    L"O:BAG:SYD:",
};

TEST(NtAclWithSamba, SambaReadsWhatWeWrite) {
    if (!SambaAvailable()) GTEST_SKIP() << "python3-samba is not installed";
    const std::string script =
        "import sys\n"
        "from samba.ndr import ndr_unpack, ndr_pack\n"
        "from samba.dcerpc import xattr, security\n"
        "blob = ndr_unpack(xattr.NTACL, bytes.fromhex(sys.argv[1]))\n"
        "print(blob.version, ndr_pack(blob.info).hex())\n";
    for (const std::wstring& sddl : kSambaCases) {
        const Bytes sd = SdFromSddl(sddl);
        const std::string output = RunPython(script, ToHex(winapi::EncodeNtAcl(sd)));
        ASSERT_EQ(output.substr(0, 2), "1 ") << output;
        // Samba repacks the descriptor bare (offsets from its own start).
        EXPECT_EQ(SddlOf(Hex(output.substr(2))), sddl);
    }
}

TEST(NtAclWithSamba, WeReadEveryVersionSambaWrites) {
    if (!SambaAvailable()) GTEST_SKIP() << "python3-samba is not installed";
    const std::string script =
        "import sys\n"
        "from samba.ndr import ndr_unpack, ndr_pack\n"
        "from samba.dcerpc import xattr, security\n"
        "sd = ndr_unpack(security.descriptor, bytes.fromhex(sys.argv[1]))\n"
        "for v, desc in ((1, ''), (2, ''), (3, ''), (4, ''), (4, 'a'), (4, 'ab'), (4, 'abc'), (4, 'posix_acl')):\n"
        "    if v == 1:\n"
        "        info = sd\n"
        "    elif v == 2:\n"
        "        info = xattr.security_descriptor_hash_v2(); info.sd = sd; info.hash = [7] * 16\n"
        "    else:\n"
        "        info = (xattr.security_descriptor_hash_v3 if v == 3 else xattr.security_descriptor_hash_v4)()\n"
        "        info.sd = sd; info.hash_type = 1; info.hash = [9] * 64\n"
        "        if v == 4:\n"
        "            info.description = desc; info.time = 123456789; info.sys_acl_hash = [5] * 64\n"
        "    blob = xattr.NTACL(); blob.version = v; blob.info = info\n"
        "    print(ndr_pack(blob).hex())\n";
    for (const std::wstring& sddl : kSambaCases) {
        const std::string output = RunPython(script, ToHex(SdFromSddl(sddl)));
        size_t lines = 0, start = 0;
        while (start < output.size()) {
            size_t end = output.find('\n', start);
            if (end == std::string::npos) end = output.size();
            EXPECT_EQ(DecodedSddl(Hex(output.substr(start, end - start))), sddl) << output.substr(start, end - start);
            ++lines;
            start = end + 1;
        }
        EXPECT_EQ(lines, 8u) << output;
    }
}

}  // namespace
