// Restores and undo files give back descriptors exactly: a record's
// inherited entries are taken from the parent once, and an undo file puts
// back every descriptor of a tree byte for byte, even after the job that
// wrote it was killed midway.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/run_tavrik.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"

extern char** environ;

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

using Tree = std::map<std::string, std::string>;

class UndoExactness : public ::testing::Test {
protected:
    UndoExactness() {
        fs::create_directories(machine.DriveC() + "/data/sub");
        std::ofstream(machine.DriveC() + "/data/report.txt") << "figures";
        std::ofstream(machine.DriveC() + "/data/sub/notes.txt") << "notes";
    }
    CommandResult Run(const std::vector<std::string>& args) { return RunTavrik(args, machine.DatabasePath()); }

    void Seed(const std::vector<std::pair<std::string, std::string>>& records) {
        std::string error;
        ASSERT_TRUE(SeedDescriptors(records, machine.DatabasePath(), machine.Folder(), &error)) << error;
    }
    // The whole descriptor (owner, group, DACL, SACL) of every object below
    // and including `root`, by name.
    Tree Descriptors(const std::string& root = "C:\\data") { return ListDescriptors(root, "all", machine.DatabasePath()); }

    // The SDDL a backup file holds for `name` (UTF-16LE records).
    static std::string RecordOf(const std::string& file, const std::string& name) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i];
        const std::string key = "\"\\\\?\\" + name + "\",1,\"";
        const auto at = text.find(key);
        if (at == std::string::npos) return "<no record>";
        const auto start = at + key.size();
        return text.substr(start, text.find("\"\r\n", start) - start) + "\"";
    }

    // The names a backup or undo file records, in order.
    static std::vector<std::string> RecordedNames(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i];
        std::vector<std::string> names;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("\"\\\\?\\", 0) == 0) names.push_back(line.substr(5, line.find("\",") - 5));
        }
        return names;
    }

    // What `restore FILE --dry-run --json` says each object would hold, by
    // its name in upper case (the layer names keys in its own case).
    std::map<std::string, nlohmann::json> PlannedByDryRun(const std::string& file) {
        std::map<std::string, nlohmann::json> planned;
        const CommandResult r = Run({"restore", file, "--dry-run", "--json"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            const auto record = nlohmann::json::parse(line);
            if (record["record"] == "change") planned[Upper(record["object"])] = record["after"];
        }
        return planned;
    }

    // Each object of `planned` holds what the dry run said it would: owner,
    // group and DACL, and the SACL where the records hold one.
    void ExpectHoldsAsPlanned(const std::map<std::string, nlohmann::json>& planned, const std::string& root,
                              bool withSacl) {
        const CommandResult r = Run({"list", root, "--recurse", "--json", "--what", "all", "--quiet"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::map<std::string, nlohmann::json> listed;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            const auto record = nlohmann::json::parse(line);
            if (record["record"] == "object") listed[Upper(record["object"])] = record;
        }
        ASSERT_FALSE(planned.empty());
        auto controlWords = [withSacl](const nlohmann::json& descriptor) {
            std::vector<std::string> words;
            for (const std::string word : descriptor["control"]["words"]) {
                if (word.rfind("dacl_", 0) == 0 || (withSacl && word.rfind("sacl_", 0) == 0)) words.push_back(word);
            }
            std::sort(words.begin(), words.end());
            return words;
        };
        for (const auto& [name, after] : planned) {
            SCOPED_TRACE(name);
            ASSERT_EQ(listed.count(name), 1u);
            const nlohmann::json& now = listed.at(name);
            for (const char* part : {"owner", "group", "dacl"}) {
                EXPECT_EQ(after.value(part, nlohmann::json()), now[part]) << part;
            }
            if (withSacl) {
                EXPECT_EQ(after.value("sacl", nlohmann::json()), now["sacl"]);
            }
            EXPECT_EQ(controlWords(after), controlWords(now));
        }
    }

    // Runs `job` (its object named below `top`) with `undoFile`, then puts
    // the file back: its dry run must say what the restore stores, the
    // restore must bring `top` back as it was, the undo of that restore the
    // job's state, and the file once more the state before. `asBefore`
    // checks what a descriptor text does not show, after each restore.
    void ExpectUndoneExactly(std::vector<std::string> job, const std::string& top, const std::string& undoFile,
                             const std::function<void()>& asBefore = [] {}) {
        const Tree before = Descriptors(top);
        const bool audit = job[0] == "audit";
        job.insert(job.end(), {"--undo", undoFile});
        auto r = Run(job);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Tree changed = Descriptors(top);
        ASSERT_NE(changed, before);
        const auto planned = PlannedByDryRun(undoFile);
        ASSERT_EQ(Descriptors(top), changed) << "a dry run changes nothing";
        r = Run({"restore", undoFile});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Descriptors(top), before);
        ExpectHoldsAsPlanned(planned, top, audit);
        asBefore();
        r = Run({"undo"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Descriptors(top), changed);
        r = Run({"restore", undoFile, "--no-undo"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Descriptors(top), before);
        asBefore();
    }

    static std::string Upper(std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
        return text;
    }

    TempMachine machine;
};

// Each entry of a DACL text once: "(A;OICIID;FA;;;BA)" twice is a fault.
bool HasDuplicateEntries(const std::string& sddl) {
    std::map<std::string, int> seen;
    for (size_t at = sddl.find('('); at != std::string::npos; at = sddl.find('(', at + 1)) {
        if (++seen[sddl.substr(at, sddl.find(')', at) - at + 1)] > 1) return true;
    }
    return false;
}

// Objects whose descriptors are stored, with inherited entries from the
// protected top.
const std::vector<std::pair<std::string, std::string>> kStoredTree = {
    {"C:\\data", "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
    {"C:\\data\\sub", "O:BAG:SYD:AI(A;;FR;;;BU)"},
    {"C:\\data\\sub\\notes.txt", "O:BAG:SYD:AI(A;;FR;;;WD)"},
    {"C:\\data\\report.txt", "O:BUG:SYD:AI"},
};

// The same tree below another top, by the part of each name below it.
const std::vector<std::pair<std::string, std::string>> kStoredTreeBelow = [] {
    std::vector<std::pair<std::string, std::string>> below;
    for (const auto& [name, sddl] : kStoredTree) below.emplace_back(name.substr(std::string("C:\\data").size()), sddl);
    return below;
}();

TEST_F(UndoExactness, ARecordsInheritedEntriesComeFromTheParentOnce) {
    Seed(kStoredTree);
    const std::string tree = machine.Folder() + "/tree.bak", sub = machine.Folder() + "/sub.bak";
    ASSERT_EQ(Run({"backup", "C:\\data", tree, "--recurse"}).exitCode, 0);
    ASSERT_EQ(Run({"backup", "C:\\data\\sub", sub}).exitCode, 0);
    const Tree before = Descriptors();
    const std::string saved = RecordOf(sub, "C:\\data\\sub");
    ASSERT_NE(saved.find("ID;FA;;;BA)"), std::string::npos) << saved;
    ASSERT_EQ(before.at("C:\\data\\sub"), saved);

    // The child changed, its inherited entries made explicit: the record
    // gives back the explicit part it holds and the parent the rest.
    ASSERT_EQ(Run({"grant", "C:\\data\\sub", "Guest", "read"}).exitCode, 0);
    ASSERT_EQ(Run({"protect", "C:\\data\\sub", "--dacl", "keep"}).exitCode, 0);
    ASSERT_EQ(Run({"restore", sub}).exitCode, 0);
    EXPECT_EQ(Descriptors(), before);

    // The parent changed: the inherited part is the parent's as it is now,
    // each entry once.
    ASSERT_EQ(Run({"grant", "C:\\data", "Guest", "read", "--inherit", "oi,ci"}).exitCode, 0);
    ASSERT_EQ(Run({"restore", sub}).exitCode, 0);
    const std::string now = Descriptors().at("C:\\data\\sub");
    EXPECT_FALSE(HasDuplicateEntries(now)) << now;
    EXPECT_NE(now.find("(A;OICIID;FR;;;LG)"), std::string::npos) << now;
    ASSERT_EQ(Run({"restore", tree}).exitCode, 0);
    EXPECT_EQ(Descriptors(), before);
}

TEST_F(UndoExactness, UndoGivesBackEveryDescriptorByteForByte) {
    Seed(kStoredTree);
    const Tree before = Descriptors();
    const struct {
        std::vector<std::string> args;
    } jobs[] = {
        {{"grant", "C:\\data", "BUILTIN\\Users", "change", "--inherit", "oi,ci", "--recurse"}},
        {{"deny", "C:\\data\\sub", "Guest", "write", "--inherit", "oi,ci", "--recurse"}},
        {{"owner", "C:\\data", "BUILTIN\\Users", "--recurse"}},
        {{"protect", "C:\\data\\sub", "--dacl", "remove"}},
        {{"reset-children", "C:\\data"}},
    };
    for (const auto& job : jobs) {
        SCOPED_TRACE(job.args[0]);
        auto r = Run(job.args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_NE(Descriptors(), before);
        r = Run({"undo"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Descriptors(), before);
    }
}

// Whether the object holds a stored descriptor, under either name a drive
// may use.
bool HasStoredDescriptor(const std::string& path) {
    for (const char* name : {"security.NTACL", "user.NTACL"}) {
        if (lgetxattr(path.c_str(), name, nullptr, 0) >= 0) return true;
    }
    return false;
}

void ClearStoredDescriptor(const std::string& path) {
    for (const char* name : {"security.NTACL", "user.NTACL"}) lremovexattr(path.c_str(), name);
}

// Objects that never had a stored descriptor read as their modes give. A
// job stores descriptors on them (on some only through what their
// directory hands down); undoing it, or restoring its undo file, takes
// every one back to no stored descriptor, so each lists as before and
// follows its mode again. The restore's own undo file takes the job's
// state back.
TEST_F(UndoExactness, ObjectsWithoutStoredDescriptorsGoBackToTheirModes) {
    fs::create_directories(machine.DriveC() + "/data/sub/deep");
    std::ofstream(machine.DriveC() + "/data/sub/deep/plan.txt") << "plan";
    fs::permissions(machine.DriveC() + "/data/sub", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    fs::permissions(machine.DriveC() + "/data/report.txt", fs::perms::owner_read | fs::perms::owner_write |
                                                               fs::perms::group_read);
    std::vector<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(machine.DriveC() + "/data")) {
        paths.push_back(entry.path().string());
    }
    paths.push_back(machine.DriveC() + "/data");
    for (const auto& path : paths) ASSERT_FALSE(HasStoredDescriptor(path)) << path;
    const Tree before = Descriptors();
    ASSERT_EQ(before.size(), paths.size());
    // What a file below gets from its directory when first written.
    auto grantedBelow = [&] {
        const std::string undoFile = machine.Folder() + "/below.undo";
        EXPECT_EQ(Run({"grant", "C:\\data\\sub\\notes.txt", "Guest", "read", "--undo", undoFile}).exitCode, 0);
        const std::string granted = Descriptors().at("C:\\data\\sub\\notes.txt");
        EXPECT_EQ(Run({"restore", undoFile, "--no-undo"}).exitCode, 0);
        return granted;
    };
    const std::string grantedBefore = grantedBelow();
    ASSERT_NE(grantedBefore.find("ID;"), std::string::npos) << grantedBefore;
    ASSERT_EQ(Descriptors(), before);

    // An owner or audit job stores the mode's DACL as it reads, not
    // auto-inherited; the restore's undo file puts that back as it stands.
    const std::vector<std::string> jobs[] = {
        {"grant", "C:\\data", "Guest", "read", "--recurse"},
        {"grant", "C:\\data", "Guest", "read", "--inherit", "oi,ci"},
        {"deny", "C:\\data\\sub", "Guest", "write", "--inherit", "oi,ci", "--recurse"},
        {"owner", "C:\\data", "Guest", "--recurse"},
        {"protect", "C:\\data\\sub", "--dacl", "keep"},
        {"revoke", "C:\\data", "Everyone", "--recurse"},
        {"audit", "C:\\data", "Guest", "read", "--recurse"},
    };
    for (size_t i = 0; i < std::size(jobs); ++i) {
        auto args = jobs[i];
        SCOPED_TRACE(args[0] + " " + args[1]);
        const std::string undoFile = machine.Folder() + "/job" + std::to_string(i) + ".undo";
        args.insert(args.end(), {"--undo", undoFile});
        auto r = Run(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Tree changed = Descriptors();
        ASSERT_NE(changed, before);
        // The restore keeps an undo file of its own, the newest one.
        r = Run({"restore", undoFile});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Descriptors(), before);
        for (const auto& path : paths) EXPECT_FALSE(HasStoredDescriptor(path)) << path;
        r = Run({"undo"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Descriptors(), changed);
        r = Run({"restore", undoFile, "--no-undo"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        ASSERT_EQ(Descriptors(), before);
    }
    // The directories hand down what they did before.
    EXPECT_EQ(grantedBelow(), grantedBefore);
    // Derived from the mode again: a chmod shows.
    fs::permissions(machine.DriveC() + "/data/report.txt", fs::perms::owner_read | fs::perms::owner_write);
    const std::string now = Descriptors().at("C:\\data\\report.txt");
    EXPECT_NE(now, before.at("C:\\data\\report.txt"));
    EXPECT_NE(now.find("(A;;;;;S-1-22-2-"), std::string::npos) << now;
}

// Records go back as they stand, whatever Windows' inheritance would make
// of them: a file with no stored descriptor below a directory with one
// keeps none, an object without a SACL gets none back (not an empty one),
// and a DACL stored without the auto-inherited flag does not take on its
// directory's entries. The restore's own undo file brings the job's state
// back the same way. Each case has a tree of its own, C:\caseN.
TEST_F(UndoExactness, RecordsGoBackAsTheyStand) {
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> seeds;  // below C:\X
        std::vector<std::string> job;
        bool unstoredBelow = false;  // only the top has a stored descriptor
        std::vector<std::string> setup;  // a job run first, not undone
    } cases[] = {
        {"no stored descriptor below a stored directory the job changes",
         {{"", "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"}},
         {"grant", "C:\\X", "Guest", "read", "--inherit", "oi,ci", "--recurse"},
         true,
         {}},
        {"no stored descriptor, a file's own job", {{"", "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"}},
         {"grant", "C:\\X\\report.txt", "Guest", "read"},
         true,
         {}},
        {"no SACL on stored descriptors", kStoredTreeBelow, {"audit", "C:\\X", "Guest", "read", "--recurse"}, false, {}},
        // An owner job stores the DACL a file's mode gives it as it reads,
        // without the flag.
        {"a stored DACL without the auto-inherited flag",
         {{"", "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"}},
         {"grant", "C:\\X\\sub", "Guest", "read", "--recurse"},
         true,
         {"owner", "C:\\X\\sub", "Guest", "--recurse"}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        const std::string top = "C:\\case" + std::to_string(i), dir = machine.DriveC() + "/case" + std::to_string(i);
        fs::create_directories(dir + "/sub");
        std::ofstream(dir + "/report.txt") << "figures";
        std::ofstream(dir + "/sub/notes.txt") << "notes";
        std::vector<std::pair<std::string, std::string>> seeds;
        for (const auto& [below, sddl] : cases[i].seeds) seeds.emplace_back(top + below, sddl);
        Seed(seeds);
        // Files put there since the directory was written: no descriptor
        // stored, none inherited.
        if (cases[i].unstoredBelow) {
            for (const char* path : {"/sub", "/sub/notes.txt", "/report.txt"}) ClearStoredDescriptor(dir + path);
        }
        if (!cases[i].setup.empty()) {
            auto setup = cases[i].setup;
            setup[1].replace(0, 4, top);
            setup.push_back("--no-undo");
            ASSERT_EQ(Run(setup).exitCode, 0);
        }
        std::map<std::string, bool> stored;
        for (const char* path : {"", "/sub", "/sub/notes.txt", "/report.txt"}) {
            stored[path] = HasStoredDescriptor(dir + path);
        }
        auto args = cases[i].job;
        args[1].replace(0, 4, top);
        ExpectUndoneExactly(args, top, machine.Folder() + "/case" + std::to_string(i) + ".undo", [&] {
            for (const auto& [path, had] : stored) EXPECT_EQ(HasStoredDescriptor(dir + path), had) << path;
        });
    }
}

// A job on a directory alone changes what lies below it too, through what
// the directory hands down. Those objects are recorded as they stand before
// the change, after the directory: stale and odd descriptors, objects
// without a SACL and objects without a stored descriptor, two levels down,
// all come back as they were, and the restore's own undo file brings the
// job's state back. Each case has a tree of its own, C:\treeN.
TEST_F(UndoExactness, ObjectsChangedOnlyThroughTheirDirectoryGoBackExactly) {
    // Stored as they stand (an undo file's records): one file holds a DACL
    // without the auto-inherited flag.
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"", "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
        {"\\sub", "O:BAG:SYD:AI(A;OICI;FR;;;BU)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)"},
        {"\\sub\\kept.txt", "O:BAG:SYD:AI(A;;FR;;;WD)(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FR;;;BU)"},
        {"\\sub\\deep", "O:BAG:SYD:AI(A;OICI;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;FR;;;BU)"},
        {"\\sub\\deep\\plain.txt", "O:BAG:SYD:(A;;FA;;;BA)"},
    };
    // Moved in from another directory: they keep what that one handed down.
    const std::vector<std::string> moved = {"\\stale.txt", "\\sub\\stale"};
    // Created since their directories were written: nothing stored.
    const std::vector<std::string> unstored = {"\\loose.txt", "\\sub\\loose.txt", "\\sub\\deep\\loose.txt",
                                               "\\sub\\bare", "\\sub\\bare\\loose.txt"};
    const struct {
        const char* what;
        std::vector<std::string> job;  // aimed at C:\X or below
        bool changesTheDirectory = true;
    } cases[] = {
        {"audit", {"audit", "C:\\X", "Guest", "read", "--inherit", "oi,ci"}},
        {"grant", {"grant", "C:\\X", "Guest", "read", "--inherit", "oi,ci"}},
        {"protect", {"protect", "C:\\X\\sub", "--dacl", "remove"}},
        {"recursive grant", {"grant", "C:\\X", "Guest", "read", "--inherit", "oi,ci", "--recurse"}},
        // The top keeps its descriptor; its write brings the stale objects
        // below up to date.
        {"the top's own grant again", {"grant", "C:\\X", "BUILTIN\\Administrators", "full", "--inherit", "oi,ci"}, false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        const std::string top = "C:\\tree" + std::to_string(i), dir = machine.DriveC() + "/tree" + std::to_string(i);
        const std::string elsewhere = machine.DriveC() + "/elsewhere" + std::to_string(i);
        auto pathOf = [&dir](std::string below) {
            std::replace(below.begin(), below.end(), '\\', '/');
            return dir + below;
        };
        auto create = [](const std::string& path) {
            if (path.find(".txt") == std::string::npos) {
                fs::create_directories(path);
            } else {
                std::ofstream(path) << path;
            }
        };
        fs::create_directories(elsewhere);
        for (const auto& [below, sddl] : seeds) create(pathOf(below));
        for (const auto& below : moved) create(elsewhere + "/" + below.substr(below.rfind('\\') + 1));
        {
            const std::string seedFile = machine.Folder() + "/exact-seed.undo";
            std::ofstream out(seedFile, std::ios::binary | std::ios::trunc);
            out << "\"tavrik undo file\",1,\"\"\r\n";
            out << "\"\\\\?\\C:\\elsewhere" << i << "\",1,\"O:BAG:SYD:PAI(A;OICI;FR;;;WD)\"\r\n";
            for (const auto& [below, sddl] : seeds) out << "\"\\\\?\\" << top << below << "\",1,\"" << sddl << "\"\r\n";
            out.close();
            ASSERT_EQ(Run({"restore", seedFile, "--no-undo", "--quiet"}).exitCode, 0);
        }
        for (const auto& below : moved) {
            const std::string from = elsewhere + "/" + below.substr(below.rfind('\\') + 1);
            ASSERT_TRUE(HasStoredDescriptor(from)) << from;
            fs::rename(from, pathOf(below));
        }
        for (const auto& below : unstored) create(pathOf(below));
        auto presence = [&] {
            std::map<std::string, bool> stored;
            for (const auto& [below, sddl] : seeds) stored[below] = HasStoredDescriptor(pathOf(below));
            for (const auto& below : moved) stored[below] = HasStoredDescriptor(pathOf(below));
            for (const auto& below : unstored) stored[below] = HasStoredDescriptor(pathOf(below));
            return stored;
        };
        const Tree before = Descriptors(top);
        const auto storedBefore = presence();
        ASSERT_EQ(before.size(), seeds.size() + moved.size() + unstored.size());
        ASSERT_NE(before.at(top + "\\stale.txt").find("(A;ID;FR;;;WD)"), std::string::npos);
        ASSERT_EQ(before.at(top + "\\sub\\deep\\plain.txt"), "O:BAG:SYD:(A;;FA;;;BA)\"");
        for (const auto& below : unstored) ASSERT_FALSE(storedBefore.at(below)) << below;

        auto args = cases[i].job;
        args[1].replace(0, 4, top);
        const std::string undoFile = machine.Folder() + "/tree" + std::to_string(i) + ".undo";
        args.insert(args.end(), {"--undo", undoFile});
        auto r = Run(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Tree changed = Descriptors(top);
        const auto storedChanged = presence();
        ASSERT_NE(changed, before);
        if (cases[i].changesTheDirectory) {
            ASSERT_NE(changed.at(top + "\\sub\\deep\\loose.txt"), before.at(top + "\\sub\\deep\\loose.txt"));
        }
        // Each object the job changed is recorded once, after its directory.
        const auto names = RecordedNames(undoFile);
        std::map<std::string, size_t> at;
        for (size_t n = 0; n < names.size(); ++n) EXPECT_TRUE(at.emplace(names[n], n).second) << names[n];
        for (const auto& [name, sddl] : changed) {
            if (sddl == before.at(name)) continue;
            ASSERT_TRUE(at.count(name)) << name;
            const std::string parent = name.substr(0, name.rfind('\\'));
            if (at.count(parent)) {
                EXPECT_LT(at[parent], at[name]) << name;
            }
        }

        r = Run({"restore", undoFile});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Tree undone = Descriptors(top);
        for (const auto& [name, sddl] : before) EXPECT_EQ(undone.at(name), sddl) << name;
        EXPECT_EQ(presence(), storedBefore);
        r = Run({"undo"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Descriptors(top), changed);
        EXPECT_EQ(presence(), storedChanged);
        r = Run({"restore", undoFile, "--no-undo"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Descriptors(top), before);
        EXPECT_EQ(presence(), storedBefore);
    }
}

// Registry keys go back from an undo file as they were recorded, whatever
// Windows' inheritance would make of them: a DACL stored without the
// auto-inherited flag takes nothing from its parent, a key without a SACL
// gets none back (not an empty one), and the keys a job changes only
// through what a key above hands down are recorded and put back too. The
// dry run of the undo shows what the undo then stores, and the undo's own
// undo file brings the job's state back. Each case has a tree of its own.
TEST_F(UndoExactness, RegistryKeysGoBackAsRecorded) {
    const struct {
        std::vector<std::string> job;  // on HKLM\SOFTWARE\X (the tree top) or a key below it
        bool sacl;                     // the tree has audit entries before the job
    } cases[] = {
        {{"grant", "X", "Guest", "read", "--recurse"}, false},
        {{"grant", "X", "Guest", "read"}, true},
        {{"deny", "X\\A", "Guest", "set_val", "--recurse"}, true},
        {{"protect", "X\\A", "--dacl", "remove"}, false},
        {{"audit", "X", "Guest", "read", "--recurse"}, false},
        {{"audit", "X", "Guest", "read"}, false},
        {{"audit", "X", "Guest", "read", "--recurse"}, true},
        {{"owner", "X", "Guest", "--recurse"}, true},
        {{"owner", "X\\A", "Guest"}, false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.job[0] + " " + c.job[1] + (c.job.back() == "--recurse" ? " --recurse" : "") +
                     (c.sacl ? ", with a SACL" : ", without a SACL"));
        const std::wstring key = L"MACHINE\\SOFTWARE\\case" + std::to_wstring(i);
        const std::wstring audit = c.sacl ? L"S:AI(AU;CISA;KR;;;WD)" : L"";
        const std::wstring inheritedAudit = c.sacl ? L"S:AI(AU;CIIDSA;KR;;;WD)" : L"";
        // A holds its DACL without the auto-inherited flag (set by a call
        // that stores it as given); B and C inherit as usual.
        winapi::machine::AddKey(L"TESTPC", key, L"O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)" + audit);
        winapi::machine::AddKey(L"TESTPC", key + L"\\A",
                                L"O:BAG:SYD:(A;CI;KA;;;BA)(A;CI;KR;;;BU)" + std::wstring(c.sacl ? L"S:(AU;SA;KA;;;WD)" : L""));
        winapi::machine::AddKey(L"TESTPC", key + L"\\A\\B",
                                L"O:BAG:SYD:AI(A;CIID;KA;;;BA)(A;CIID;KR;;;BU)" + std::wstring(c.sacl ? L"S:AI" : L""));
        winapi::machine::AddKey(L"TESTPC", key + L"\\C", L"O:BAG:SYD:AI(A;CIID;KA;;;BA)(A;CIID;KR;;;BU)" + inheritedAudit);
        const std::string top = "HKLM\\SOFTWARE\\case" + std::to_string(i);
        ASSERT_EQ(Descriptors(top).size(), 4u);
        auto args = c.job;
        args[1] = top + args[1].substr(1);
        ExpectUndoneExactly(args, top, machine.Folder() + "/key" + std::to_string(i) + ".undo");
    }
}

// Undo files of the first version recorded a key after what a write above
// it had handed down: their key records still go back through the named
// call, which takes the inherited entries from the parent anew. From the
// second version on a key goes back as recorded.
TEST_F(UndoExactness, KeysOfFirstVersionUndoFilesGoBackAsBefore) {
    const std::string record = "O:BAG:SYD:(A;CI;KR;;;BU)";
    for (const int version : {1, 2}) {
        SCOPED_TRACE(version);
        const std::wstring key = L"MACHINE\\SOFTWARE\\v" + std::to_wstring(version);
        winapi::machine::AddKey(L"TESTPC", key, L"O:BAG:SYD:PAI(A;CI;KA;;;BA)");
        winapi::machine::AddKey(L"TESTPC", key + L"\\A", L"O:BAG:SYD:AI(A;CIID;KA;;;BA)");
        const std::string file = machine.Folder() + "/v" + std::to_string(version) + ".undo";
        std::ofstream(file, std::ios::binary) << "\"tavrik undo file\"," << version << ",\"\"\r\n"
                                              << "\"machine\\SOFTWARE\\v" << version << "\\A\",4,\"" << record
                                              << "\"\r\n";
        const auto r = Run({"restore", file, "--no-undo"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string now = Descriptors("HKLM\\SOFTWARE\\v" + std::to_string(version))
                                    .at("machine\\SOFTWARE\\v" + std::to_string(version) + "\\A");
        if (version == 1) {
            EXPECT_EQ(now, "O:BAG:SYD:AI(A;CI;KR;;;BU)(A;CIID;KA;;;BA)\"");
        } else {
            EXPECT_EQ(now, record + "\"");
        }
    }
}

// The whole stored descriptor attribute of an object, as its bytes.
std::string StoredAttribute(const std::string& path) {
    for (const char* name : {"security.NTACL", "user.NTACL"}) {
        const ssize_t size = lgetxattr(path.c_str(), name, nullptr, 0);
        if (size < 0) continue;
        std::string bytes(static_cast<size_t>(size), '\0');
        if (lgetxattr(path.c_str(), name, bytes.data(), bytes.size()) == size) return bytes;
    }
    return "<none>";
}

// The job is killed with SIGKILL while it writes; its undo file, each record
// on disk before its change, puts every descriptor back. A job that ends
// before the kill is undone the same way. A job on the top alone changes
// the tree through what the top hands down: killed while that goes on, it
// is undone the same way (the objects below have no SACL, and get none
// back). Each directory holds a stale file, moved in from elsewhere with
// what that directory handed down: one the job did not reach has no record
// and is left exactly as it is, its stored bytes and all, although putting
// its directory back would otherwise bring it up to date.
TEST_F(UndoExactness, AJobKilledMidwayIsUndoneExactly) {
    const std::string root = machine.DriveC() + "/big", elsewhere = machine.DriveC() + "/elsewhere";
    fs::create_directories(elsewhere);
    for (int d = 0; d < 24; ++d) {
        const std::string dir = root + "/d" + std::to_string(d);
        fs::create_directories(dir + "/inner");
        for (int f = 0; f < 40; ++f) std::ofstream(dir + (f % 4 ? "/f" : "/inner/f") + std::to_string(f)) << f;
        std::ofstream(elsewhere + "/stale" + std::to_string(d)) << d;
    }
    Seed({{"C:\\big", "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"},
          {"C:\\elsewhere", "O:BAG:SYD:PAI(A;OICI;FR;;;WD)"}});
    // Every object below stores what it inherits from the top, nothing else.
    ASSERT_EQ(Run({"reset-children", "C:\\big", "--no-undo", "--quiet"}).exitCode, 0);
    ASSERT_EQ(Run({"reset-children", "C:\\elsewhere", "--no-undo", "--quiet"}).exitCode, 0);
    std::map<std::string, std::string> staleFiles;  // name -> path
    for (int d = 0; d < 24; ++d) {
        const std::string name = "C:\\big\\d" + std::to_string(d) + "\\stale.txt";
        staleFiles[name] = root + "/d" + std::to_string(d) + "/stale.txt";
        fs::rename(elsewhere + "/stale" + std::to_string(d), staleFiles[name]);
    }
    const Tree before = Descriptors("C:\\big");
    ASSERT_EQ(before.size(), 1u + 24 * 2 + 24 * 41);
    ASSERT_NE(before.at("C:\\big\\d0\\stale.txt").find("(A;ID;FR;;;WD)"), std::string::npos);

    // A propagation goes faster than a walk: that job is killed as soon as
    // its records start.
    const struct {
        std::vector<std::string> args;
        std::chrono::milliseconds killAfter;
    } cases[] = {
        {{"grant", "C:\\big", "BUILTIN\\Users", "change", "--inherit", "oi,ci", "--recurse"}, std::chrono::milliseconds(20)},
        {{"audit", "C:\\big", "Guest", "read", "--inherit", "oi,ci"}, std::chrono::milliseconds(0)},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::vector<std::string>& job = cases[i].args;
        SCOPED_TRACE(job[0]);
        std::map<std::string, std::string> staleBytes;
        for (const auto& [name, path] : staleFiles) staleBytes[name] = StoredAttribute(path);
        const std::string undoFile = machine.Folder() + "/killed" + std::to_string(i) + ".undo";
        std::vector<std::string> argvText{TAVRIK_BINARY};
        argvText.insert(argvText.end(), job.begin(), job.end());
        argvText.insert(argvText.end(), {"--undo", undoFile, "--quiet"});
        std::vector<char*> argv;
        for (auto& a : argvText) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envText{"TAVRIK_MACHINE=" + machine.DatabasePath(),
                                         "XDG_STATE_HOME=" + machine.Folder() + "/state"};
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("TAVRIK_MACHINE=", 0) != 0 && entry.rfind("XDG_STATE_HOME=", 0) != 0) {
                envText.push_back(entry);
            }
        }
        std::vector<char*> envp;
        for (auto& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);

        // Some records (a record is a few hundred bytes), a few more
        // objects' worth of time, then the kill: it lands somewhere in the
        // job's work.
        int status = 0;
        bool ended = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            struct stat info = {};
            if (stat(undoFile.c_str(), &info) == 0 && info.st_size > 8000) break;
            ended = waitpid(pid, &status, WNOHANG) == pid;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!ended) {
            std::this_thread::sleep_for(cases[i].killAfter);
            kill(pid, SIGKILL);
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
        }
        const bool killed = WIFSIGNALED(status);
        if (!killed) {
            std::cerr << "The " << job[0] << " job ended before the kill; its undo file is checked all the same.\n";
        }
        EXPECT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
        ASSERT_NE(Descriptors("C:\\big"), before);

        auto r = Run({"restore", undoFile, "--no-undo", "--quiet"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const Tree after = Descriptors("C:\\big");
        ASSERT_EQ(after.size(), before.size());
        for (const auto& [name, sddl] : before) EXPECT_EQ(after.at(name), sddl) << name;
        // A stale file the job never reached is not written at all.
        const auto recorded = RecordedNames(undoFile);
        for (const auto& [name, path] : staleFiles) {
            if (std::find(recorded.begin(), recorded.end(), name) == recorded.end()) {
                EXPECT_EQ(StoredAttribute(path), staleBytes.at(name)) << name;
            }
        }
    }
}

}  // namespace
}  // namespace tavrik::test
