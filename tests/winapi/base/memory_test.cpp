// LocalAlloc blocks: whatever the layer keeps of blocks given back, a new
// block is the caller's alone and starts as the flags say.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "winapi/win32.h"

namespace {

TEST(LocalMemory, EachBlockIsTheCallersAloneAndZeroedWhenAskedFor) {
    // Sizes around the large blocks of a walk's SDDL texts, freed and asked
    // for again in turn, each filled so that a shared or stale block shows.
    for (SIZE_T bytes : {SIZE_T{0}, SIZE_T{16}, SIZE_T{1000}, SIZE_T{1024}, SIZE_T{2600}, SIZE_T{2700},
                         SIZE_T{5000}, SIZE_T{20000}}) {
        HLOCAL freed = LocalAlloc(LMEM_FIXED, bytes ? bytes : 1);
        ASSERT_NE(freed, nullptr);
        std::memset(freed, 0xAB, bytes ? bytes : 1);
        EXPECT_EQ(LocalFree(freed), nullptr);

        auto* zeroed = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, bytes));
        auto* other = static_cast<unsigned char*>(LocalAlloc(LMEM_FIXED, bytes));
        ASSERT_NE(zeroed, nullptr) << bytes;
        ASSERT_NE(other, nullptr) << bytes;
        EXPECT_NE(zeroed, other) << bytes;
        EXPECT_EQ(std::vector<unsigned char>(zeroed, zeroed + bytes), std::vector<unsigned char>(bytes, 0)) << bytes;
        std::memset(other, 0x5A, bytes);
        EXPECT_EQ(std::vector<unsigned char>(zeroed, zeroed + bytes), std::vector<unsigned char>(bytes, 0)) << bytes;
        LocalFree(zeroed);
        LocalFree(other);
    }
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

}  // namespace
