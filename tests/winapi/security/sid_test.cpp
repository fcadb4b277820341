// Binary SIDs through the Win32 calls: layout, validation, copy, compare.
#include <gtest/gtest.h>

#include "support/security_bytes.h"
#include "winapi/win32.h"

using namespace tavrik::test;

TEST(Sid, InitializeBuildsWindowsLayout) {
    SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, 5}};
    Bytes sid(GetSidLengthRequired(2));
    ASSERT_EQ(sid.size(), 16u);
    ASSERT_TRUE(InitializeSid(Sid(sid), &nt, 2));
    *GetSidSubAuthority(Sid(sid), 0) = 32;
    *GetSidSubAuthority(Sid(sid), 1) = 544;
    EXPECT_EQ(sid, Hex("01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00"));
    EXPECT_EQ(*GetSidSubAuthorityCount(Sid(sid)), 2);
    EXPECT_EQ(GetLengthSid(Sid(sid)), 16u);
    EXPECT_TRUE(IsValidSid(Sid(sid)));
}

TEST(Sid, SubAuthorityOutsideTheSidIsRefused) {
    Bytes sid = Administrators();
    SetLastError(0);
    EXPECT_EQ(GetSidSubAuthority(Sid(sid), 2), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, 5}};
    Bytes big(GetSidLengthRequired(16));
    EXPECT_FALSE(InitializeSid(Sid(big), &nt, 16));
}

TEST(Sid, StructuralValidity) {
    Bytes good = MakeSid(5, {21, 1, 2, 3, 1001});
    EXPECT_TRUE(IsValidSid(Sid(good)));
    Bytes badRevision = good;
    badRevision[0] = 2;
    EXPECT_FALSE(IsValidSid(Sid(badRevision)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    Bytes tooMany(8 + 4 * 16, 0);
    tooMany[0] = 1;
    tooMany[1] = 16;
    EXPECT_FALSE(IsValidSid(Sid(tooMany)));
    EXPECT_FALSE(IsValidSid(nullptr));
    Bytes noSubs = MakeSid(1, {});
    EXPECT_TRUE(IsValidSid(Sid(noSubs)));
    EXPECT_EQ(GetLengthSid(Sid(noSubs)), 8u);
}

TEST(Sid, CopyNeedsRoomForTheWholeSid) {
    Bytes source = MakeSid(5, {21, 10, 20, 30, 500});
    Bytes target(source.size() - 1, 0xcc);
    EXPECT_FALSE(CopySid(static_cast<DWORD>(target.size()), Sid(target), Sid(source)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(target, Bytes(source.size() - 1, 0xcc)) << "a failed copy must not write";

    target.assign(source.size(), 0);
    ASSERT_TRUE(CopySid(static_cast<DWORD>(target.size()), Sid(target), Sid(source)));
    EXPECT_EQ(target, source);

    Bytes damaged = source;
    damaged[1] = 40;
    EXPECT_FALSE(CopySid(static_cast<DWORD>(target.size()), Sid(target), Sid(damaged)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
}

TEST(Sid, EqualityComparesEveryPart) {
    Bytes a = Administrators();
    Bytes same = Administrators();
    Bytes users = Users();
    Bytes prefix = MakeSid(5, {32});
    Bytes otherAuthority = MakeSid(4, {32, 544});
    EXPECT_TRUE(EqualSid(Sid(a), Sid(same)));
    SetLastError(ERROR_INVALID_SID);
    EXPECT_FALSE(EqualSid(Sid(a), Sid(users)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "unequal is not an error";
    EXPECT_FALSE(EqualSid(Sid(a), Sid(prefix)));
    EXPECT_FALSE(EqualSid(Sid(a), Sid(otherAuthority)));

    Bytes damaged = a;
    damaged[0] = 3;
    EXPECT_FALSE(EqualSid(Sid(damaged), Sid(damaged)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
}
