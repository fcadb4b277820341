#include "cli/run_tavrik.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tavrik::test {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

}  // namespace

CommandResult RunTavrik(const std::vector<std::string>& args, const std::string& machine,
                        const std::string& workingDirectory) {
    char outTemplate[] = "/tmp/tavrik-out-XXXXXX";
    char errTemplate[] = "/tmp/tavrik-err-XXXXXX";
    int outFd = mkstemp(outTemplate);
    int errFd = mkstemp(errTemplate);
    if (outFd < 0 || errFd < 0) throw std::runtime_error("cannot create capture files");

    std::vector<std::string> argvText{TAVRIK_BINARY};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.rfind("TAVRIK_MACHINE=", 0) != 0 && entry.rfind("XDG_STATE_HOME=", 0) != 0)
            envText.push_back(entry);
    }
    envText.push_back("TAVRIK_MACHINE=" + machine);
    // Undo files of the jobs go beside the test's database, never to the
    // home directory of whoever runs the tests.
    const size_t slash = machine.rfind('/');
    envText.push_back("XDG_STATE_HOME=" + (slash == std::string::npos ? std::string(".") : machine.substr(0, slash)) +
                      "/state");
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    if (!workingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    pid_t pid = 0;
    int spawnError = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);

    CommandResult result;
    if (spawnError == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    result.out = ReadAll(outTemplate);
    result.err = ReadAll(errTemplate);
    unlink(outTemplate);
    unlink(errTemplate);
    return result;
}

bool SeedDescriptors(const std::vector<std::pair<std::string, std::string>>& records, const std::string& machine,
                     const std::string& folder, std::string* error) {
    const std::string file = folder + "/seed.bak";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        for (const auto& [name, sddl] : records) out << "\"\\\\?\\" << name << "\",1,\"" << sddl << "\"\r\n";
    }
    const CommandResult r = RunTavrik({"restore", file, "--no-undo", "--quiet"}, machine);
    if (error != nullptr) *error = r.err;
    return r.exitCode == 0;
}

std::map<std::string, std::string> ListDescriptors(const std::string& root, const std::string& what,
                                                   const std::string& machine) {
    const CommandResult r =
        RunTavrik({"list", root, "--recurse", "--format", "sddl", "--what", what, "--quiet"}, machine);
    std::map<std::string, std::string> tree;
    if (r.exitCode != 0) ADD_FAILURE() << "tavrik list " << root << " ended with " << r.exitCode << ": " << r.err;
    // Records read "\\?\NAME",1,"SDDL".
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const auto nameEnd = line.find("\",");
        if (line.empty() || line[0] != '"' || nameEnd == std::string::npos) continue;
        // Files carry the long-path prefix \\?\, registry keys none.
        const size_t nameStart = line.rfind("\"\\\\?\\", 0) == 0 ? 5 : 1;
        tree[line.substr(nameStart, nameEnd - nameStart)] = line.substr(line.find(",\"", nameEnd + 1) + 2);
    }
    return tree;
}

}  // namespace tavrik::test
