// --json end to end: every line on stdout is one JSON object, read back
// here with nlohmann-json, and the text output is left alone without it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Every line of `out` parsed; a line that is not JSON fails the test.
std::vector<json> Records(const std::string& out) {
    std::vector<json> records;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        json record = json::parse(line, nullptr, false);
        EXPECT_TRUE(record.is_object()) << "not a JSON object: " << line;
        if (record.is_object()) records.push_back(std::move(record));
    }
    return records;
}

std::vector<json> OfKind(const std::vector<json>& records, const std::string& kind) {
    std::vector<json> out;
    for (const auto& r : records)
        if (r.value("record", "") == kind) out.push_back(r);
    return out;
}

// The first DACL entry of `sid` among `descriptor`'s (the first explicit
// one with `explicitOnly`), or null.
json EntryOf(const json& descriptor, const std::string& sid, bool explicitOnly = false) {
    for (const auto& e : descriptor["dacl"]["entries"])
        if (e["trustee"]["sid"] == sid && !(explicitOnly && e["inherited"] == true)) return e;
    return nullptr;
}

class JsonOutput : public ::testing::Test {
protected:
    JsonOutput() {
        fs::create_directories(machine.DriveC() + "/data/sub");
        std::ofstream(machine.DriveC() + "/data/report.txt") << "figures";
        std::ofstream(machine.DriveC() + "/data/sub/notes.txt") << "notes";
    }
    CommandResult Run(const std::vector<std::string>& args) { return RunTavrik(args, machine.DatabasePath()); }
    TempMachine machine;
};

