// The handle table: values stay with their objects however handles are
// opened and closed around them, and a closed value never comes back.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <vector>

#include "winapi/base/handles.h"
#include "winapi/win32.h"

namespace {

struct Counted : winapi::HandleObject {
    explicit Counted(int id, int* destroyed) : id(id), destroyed(destroyed) {}
    ~Counted() override { ++*destroyed; }
    int id;
    int* destroyed;
};

struct Described : winapi::SecuredHandle {
    DWORD ReadSecurity(SECURITY_INFORMATION, std::vector<BYTE>*) override { return ERROR_SUCCESS; }
};

// Thousands of handles through a table of a few dozen open ones, closed in
// a shuffled order while others open: new values meet the slots of the
// ones that stay open long, and closing those leaves holes inside runs.
TEST(HandleTable, EveryOpenHandleFindsItsObjectAndClosedOnesStayClosed) {
    std::mt19937 random(16);
    int destroyed = 0;
    std::vector<std::pair<HANDLE, int>> open;
    std::vector<HANDLE> closed;
    std::set<HANDLE> everGiven;
    int made = 0;
    for (int round = 0; round < 6000; ++round) {
        const bool close = open.size() > 40 || (!open.empty() && random() % 2 == 0);
        if (close) {
            const size_t at = random() % open.size();
            ASSERT_TRUE(CloseHandle(open[at].first));
            closed.push_back(open[at].first);
            open.erase(open.begin() + static_cast<std::ptrdiff_t>(at));
        } else {
            HANDLE handle = winapi::RegisterHandle(std::make_unique<Counted>(made, &destroyed));
            ASSERT_NE(handle, nullptr);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            ASSERT_TRUE(everGiven.insert(handle).second) << "a value was given out twice";
            open.emplace_back(handle, made++);
        }
        if (round % 97 == 0 || round > 5900) {
            for (const auto& [handle, id] : open) {
                auto* object = winapi::LookupHandleAs<Counted>(handle);
                ASSERT_NE(object, nullptr) << round;
                ASSERT_EQ(object->id, id) << round;
            }
            for (HANDLE handle : closed) ASSERT_EQ(winapi::LookupHandle(handle), nullptr) << round;
        }
    }
    EXPECT_EQ(destroyed, static_cast<int>(closed.size()));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(closed.front()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (const auto& entry : open) EXPECT_TRUE(CloseHandle(entry.first));
    EXPECT_EQ(destroyed, made);
}

TEST(HandleTable, AHandleIsFoundOnlyAsATypeItHas) {
    int destroyed = 0;
    HANDLE plain = winapi::RegisterHandle(std::make_unique<Counted>(1, &destroyed));
    HANDLE described = winapi::RegisterHandle(std::make_unique<Described>());
    EXPECT_EQ(winapi::LookupHandleAs<winapi::SecuredHandle>(plain), nullptr);
    EXPECT_EQ(winapi::LookupHandleAs<Described>(plain), nullptr);
    EXPECT_NE(winapi::LookupHandleAs<winapi::SecuredHandle>(described), nullptr);
    EXPECT_NE(winapi::LookupHandleAs<Described>(described), nullptr);
    EXPECT_NE(winapi::LookupHandleAs<winapi::HandleObject>(described), nullptr);
    EXPECT_EQ(winapi::LookupHandleAs<Counted>(described), nullptr);
    EXPECT_EQ(winapi::LookupHandleAs<Counted>(nullptr), nullptr);
    EXPECT_TRUE(CloseHandle(plain));
    EXPECT_TRUE(CloseHandle(described));
    EXPECT_EQ(winapi::LookupHandleAs<winapi::SecuredHandle>(described), nullptr);
}

}  // namespace
