#include "cli/undo_journal.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <string_view>
#include <system_error>

#include "cli/command.h"
#include "engine/local_memory.h"
#include "listing/backup_file.h"
#include "listing/backup_record.h"

#ifndef _WIN32
#include "winapi/machine/change_observer.h"
#include "winapi/files/file_security.h"
#endif

namespace tavrik::cli {
namespace fs = std::filesystem;
namespace {

constexpr const char* kUndoExtension = ".undo";

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool IsUndoFile(const fs::path& path) {
    const std::string name = path.filename().string();
    auto endsWith = [&name](const std::string& tail) {
        return name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    return endsWith(kUndoExtension) || endsWith(std::string(kUndoExtension) + kUndoneSuffix);
}

#ifndef _WIN32
// Whether two names of registry keys name the same key on the computer the
// job works on: the layer names a key by its path, in its own case, where
// the job may have spelt the root or the computer otherwise.
bool SameKey(const std::wstring& a, const std::wstring& b) {
    auto withoutComputer = [](const std::wstring& name) {
        if (name.rfind(L"\\\\", 0) != 0) return std::wstring_view(name);
        const size_t end = name.find(L'\\', 2);
        return end == std::wstring::npos ? std::wstring_view() : std::wstring_view(name).substr(end + 1);
    };
    const std::wstring_view left = withoutComputer(a), right = withoutComputer(b);
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [](wchar_t x, wchar_t y) {
               return std::towupper(static_cast<wint_t>(x)) == std::towupper(static_cast<wint_t>(y));
           });
}
#endif

}  // namespace

UndoJournal::~UndoJournal() { Close(false); }

bool UndoJournal::Open(const std::wstring& fileName) {
    Close(false);
    file_ = CreateBackupFile(fileName);
    fileName_ = fileName;
    records_ = 0;
    seen_.Clear();
    if (!file_) return false;
    writer_ = std::make_unique<BackupRecordWriter>(file_);
    // The mark makes a restore put the records back as they stand.
#ifdef _WIN32
    // The system propagates a directory's change out of the journal's
    // sight: the objects it reaches have no records, and a restore must
    // propagate from the directory.
    writer_->Append(UndoFileMarkRecord(kUndoFileKeysAsRecorded));
#else
    // Here every object a directory's change reaches gets its record.
    writer_->Append(UndoFileMarkRecord(kUndoFileEveryChangeRecorded));
#endif
    if (!writer_->Flush()) {
        Close(true);
        return false;
    }
    return true;
}

void UndoJournal::Attach(CTavrik& job) {
    BeforeWriteHook earlier = job.m_beforeWrite;
#ifdef _WIN32
    job.m_beforeWrite = [this, &job, earlier](const std::wstring& object, DWORD type, SECURITY_INFORMATION parts) {
        if (const DWORD code = Record(job, object, type, parts); code != RTN_OK) return code;
        return earlier ? earlier(object, type, parts) : RTN_OK;
    };
#else
    // The simulated computer says when a write is about to change its
    // object, before storing anything: an object the job leaves as it is
    // (the same grant again) gets no record, and every object it changes
    // still has its record in the file before the change.
    job.m_beforeWrite = [this, earlier](const std::wstring& object, DWORD type, SECURITY_INFORMATION parts) {
        expected_.object.assign(object);  // keeps its capacity from object to object
        expected_.type = type;
        expected_.armed = true;
        return earlier ? earlier(object, type, parts) : RTN_OK;
    };
    winapi::machine::SetChangeObserver(
        [this, &job](const std::wstring& object, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts) -> DWORD {
            // Only the job's own writes are recorded, each at most once.
            if (!expected_.armed || expected_.type != static_cast<DWORD>(type) ||
                !(expected_.object == object || (type == SE_REGISTRY_KEY && SameKey(expected_.object, object)))) {
                return ERROR_SUCCESS;
            }
            expected_.armed = false;
            // Under the name the job uses, which its later writes use too.
            const DWORD code = Record(job, expected_.object, type, parts);
            if (code == RTN_OK) return ERROR_SUCCESS;
            job.m_writeRefusal = code;
            return job.m_lastOsError != 0 ? job.m_lastOsError : ERROR_WRITE_FAULT;
        });
    // A write of a directory also changes what lies below it that inherits
    // from it (a non-recursive job on a directory changes its whole tree):
    // each such object is recorded too, as it stands before the change and
    // after its directory's record, so that a restore puts the directory
    // back first and then each of them exactly. An object whose record
    // cannot be written is left unchanged, as is what lies below it.
    winapi::machine::SetInheritedChangeObserver(
        [this, &job](const std::wstring& object, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts) -> DWORD {
            // Its directory first: a write that left the directory as it
            // was and only brought what lies below up to date has not
            // recorded it, and a restore puts such a record back as it
            // stands only below a directory it has just put back.
            DWORD code = RTN_OK;
            if (const size_t separator = object.rfind(L'\\'); separator != std::wstring::npos && separator > 0) {
                directory_.assign(object, 0, separator);
                if (directory_.back() == L':') directory_ += L'\\';
                code = Record(job, directory_, type, parts);
            }
            if (code == RTN_OK) code = Record(job, object, type, parts);
            if (code == RTN_OK) return ERROR_SUCCESS;
            // The write of the directory then fails with the record's code,
            // as a write whose own record failed does.
            job.m_writeRefusal = code;
            return job.m_lastOsError != 0 ? job.m_lastOsError : ERROR_WRITE_FAULT;
        });
    observing_ = true;
#endif
}

DWORD UndoJournal::Record(CTavrik& job, const std::wstring& object, DWORD objectType, SECURITY_INFORMATION parts) {
    if (!file_) return RTN_OK;
    // Later writes of the same object find its first state recorded.
    if (!seen_.Insert(objectType, object)) return RTN_OK;
    // Owner, group and DACL always, so that whatever a later write of the
    // same object touches is there to go back to; the SACL when this write
    // touches it (reading it needs a privilege the job then holds).
    const SECURITY_INFORMATION saved = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION | (parts & SACL_SECURITY_INFORMATION);
    PSECURITY_DESCRIPTOR sd = nullptr;
    LocalPtr<> named;
    DWORD readError = ERROR_SUCCESS;
#ifndef _WIN32
    // A file is recorded as it holds its descriptor, before what the job's
    // change of a directory above still owes it: the state to go back to.
    // (On Windows that change has reached it already.)
    if (objectType == SE_FILE_OBJECT) {
        readError = winapi::GetStoredFileSecurityByName(object, saved, &stored_);
        if (readError == ERROR_SUCCESS) sd = stored_.empty() ? nullptr : stored_.data();
    } else
#endif
    {
        PSECURITY_DESCRIPTOR raw = nullptr;
        readError = GetNamedSecurityInfoW(object.c_str(), static_cast<SE_OBJECT_TYPE>(objectType), saved, nullptr,
                                          nullptr, nullptr, nullptr, &raw);
        named.reset(raw);
        sd = raw;
    }
    if (readError != ERROR_SUCCESS || !sd) {
        seen_.Erase(objectType, object);
        job.m_lastOsError = readError != ERROR_SUCCESS ? readError : ERROR_INVALID_SECURITY_DESCR;
        return RTN_ERR_READ_SD;
    }
    const Converted* converted = Convert(sd, saved);
    if (!converted) {
        seen_.Erase(objectType, object);
        job.m_lastOsError = GetLastError();
        return RTN_ERR_SD_CONVERT;
    }
    // A name the backup format cannot hold cannot be put back from the
    // file: the change goes ahead as it would without an undo file, and
    // the job says so.
    if (!IsBackupSafeName(object) || converted->lineBreak) {
        job.OutputMessage(L"Warning: <" + DisplayableName(object) +
                          L"> has a name an undo file cannot hold; its change is not in the undo file.");
        return RTN_OK;
    }
    // The record is in the file (one write, no buffer of ours or of stdio
    // in between) before the change is made: a job killed right after the
    // change still leaves the way back.
    writer_->AppendSddlRecordEncoded(object, objectType, converted->sddlUtf16Le);
    if (!writer_->Flush()) {
        seen_.Erase(objectType, object);
        job.m_lastOsError = ERROR_DISK_FULL;
        job.OutputMessage(L"ERROR writing the undo record of <" + DisplayableName(object) + L"> to <" + fileName_ +
                          L">; the object is left unchanged.");
        return RTN_ERR_WRITE_OUTPUT;
    }
    ++records_;
    return RTN_OK;
}

const UndoJournal::Converted* UndoJournal::Convert(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION parts) {
    const DWORD length = GetSecurityDescriptorLength(sd);
    const auto* bytes = static_cast<const BYTE*>(sd);
    for (const Converted& known : converted_) {
        if (known.parts == parts && known.descriptor.size() == length && length != 0 &&
            std::memcmp(known.descriptor.data(), bytes, length) == 0) {
            return &known;
        }
    }
    LPWSTR sddlRaw = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, parts, &sddlRaw, nullptr)) {
        return nullptr;
    }
    LocalPtr<wchar_t> sddl(sddlRaw);
    Converted& slot = converted_[nextConverted_];
    nextConverted_ = (nextConverted_ + 1) % converted_.size();
    slot.descriptor.assign(bytes, bytes + length);
    slot.parts = parts;
    std::wstring text(sddl.get());
    // An object without a SACL gives no SACL section, and a record without
    // one leaves the SACL alone when it is put back: audit entries the job
    // added would stay. A NULL SACL section puts back "no SACL" (an empty
    // one would leave an empty SACL where there was none).
    if (parts & SACL_SECURITY_INFORMATION) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL sacl = nullptr;
        if (GetSecurityDescriptorSacl(sd, &present, &sacl, &defaulted) && !present) text += L"S:NO_ACCESS_CONTROL";
    }
    slot.lineBreak = HasLineBreak(text);
    slot.sddlUtf16Le.clear();
    AppendUtf16Le(slot.sddlUtf16Le, text);
    // A length the descriptor does not report is never matched again.
    if (length == 0) slot.descriptor.clear();
    return &slot;
}

