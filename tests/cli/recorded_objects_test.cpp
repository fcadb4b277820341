#include "cli/recorded_objects.h"

#include <gtest/gtest.h>

#include <string>

namespace tavrik::cli {
namespace {

std::wstring Name(int i) { return L"\\\\?\\C:\\data\\dir" + std::to_wstring(i / 100) + L"\\file" + std::to_wstring(i); }

// Enough objects that most fingerprints have moved from the batch into the
// sorted part: both must answer, and erasing must work in both.
TEST(RecordedObjects, EachObjectIsNewOnceAcrossBatchesUntilErased) {
    RecordedObjects set;
    constexpr int kObjects = 10000;
    for (int i = 0; i < kObjects; ++i) ASSERT_TRUE(set.Insert(1, Name(i))) << i;
    for (int i = 0; i < kObjects; ++i) ASSERT_FALSE(set.Insert(1, Name(i))) << i;
    EXPECT_TRUE(set.Insert(4, Name(7))) << "the same name as another type of object is another object";

    set.Erase(1, Name(3));             // in the sorted part
    set.Erase(1, Name(kObjects - 1));  // in the batch not merged yet
    EXPECT_TRUE(set.Insert(1, Name(3)));
    EXPECT_TRUE(set.Insert(1, Name(kObjects - 1)));
    EXPECT_FALSE(set.Insert(1, Name(4)));

    set.Clear();
    EXPECT_TRUE(set.Insert(1, Name(4)));
}

}  // namespace
}  // namespace tavrik::cli
