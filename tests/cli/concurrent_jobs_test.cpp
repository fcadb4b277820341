// Two jobs writing the same tree at the same time: each object's descriptor
// is read, changed and written back by both, and neither change is lost,
// the walk's root (which both read first, at once) and its directories
// included.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

TEST(ConcurrentJobs, TwoGrantsOfOneTreeAtOnceLoseNoEntry) {
    TempMachine machine;
    const std::string root = machine.DriveC() + "/shared";
    for (int d = 0; d < 8; ++d) {
        const std::string dir = root + "/d" + std::to_string(d);
        fs::create_directories(dir);
        for (int f = 0; f < 40; ++f) std::ofstream(dir + "/f" + std::to_string(f)) << f;
    }
    auto grant = [&](const std::string& trustee) {
        return std::async(std::launch::async, [&machine, trustee] {
            return RunTavrik({"grant", "C:\\shared", trustee, "read_ex", "--recurse", "--no-undo", "--quiet"},
                             machine.DatabasePath());
        });
    };
    // The first pair writes objects without a stored descriptor, the second
    // objects holding one; both walk the tree in the same order, so they
    // meet on the same objects again and again.
    const std::pair<std::string, std::string> rounds[] = {{"BUILTIN\\Users", "BUILTIN\\Guests"},
                                                          {"BUILTIN\\Power Users", "BUILTIN\\Backup Operators"}};
    const std::pair<const char*, const char*> entries[] = {{";;;BU)", ";;;BG)"}, {";;;PU)", ";;;BO)"}};
    for (size_t round = 0; round < 2; ++round) {
        auto first = grant(rounds[round].first);
        auto second = grant(rounds[round].second);
        const CommandResult a = first.get(), b = second.get();
        ASSERT_EQ(a.exitCode, 0) << a.out << a.err;
        ASSERT_EQ(b.exitCode, 0) << b.out << b.err;
        const auto descriptors = ListDescriptors("C:\\shared", "dacl", machine.DatabasePath());
        ASSERT_EQ(descriptors.size(), 1u + 8 * 41);
        int lost = 0;
        for (const auto& [name, dacl] : descriptors) {
            for (size_t upTo = 0; upTo <= round; ++upTo) {
                for (const char* entry : {entries[upTo].first, entries[upTo].second}) {
                    if (dacl.find(entry) == std::string::npos && ++lost <= 5) {
                        ADD_FAILURE() << name << " lost " << entry << ": " << dacl;
                    }
                }
            }
        }
        EXPECT_EQ(lost, 0) << "round " << round;
    }
}

}  // namespace
}  // namespace tavrik::test