void UndoJournal::Close(bool deleteWhenEmpty) {
#ifndef _WIN32
    if (observing_) {
        winapi::machine::SetChangeObserver(nullptr);
        winapi::machine::SetInheritedChangeObserver(nullptr);
    }
    observing_ = false;
    expected_ = Expected{};
#endif
    if (!file_) return;
    writer_.reset();
    fclose(file_);
    file_ = nullptr;
    if (deleteWhenEmpty && records_ == 0) {
        std::error_code ignored;
        fs::remove(fs::path(fileName_), ignored);
    }
}

fs::path UndoDirectory() {
#ifdef _WIN32
    const std::string local = Environment("LOCALAPPDATA");
    if (!local.empty()) return fs::path(local) / "tavrik" / "undo";
    return {};
#else
    const std::string state = Environment("XDG_STATE_HOME");
    // XDG_STATE_HOME holding a relative path is ignored, as freedesktop.org asks of every program.
    if (!state.empty() && state[0] == '/') return fs::path(state) / "tavrik" / "undo";
    const std::string home = Environment("HOME");
    if (!home.empty()) return fs::path(home) / ".local" / "state" / "tavrik" / "undo";
    return {};
#endif
}

fs::path NewUndoFile(const std::string& command) {
    const fs::path directory = UndoDirectory();
    if (directory.empty()) return {};
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) return {};
    // UTC time to the microsecond sorts the files by age and keeps two
    // jobs started in the same second apart.
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02d.%06lldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, micros);
    std::string name = command;
    std::replace(name.begin(), name.end(), ' ', '-');
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate =
            directory / (std::string(stamp) + (attempt ? "-" + std::to_string(attempt) : "") + "-" + name + kUndoExtension);
        if (!fs::exists(candidate, error)) return candidate;
    }
    return {};
}

