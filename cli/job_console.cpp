#include "cli/job_console.h"

#include <cstdio>
#include <iostream>

#include "cli/command.h"
#include "cli/console_colour.h"
#include "listing/json_records.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace tavrik::cli {
namespace {

// The prefix's length is known at compile time: every line of a run is
// tested against a dozen of them.
template <size_t N>
bool StartsWith(const std::wstring& text, const wchar_t (&prefix)[N]) {
    return std::wstring_view(text).starts_with(std::wstring_view(prefix, N - 1));
}

// The name between the first '<' and the last '>' of an announcing line.
std::wstring AnnouncedName(const std::wstring& line) {
    const size_t open = line.find(L'<');
    const size_t close = line.rfind(L'>');
    return open == std::wstring::npos || close == std::wstring::npos || close <= open
               ? std::wstring()
               : line.substr(open + 1, close - open - 1);
}

// The quoted name a listing record opens with.
std::wstring RecordName(const std::wstring& line) {
    const size_t close = line.find(L'"', 1);
    return close == std::wstring::npos ? std::wstring() : line.substr(1, close - 1);
}

// Lines that narrate progress; --quiet drops them.
bool IsChatter(const std::wstring& line) {
    return StartsWith(line, L"Processing ACL of: <") || StartsWith(line, L"Omitting ACL of: <") ||
           StartsWith(line, L"Restoring ACL of: <") || StartsWith(line, L"Input file for restore operation") ||
           StartsWith(line, L"Info: ") || StartsWith(line, L"Same: <");
}

// The return code an error line stands for, for its JSON record: the job
// goes on after these, so the code is what the step would have returned.
DWORD CodeOfErrorLine(const std::wstring& line) {
    if (StartsWith(line, L"ERROR reading SD")) return RTN_ERR_READ_SD;
    if (StartsWith(line, L"ERROR writing SD") || StartsWith(line, L"ERROR updating")) return RTN_ERR_WRITE_SD;
    if (StartsWith(line, L"ERROR: Restoring ACL")) return RTN_ERR_SD_CONVERT;
    if (StartsWith(line, L"ERROR writing backup")) return RTN_ERR_WRITE_OUTPUT;
    return 0;
}

}  // namespace

JobConsole::JobConsole(bool quiet, bool verbose)
    : quiet_(quiet),
      progress_(isatty(fileno(stderr)) != 0),
      colour_(StderrTakesColour()),
      verbose_(verbose),
      start_(std::chrono::steady_clock::now()) {}

void JobConsole::BeginRun(const CTavrik& job) {
    listing_ = (job.m_actions & ACTION_LIST) != 0;
    verbose_.Begin(job);
}

void JobConsole::EndRun() {
    ClearProgress();
    verbose_.End();
}

void JobConsole::ToStderr(const std::string& text) {
    std::cout << std::flush;
    std::cerr << Coloured(text, ToneOf(text), colour_) << "\n" << std::flush;
}

JobConsole::~JobConsole() { Finish(); }

bool JobConsole::IsErrorLine(const std::wstring& line) {
    return StartsWith(line, L"ERROR") || StartsWith(line, L"Error:") || StartsWith(line, L"WARNING") ||
           StartsWith(line, L"Warning:") || StartsWith(line, L"Critical internal error") ||
           StartsWith(line, L"   Account <") || StartsWith(line, L"\nTavrik finished with error(s)") ||
           StartsWith(line, L"\nTavrik completed with errors");
}

MessageCallback JobConsole::Callback() {
    return [this](const std::wstring& line) { Handle(line); };
}

void JobConsole::HandleRecord(const std::wstring& line) {
    ++objects_;
    const size_t close = line.find(L'"', 1);
    if (close == std::wstring::npos) seen_.lastListed.clear();
    else seen_.lastListed.assign(line, 1, close - 1);
    verbose_.Done(seen_.lastListed, "listed");
    if (hideRecords_) {
        DrawProgress(false);
        return;
    }
    ClearProgress();
    ToConsole(line, &record_);
    record_ += '\n';
    std::cout.write(record_.data(), static_cast<std::streamsize>(record_.size()));
    if (progress_) std::cout << std::flush;
    DrawProgress(false);
}