TEST_F(JsonOutput, ListPrintsOneObjectPerLineWithOwnerGroupControlAndEntries) {
    ASSERT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read_ex", "--inherit", "oi,ci"}).exitCode, 0);
    auto r = Run({"list", "C:\\data", "--recurse", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto records = Records(r.out);
    const auto objects = OfKind(records, "object");
    ASSERT_EQ(objects.size(), 4u) << r.out;
    ASSERT_EQ(records.back()["record"], "summary");
    EXPECT_EQ(records.back()["exit_status"], 0);
    EXPECT_EQ(records.back()["objects"], 4);

    const json& top = objects.front();
    EXPECT_EQ(top["object"], "\\\\?\\C:\\data");
    EXPECT_EQ(top["type"], "file");
    EXPECT_TRUE(top["owner"]["sid"].get<std::string>().rfind("S-1-", 0) == 0);
    EXPECT_TRUE(top["group"].contains("name"));
    EXPECT_TRUE(top["control"]["words"].is_array());
    const json users = EntryOf(top, "S-1-5-32-545");
    ASSERT_TRUE(users.is_object()) << top.dump();
    EXPECT_EQ(users["trustee"]["name"], "BUILTIN\\Users");
    EXPECT_EQ(users["type"], "allow");
    EXPECT_EQ(users["mask"], 0x1200a9);
    EXPECT_EQ(users["rights"], json::array({"read_execute"}));
    EXPECT_EQ(users["flags"], json::array({"object_inherit", "container_inherit"}));
    EXPECT_EQ(users["inherited"], false);
    // Below, the same entry arrives inherited.
    const json below = EntryOf(objects.back(), "S-1-5-32-545");
    ASSERT_TRUE(below.is_object()) << objects.back().dump();
    EXPECT_EQ(below["inherited"], true);
    EXPECT_NE(std::find(below["flags"].begin(), below["flags"].end(), "inherited"), below["flags"].end());
    // Text lines went to stderr, none to stdout.
    EXPECT_NE(r.err.find("Tavrik finished successfully"), std::string::npos) << r.err;

    // --what still chooses the parts; --explicit drops inherited entries.
    auto dacl = Records(Run({"list", "C:\\data\\report.txt", "--json", "--what", "dacl", "--explicit"}).out);
    ASSERT_FALSE(dacl.empty());
    EXPECT_FALSE(dacl[0].contains("owner"));
    EXPECT_TRUE(EntryOf(dacl[0], "S-1-5-32-545").is_null()) << dacl[0].dump();
}

TEST_F(JsonOutput, NamesWithControlCharactersAndNonAsciiReadBackExactly) {
    const std::string name = "Gr\xC3\xBC\xC3\x9F\t'e', \xF0\x9F\x93\x81";
    std::ofstream(machine.DriveC() + "/data/" + name) << "x";
    auto r = Run({"list", "C:\\data\\" + name, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto objects = OfKind(Records(r.out), "object");
    ASSERT_EQ(objects.size(), 1u) << r.out;
    EXPECT_EQ(objects[0]["object"], "\\\\?\\C:\\data\\" + name);
    // Plain ASCII on the wire, whatever the console's encoding.
    for (unsigned char c : r.out) EXPECT_LT(c, 0x80);
}

TEST_F(JsonOutput, ChangesCarryBeforeAndAfterAndDryRunsChangeNothing) {
    auto dry = Run({"grant", "C:\\data\\report.txt", "BUILTIN\\Users", "read", "--json", "--dry-run"});
    ASSERT_EQ(dry.exitCode, 0) << dry.err;
    auto changes = OfKind(Records(dry.out), "change");
    ASSERT_EQ(changes.size(), 1u) << dry.out;
    EXPECT_EQ(changes[0]["dry_run"], true);
    EXPECT_EQ(changes[0]["changed"], true);
    EXPECT_TRUE(EntryOf(changes[0]["before"], "S-1-5-32-545").is_null());
    EXPECT_FALSE(EntryOf(changes[0]["after"], "S-1-5-32-545").is_null()) << changes[0].dump();
    auto listed = OfKind(Records(Run({"list", "C:\\data\\report.txt", "--json", "--explicit"}).out), "object");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(EntryOf(listed[0], "S-1-5-32-545").is_null()) << "the dry run changed the object";

    auto real = Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--recurse", "--json"});
    ASSERT_EQ(real.exitCode, 0) << real.err;
    const auto records = Records(real.out);
    changes = OfKind(records, "change");
    ASSERT_EQ(changes.size(), 4u) << real.out;
    for (const auto& change : changes) {
        EXPECT_EQ(change["dry_run"], false);
        EXPECT_TRUE(EntryOf(change["before"], "S-1-5-32-545", true).is_null()) << change.dump();
        const json added = EntryOf(change["after"], "S-1-5-32-545", true);
        ASSERT_FALSE(added.is_null()) << change.dump();
        EXPECT_EQ(added["rights"], json::array({"read"}));
    }
    EXPECT_EQ(OfKind(records, "summary").size(), 1u);
}

TEST_F(JsonOutput, ErrorsCarryReturnCodeAndSystemError) {
    // A job that fails: the code that stopped it, with its name.
    auto missing = Run({"list", "C:\\nothing-here", "--json"});
    ASSERT_NE(missing.exitCode, 0);
    auto errors = OfKind(Records(missing.out), "error");
    ASSERT_EQ(errors.size(), 1u) << missing.out;
    EXPECT_EQ(errors[0]["return_code"], missing.exitCode);
    EXPECT_FALSE(errors[0]["return_code_name"].get<std::string>().empty());
    EXPECT_EQ(OfKind(Records(missing.out), "summary")[0]["exit_status"], missing.exitCode);

    // An object the job passes over: the step's code and the system error.
    winapi::machine::InjectFault("SetNamedSecurityInfoW", ERROR_ACCESS_DENIED, -1, L"\\\\?\\C:\\data\\report.txt");
    auto denied = Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--recurse", "--json"});
    EXPECT_EQ(denied.exitCode, 1) << denied.err;
    const auto records = Records(denied.out);
    errors = OfKind(records, "error");
    ASSERT_EQ(errors.size(), 1u) << denied.out;
    EXPECT_EQ(errors[0]["object"], "\\\\?\\C:\\data\\report.txt");
    EXPECT_EQ(errors[0]["return_code_name"], "WRITE_SD_FAILED");
    EXPECT_EQ(errors[0]["os_error"], ERROR_ACCESS_DENIED);
    EXPECT_EQ(errors[0]["os_error_text"], "Access is denied.");
    EXPECT_EQ(OfKind(records, "change").size(), 3u);
    EXPECT_EQ(OfKind(records, "summary")[0]["objects_not_processed"], 1);
}

}  // namespace
}  // namespace tavrik::test

namespace tavrik::test {
namespace {

TEST_F(JsonOutput, VerifyGivesEachObjectItsVerdictAndWhatDiffers) {
    const std::string backup = machine.Folder() + "/data.bak";
    ASSERT_EQ(Run({"grant", "C:\\data", "BUILTIN\\Users", "read", "--inherit", "oi,ci"}).exitCode, 0);
    ASSERT_EQ(Run({"grant", "C:\\data\\sub", "Guest", "read", "--inherit", "none"}).exitCode, 0);
    ASSERT_EQ(Run({"backup", "C:\\data", backup, "--recurse"}).exitCode, 0);
    ASSERT_EQ(Run({"grant", "C:\\data\\report.txt", "Guest", "write", "--inherit", "none"}).exitCode, 0);
    ASSERT_EQ(Run({"set", "C:\\data\\sub", "Guest", "change", "--inherit", "none"}).exitCode, 0);
    ASSERT_EQ(Run({"owner", "C:\\data\\sub", "BUILTIN\\Administrators"}).exitCode, 0);
    fs::remove(machine.DriveC() + "/data/sub/notes.txt");

    auto r = Run({"verify", backup, "--json"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const auto records = Records(r.out);
    std::map<std::string, json> verdicts;
    for (const auto& v : OfKind(records, "verify")) verdicts[v["object"]] = v;
    ASSERT_EQ(verdicts.size(), 4u) << r.out;
    EXPECT_EQ(verdicts["\\\\?\\C:\\data"]["verdict"], "same");
    EXPECT_FALSE(verdicts["\\\\?\\C:\\data"].contains("differences"));
    EXPECT_EQ(verdicts["\\\\?\\C:\\data\\sub\\notes.txt"]["verdict"], "missing");

    const json report = verdicts["\\\\?\\C:\\data\\report.txt"];
    EXPECT_EQ(report["verdict"], "differs");
    EXPECT_EQ(report["type"], "file");
    ASSERT_EQ(report["differences"]["entries"].size(), 1u) << report.dump();
    const json added = report["differences"]["entries"][0];
    EXPECT_EQ(added["change"], "added");
    EXPECT_EQ(added["acl"], "dacl");
    EXPECT_TRUE(added["before"].is_null());
    EXPECT_EQ(added["after"]["trustee"]["name"], "TESTPC\\Guest");
    EXPECT_EQ(added["after"]["type"], "allow");
    EXPECT_EQ(added["after"]["rights"], json::array({"write"}));
    EXPECT_EQ(added["after"]["flags"], json::array());
    EXPECT_EQ(added["after"]["inherited"], false);
    EXPECT_FALSE(report["differences"].contains("owner"));

    const json sub = verdicts["\\\\?\\C:\\data\\sub"]["differences"];
    EXPECT_EQ(sub["owner"]["after"], "BUILTIN\\Administrators") << sub.dump();
    EXPECT_EQ(sub["owner"]["after_sddl"], "BA");
    ASSERT_EQ(sub["entries"].size(), 1u) << sub.dump();
    EXPECT_EQ(sub["entries"][0]["change"], "rights_changed");
    EXPECT_EQ(sub["entries"][0]["before"]["rights"], json::array({"read"}));
    EXPECT_EQ(sub["entries"][0]["after"]["rights"], json::array({"change"}));
    EXPECT_EQ(sub["entries"][0]["after"]["trustee"]["name"], "TESTPC\\Guest");
    EXPECT_EQ(sub["entries"][0]["after"]["sddl"], "(A;;0x1301bf;;;LG)");

    const json summary = records.back();
    EXPECT_EQ(summary["record"], "summary");
    EXPECT_EQ(summary["exit_status"], 1);
    EXPECT_EQ(summary["same"], 1);
    EXPECT_EQ(summary["differ"], 2);
    EXPECT_EQ(summary["missing"], 1);

    // A verify that finds everything the same exits with 0, and says so.
    ASSERT_EQ(Run({"restore", backup, "--quiet"}).exitCode, 1) << "the missing file is named";
    std::ofstream(machine.DriveC() + "/data/sub/notes.txt") << "notes";
    ASSERT_EQ(Run({"restore", backup, "--quiet"}).exitCode, 0);
    r = Run({"verify", backup, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(OfKind(Records(r.out), "verify").size(), 4u);
    EXPECT_EQ(Records(r.out).back()["exit_status"], 0);
}

TEST_F(JsonOutput, ARunThatListsPrintsItsListingAsJsonToo) {
    auto r = Run({"run", "C:\\data", "--recurse", "--grant", "BUILTIN\\Users:read:oi,ci", "--list", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto records = Records(r.out);
    EXPECT_EQ(OfKind(records, "change").size(), 4u) << r.out;
    const auto objects = OfKind(records, "object");
    ASSERT_EQ(objects.size(), 4u) << r.out;
    // What `list --json` shows: owner, group and DACL with the new entry.
    EXPECT_EQ(objects[0]["object"], "\\\\?\\C:\\data");
    EXPECT_TRUE(objects[0]["owner"].is_object());
    EXPECT_TRUE(objects[0]["group"].is_object());
    EXPECT_EQ(EntryOf(objects[0], "S-1-5-32-545", true)["rights"], json::array({"read"}));
    EXPECT_EQ(records.back()["record"], "summary");

    // --format json alone asks for the same.
    r = Run({"run", "C:\\data", "--list", "--format", "json", "--what", "dacl"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto listed = OfKind(Records(r.out), "object");
    ASSERT_EQ(listed.size(), 1u) << r.out;
    EXPECT_FALSE(listed[0].contains("owner"));
}

}  // namespace
}  // namespace tavrik::test