std::vector<UndoFileInfo> ListUndoFiles() {
    std::vector<UndoFileInfo> files;
    std::error_code error;
    const fs::path directory = UndoDirectory();
    if (directory.empty()) return files;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        if (!it->is_regular_file(error) || !IsUndoFile(it->path())) continue;
        UndoFileInfo info;
        info.path = it->path();
        std::string name = info.path.filename().string();
        info.undone = name.size() > std::string(kUndoneSuffix).size() &&
                      name.compare(name.size() - std::string(kUndoneSuffix).size(), std::string::npos,
                                   kUndoneSuffix) == 0;
        // 20261207T192001.123456Z[-n]-command.undo[.undone]
        if (name.size() > 16 && name[8] == 'T') {
            info.when = name.substr(0, 4) + "-" + name.substr(4, 2) + "-" + name.substr(6, 2) + " " +
                        name.substr(9, 2) + ":" + name.substr(11, 2) + ":" + name.substr(13, 2);
        }
        const size_t zed = name.find("Z-");
        const size_t extension = name.find(kUndoExtension);
        if (zed != std::string::npos && extension != std::string::npos && extension > zed + 2) {
            std::string command = name.substr(zed + 2, extension - zed - 2);
            // A numbered twin: "1-grant".
            const size_t dash = command.find('-');
            if (dash != std::string::npos && dash > 0 &&
                std::all_of(command.begin(), command.begin() + static_cast<long>(dash),
                            [](char c) { return c >= '0' && c <= '9'; }))
                command = command.substr(dash + 1);
            info.command = command;
        }
        files.push_back(std::move(info));
    }
    std::sort(files.begin(), files.end(), [](const UndoFileInfo& a, const UndoFileInfo& b) {
        return a.path.filename().string() > b.path.filename().string();
    });
    return files;
}

void PruneUndoFiles(size_t keep) {
    const auto files = ListUndoFiles();
    std::error_code ignored;
    for (size_t i = keep; i < files.size(); ++i) fs::remove(files[i].path, ignored);
}

}  // namespace tavrik::cli