void JobConsole::Handle(const std::wstring& line) {
    // Records are nearly every line a listing makes, and no other line
    // opens with a quote: they skip the narrations' tests below.
    if (!jsonJob_ && !line.empty() && line[0] == L'"') {
        HandleRecord(line);
        return;
    }
    // Changed or restored objects announce themselves; listed objects show
    // up as their record (SDDL and CSV records open with the quoted name).
    if (jsonJob_ && StartsWith(line, L"{")) {
        // A JSON listing record: it goes to stdout as it is.
        ++objects_;
        ClearProgress();
        std::cout << ToConsole(line) << "\n";
        if (progress_) std::cout << std::flush;
        DrawProgress(false);
        return;
    }
    const bool error = IsErrorLine(line);
    // The summary is the run's last word: no progress line may follow it.
    const bool summary = StartsWith(line, L"\nTavrik finished") || StartsWith(line, L"\nTavrik completed");
    if (StartsWith(line, L"Processing ACL of: <") || StartsWith(line, L"Restoring ACL of: <")) {
        ++objects_;
        seen_.lastAnnounced = AnnouncedName(line);
        const bool restoring = StartsWith(line, L"Restoring");
        if (restoring) ++seen_.restoreRecords;
        verbose_.Announce(seen_.lastAnnounced, restoring ? "restored" : "processed");
    } else if (StartsWith(line, L"Same: <") || StartsWith(line, L"Differs: <") || StartsWith(line, L"Missing: <")) {
        // A verify's verdicts announce its objects.
        ++objects_;
        seen_.lastAnnounced = AnnouncedName(line);
        verbose_.Done(seen_.lastAnnounced, "verified");
    } else if (StartsWith(line, L"Omitting ACL of: <")) {
        verbose_.Done(AnnouncedName(line), "left out by a filter");
    } else if (StartsWith(line, L"\"")) {
        ++objects_;
        seen_.lastListed = RecordName(line);
        verbose_.Done(seen_.lastListed, "listed");
    } else if (listing_ && !error && !summary && !IsChatter(line) && !line.empty()) {
        // A text record: the object's name, then its sections.
        ++objects_;
        seen_.lastListed = line.substr(0, line.find(L'\n'));
        verbose_.Done(seen_.lastListed, "listed");
    } else if (error && !summary) {
        // Account lines name an account, not an object: they concern the
        // object at hand.
        verbose_.Error(StartsWith(line, L"   Account <") ? std::wstring() : AnnouncedName(line));
    }
    // The last object's line and the timings come before the summary.
    if (summary) verbose_.End();
    if (summary) finished_ = true;
    // A failed run's summary waits for the line that names what failed.
    if (summary && StartsWith(line, L"\nTavrik finished with error(s)")) {
        failureSummary_ = line;
        return;
    }
    // The engine says a missing privilege "can probably be ignored" before
    // it knows; that is true when the job succeeds, and only then.
    if (StartsWith(line, L"Info: Privilege '")) {
        privilegeNotes_.push_back(line);
        return;
    }
    if (error && line.find(L"Access is denied") != std::wstring::npos) accessDenied_ = true;
    if (summary) ShowPrivilegeNotes(true);
    if (error && !summary) ++errors_;
    if (jsonJob_ && error && !summary && !StartsWith(line, L"WARNING") && !StartsWith(line, L"Warning:")) {
        ClearProgress();
        // A descendant's failure is reported while the job's last system
        // error is its ancestor's: that line's own error is in its text.
        const bool descendant = StartsWith(line, L"ERROR updating");
        PrintErrorRecord(line, CodeOfErrorLine(line), descendant ? 0 : jsonJob_->m_lastOsError);
    }
    if (!error && ((quiet_ && IsChatter(line)) || (hideRecords_ && StartsWith(line, L"\"")))) {
        DrawProgress(false);
        return;
    }
    ClearProgress();
    std::string text = ToConsole(line);
    // The progress line's count of error lines goes with it; the summary
    // keeps it in sight.
    if (summary && errors_ > 0) {
        text += "\n" + std::to_string(errors_) + (errors_ == 1 ? " error line" : " error lines") +
                " reported during the job.";
    }
    if (error || (summary && quiet_) || jsonJob_) {
        ToStderr(text);
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

void JobConsole::ShowPrivilegeNotes(bool succeeded) {
    static const std::wstring kMaybe = L"This can probably be ignored.";
    for (auto note : privilegeNotes_) {
        if (accessDenied_) {
            // Where access was denied the privilege might have let the job in.
            const size_t at = note.find(kMaybe);
            if (at != std::wstring::npos) note.replace(at, kMaybe.size(), L"It may be why access was denied.");
            ToStderr("Warning: " + ToConsole(note.substr(note.find(L' ') + 1)));
        } else if (succeeded && !quiet_) {
            (jsonJob_ ? std::cerr : std::cout) << ToConsole(note) << "\n";
        }
        // A job that failed for another reason (a missing object, an
        // unreachable computer) failed whatever the privilege.
    }
    privilegeNotes_.clear();
}

void JobConsole::PrintErrorRecord(const std::wstring& line, DWORD code, DWORD osError) {
    std::cout << json::Line(json::ErrorRecord(*jsonJob_, AnnouncedName(line), line, code, osError)) << "\n";
}

void JobConsole::ReportFailure(DWORD code, const std::wstring& errorLine, DWORD osError) {
    Finish();
    if (jsonJob_) {
        PrintErrorRecord(errorLine, code, osError);
        std::cout << std::flush;
    }
    if (osError == ERROR_ACCESS_DENIED) accessDenied_ = true;
    ShowPrivilegeNotes(false);
    ToStderr(ToConsole(errorLine));
    if (!failureSummary_.empty()) {
        // "\nTavrik finished with error(s): " + "[6 TRUSTEE_NOT_FOUND]" + the rest.
        std::wstring summary = failureSummary_;
        const size_t firstBreak = summary.find(L'\n', 1);
        summary.insert(firstBreak == std::wstring::npos ? summary.size() : firstBreak,
                       L"[" + FromConsole(ReturnCodeLabel(code)) + L"]");
        ToStderr(ToConsole(summary));
        failureSummary_.clear();
    }
    std::cerr << std::flush;
}

}  // namespace tavrik::cli
