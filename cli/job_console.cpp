#include "cli/job_console.h"

#include <cstdio>
#include <iostream>

#include "cli/command.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace tavrik::cli {
namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// Lines that narrate progress; --quiet drops them.
bool IsChatter(const std::wstring& line) {
    return StartsWith(line, L"Processing ACL of: <") || StartsWith(line, L"Omitting ACL of: <") ||
           StartsWith(line, L"Restoring ACL of: <") || StartsWith(line, L"Input file for restore operation") ||
           StartsWith(line, L"Info: ");
}

}  // namespace

JobConsole::JobConsole(bool quiet)
    : quiet_(quiet), progress_(isatty(fileno(stderr)) != 0), start_(std::chrono::steady_clock::now()) {}

JobConsole::~JobConsole() { Finish(); }

bool JobConsole::IsErrorLine(const std::wstring& line) {
    return StartsWith(line, L"ERROR") || StartsWith(line, L"Error:") || StartsWith(line, L"WARNING") ||
           StartsWith(line, L"Warning:") || StartsWith(line, L"Critical internal error") ||
           StartsWith(line, L"   Account <") || StartsWith(line, L"\nTavrik finished with error(s)");
}

MessageCallback JobConsole::Callback() {
    return [this](const std::wstring& line) { Handle(line); };
}

void JobConsole::Handle(const std::wstring& line) {
    // Changed or restored objects announce themselves; listed objects show
    // up as their record (SDDL and CSV records open with the quoted name).
    if (StartsWith(line, L"Processing ACL of: <") || StartsWith(line, L"Restoring ACL of: <") ||
        StartsWith(line, L"\""))
        ++objects_;
    const bool error = IsErrorLine(line);
    // The summary is the run's last word: no progress line may follow it.
    const bool summary = StartsWith(line, L"\nTavrik finished");
    if (summary) finished_ = true;
    if (error && !summary) ++errors_;
    if (!error && ((quiet_ && IsChatter(line)) || (hideRecords_ && StartsWith(line, L"\"")))) {
        DrawProgress(false);
        return;
    }
    ClearProgress();
    std::string text = ToConsole(line);
    if (error) {
        std::cerr << text << "\n" << std::flush;
    } else {
        std::cout << text << "\n";
        if (progress_) std::cout << std::flush;
    }
    DrawProgress(false);
}

void JobConsole::DrawProgress(bool force) {
    if (!progress_ || finished_) return;
    auto now = std::chrono::steady_clock::now();
    // A job that ends within a second never shows a progress line.
    if (now - start_ < std::chrono::seconds(1)) return;
    if (!force && progressShown_ && now - lastDraw_ < std::chrono::milliseconds(200)) return;
    double seconds = std::chrono::duration<double>(now - start_).count();
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "\r\033[K%ld objects, %ld errors, %.0f objects/s", objects_, errors_,
                  seconds > 0 ? objects_ / seconds : 0.0);
    std::cerr << buffer << std::flush;
    progressShown_ = true;
    lastDraw_ = now;
}

void JobConsole::ClearProgress() {
    if (!progressShown_) return;
    std::cerr << "\r\033[K" << std::flush;
    progressShown_ = false;
}

void JobConsole::Finish() {
    ClearProgress();
    std::cout << std::flush;
}

}  // namespace tavrik::cli
