// The restore action: every entry of a backup file written back to the
// object it names.
#include <array>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "engine/file_open.h"
#include "engine/local_memory.h"
#include "engine/tavrik.h"
#include "acl/trustee.h"
#include "listing/backup_file.h"
#include "listing/backup_record.h"
#include "listing/descriptor_diff.h"
#include "listing/restore_maps.h"
#include "objects/csd.h"
#include "objects/walk_announcement.h"

namespace {

// The absolute form of one SDDL text and the blocks of its parts.
struct AbsoluteDescriptor {
    tavrik::LocalPtr<> absolute;
    tavrik::LocalPtr<> dacl;
    tavrik::LocalPtr<> sacl;
    tavrik::LocalPtr<> owner;
    tavrik::LocalPtr<> group;
    // The parts the text sets, and how its ACLs are protected.
    SECURITY_INFORMATION info = 0;
};

tavrik::LocalPtr<> AllocateZeroed(DWORD size) {
    if (size == 0) return nullptr;
    return tavrik::LocalPtr<>(LocalAlloc(LMEM_ZEROINIT, size));
}

// The self-relative descriptor `raw` in absolute form; false with the last
// error set when any step fails.
bool MakeAbsolute(PSECURITY_DESCRIPTOR raw, AbsoluteDescriptor& out) {
    DWORD absoluteSize = 0, daclSize = 0, saclSize = 0, ownerSize = 0, groupSize = 0;
    if (MakeAbsoluteSD(raw, nullptr, &absoluteSize, nullptr, &daclSize, nullptr, &saclSize, nullptr, &ownerSize,
                       nullptr, &groupSize)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;

    out.absolute = AllocateZeroed(absoluteSize);
    out.dacl = AllocateZeroed(daclSize);
    out.sacl = AllocateZeroed(saclSize);
    out.owner = AllocateZeroed(ownerSize);
    out.group = AllocateZeroed(groupSize);
    if ((absoluteSize && !out.absolute) || (daclSize && !out.dacl) || (saclSize && !out.sacl) ||
        (ownerSize && !out.owner) || (groupSize && !out.group)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return MakeAbsoluteSD(raw, out.absolute.get(), &absoluteSize, static_cast<PACL>(out.dacl.get()), &daclSize,
                          static_cast<PACL>(out.sacl.get()), &saclSize, out.owner.get(), &ownerSize,
                          out.group.get(), &groupSize) != FALSE;
}

// The absolute descriptors of the last few SDDL texts a restore converted:
// the records of a tree mostly repeat a few texts, and parsing one and
// laying it out cost more than the rest of its record. The writes only
// read the parts, so a record takes them where they are kept.
class ConvertedTexts {
public:
    // The descriptor `sddl` makes, good until the next call; null with the
    // last error set when the text does not convert.
    const AbsoluteDescriptor* Descriptor(const std::wstring& sddl) {
        for (const Converted& known : converted_) {
            if (known.valid && known.sddl == sddl) return &known.parts;
        }
        Converted& slot = converted_[next_];
        next_ = (next_ + 1) % converted_.size();
        slot.valid = false;
        slot.parts = AbsoluteDescriptor{};
        PSECURITY_DESCRIPTOR raw = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr)) {
            return nullptr;
        }
        tavrik::LocalPtr<> selfRelative(raw);
        if (!MakeAbsolute(raw, slot.parts)) return nullptr;
        slot.parts.info = tavrik::SecurityInfoFromSddl(sddl);
        slot.sddl = sddl;
        slot.valid = true;
        return &slot.parts;
    }

private:
    struct Converted {
        std::wstring sddl;
        bool valid = false;
        AbsoluteDescriptor parts;
    };
    std::array<Converted, 4> converted_;
    size_t next_ = 0;
};

// Read errors that mean the object is not there (by the type's own words).
bool IsMissingObjectError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
        case ERROR_SERVICE_DOES_NOT_EXIST:
        case ERROR_INVALID_PRINTER_NAME:
        case NERR_NetNameNotFound:
            return true;
        default:
            return false;
    }
}

bool LooksLikeSidText(const std::wstring& text) {
    return text.size() > 4 && (text[0] == L'S' || text[0] == L's') && text.compare(1, 3, L"-1-") == 0;
}

// The SID an account, group, domain or SID text names; null when none.
tavrik::LocalPtr<> ResolveSidText(const std::wstring& text) {
    CTrustee trustee(text, LooksLikeSidText(text) ? TRUE : FALSE, 0, 0, 0);
    if (trustee.Resolve() == RTN_OK && trustee.m_sid) {
        tavrik::LocalPtr<> sid(trustee.m_sid);
        trustee.m_sid = nullptr;
        return sid;
    }
    // A bare domain name names the domain's own SID.
    if (LooksLikeSidText(text)) return nullptr;
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use = SidTypeUnknown;
    LookupAccountNameW(nullptr, text.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0) return nullptr;
    tavrik::LocalPtr<> sid(LocalAlloc(LMEM_ZEROINIT, sidSize));
    std::wstring domain(domainSize + 1, L'\0');
    if (!sid || !LookupAccountNameW(nullptr, text.c_str(), sid.get(), &sidSize, domain.data(), &domainSize, &use) ||
        use != SidTypeDomain) {
        return nullptr;
    }
    return sid;
}

// A copy of `sid` that outlives the map's next answer.
std::vector<BYTE> SidCopy(PSID sid) {
    return std::vector<BYTE>(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
}

bool IsBlank(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c != L' ' && c != L'\t' && c != L'\r' && c != L'\n') return false;
    }
    return true;
}

}  // namespace

DWORD CTavrik::AddRestoreNameMap(std::wstring from, std::wstring to) {
    if (from.empty() || to.empty()) return RTN_ERR_PARAMETER;
    m_restoreNameMaps.emplace_back(std::move(from), std::move(to));
    return RTN_OK;
}

DWORD CTavrik::AddSidSubstitution(std::wstring from, std::wstring to) {
    if (from.empty() || to.empty()) return RTN_ERR_PARAMETER;
    m_sidSubstitutions.emplace_back(std::move(from), std::move(to));
    return RTN_OK;
}

DWORD CTavrik::RestoreFromFile() {
    if (m_backupFileName.empty()) return RTN_ERR_NO_BACKUP_FILE;
    m_restoreTally = RestoreTally{};
    tavrik::ObjectNameMap nameMap;
    for (const auto& [from, to] : m_restoreNameMaps) {
        if (!nameMap.Add(from, to)) return RTN_ERR_PARAMETER;
    }
    // Every account is looked up before the first write, so a misspelt one
    // stops the restore before it changed anything.
    tavrik::SidMap sidMap;
    for (const auto& [from, to] : m_sidSubstitutions) {
        tavrik::LocalPtr<> oldSid = ResolveSidText(from), newSid = ResolveSidText(to);
        for (const auto* side : {&from, &to}) {
            if ((side == &from ? oldSid : newSid)) continue;
            OutputMessage(L"ERROR: The account <" + tavrik::DisplayableName(*side) + L"> of the SID map " + from +
                          L"=" + to + L" could not be resolved.");
            return RTN_ERR_RESOLVE_TRUSTEE;
        }
        const bool domain = tavrik::IsDomainSid(oldSid.get());
        if (domain != tavrik::IsDomainSid(newSid.get())) {
            OutputMessage(L"ERROR: The SID map " + from + L"=" + to +
                          L" maps a domain to an account or an account to a domain; map domain to domain or "
                          L"account to account.");
            return RTN_ERR_PARAMETER;
        }
        sidMap.Add(oldSid.get(), newSid.get(), domain);
    }

    if (m_backupFile) {
        fclose(m_backupFile);
        m_backupFile = nullptr;
    }
    m_backupFile = tavrik::OpenFileForReading(m_backupFileName);
    if (!m_backupFile) return RTN_ERR_OPEN_BACKUP_FILE;

    auto closeFile = [this] {
        if (m_backupFile) fclose(m_backupFile);
        m_backupFile = nullptr;
    };

    unsigned char mark[2] = {};
    if (fread(mark, 1, 2, m_backupFile) != 2) {
        closeFile();
        return RTN_ERR_READ_BACKUP_FILE;
    }
    auto encoding = tavrik::BackupLineReader::Encoding::Utf16Le;
    const std::wstring fileShown = tavrik::DisplayableName(m_backupFileName);
    if (mark[0] == 0xFF && mark[1] == 0xFE) {
        OutputMessage(L"Input file for restore operation: <" + fileShown + L"> detected as Unicode.");
    } else {
        OutputMessage(L"Input file for restore operation: <" + fileShown + L"> detected as ANSI.");
        closeFile();
        m_backupFile = tavrik::OpenFileForReading(m_backupFileName);
        if (!m_backupFile) return RTN_ERR_OPEN_BACKUP_FILE;
        encoding = tavrik::BackupLineReader::Encoding::EightBit;
    }

    DWORD result = RTN_OK;
    tavrik::BackupLineReader reader(m_backupFile, encoding);
    tavrik::BackupLine line;
    ConvertedTexts texts;
    std::optional<RecursiveWalkAnnouncement> announcement;
    if (m_restoreMode != RESTORE_VERIFY) announcement.emplace();
    // Each record's write asks for its privileges again; what the restore
    // switched on stays on until it ends.
    struct KeptPrivileges {
        CTavrik& job;
        explicit KeptPrivileges(CTavrik& running) : job(running) { job.m_keepEnabledPrivileges = true; }
        ~KeptPrivileges() {
            job.m_keepEnabledPrivileges = false;
            job.m_enabledPrivileges.clear();
        }
    } keptPrivileges(*this);
    // An undo file starts with its mark; its file records (and, in files
    // that record keys as they stand, its key records) are then put back as
    // they were recorded, when the host asks for that.
    bool firstRecord = true, asRecorded = false, keysAsRecorded = false;
    // A file whose mark says it records every object its job changed puts
    // each record back alone: what a directory hands down is not written
    // to the objects below it, which have their own records if the job
    // changed them (a job killed midway left the rest as they were).
    struct StoresAsGiven {
        StoresAsGiven() { AnnounceStoresAsGiven(TRUE); }
        ~StoresAsGiven() { AnnounceStoresAsGiven(FALSE); }
        StoresAsGiven(const StoresAsGiven&) = delete;
        StoresAsGiven& operator=(const StoresAsGiven&) = delete;
    };
    std::optional<StoresAsGiven> storesAsGiven;
    std::wstring mapped, mappedShown, announcing, shownRoom;
    tavrik::BackupEntry parsed;
    while (reader.ReadLine(line)) {
        // Blank lines (a hand-edited file) hold no entry.
        if (!line.overlong && !line.damaged && IsBlank(line.text)) continue;
        tavrik::ParseBackupEntry(line.text, &parsed);
        const tavrik::BackupEntry& entry = parsed;
        if (std::exchange(firstRecord, false) && !line.overlong && !line.damaged && tavrik::UndoFileVersion(entry)) {
            asRecorded = m_exactUndoRestore != FALSE;
            keysAsRecorded = asRecorded && tavrik::UndoFileVersion(entry) >= tavrik::kUndoFileKeysAsRecorded;
            if (asRecorded && tavrik::UndoFileVersion(entry) >= tavrik::kUndoFileEveryChangeRecorded) {
                storesAsGiven.emplace();
                m_everyChangeRecorded = true;
            }
            continue;
        }
        // Names come from the file: shown with their control characters
        // escaped, so a line cannot write to the console or forge log lines.
        const std::wstring& shown = tavrik::DisplayableName(entry.name, &shownRoom);

        if (IsFiltered(entry.name)) {
            OutputMessage(L"Omitting ACL of: <" + shown + L"> because a filter keyword matched.");
            continue;
        }
        // Where the record goes: its own name, or where --map moved it.
        // Without a map the record's own name and its shown form serve.
        if (!nameMap.Empty()) mapped = nameMap.Apply(entry.name);
        const bool moved = !nameMap.Empty() && mapped != entry.name;
        const std::wstring& target = moved ? mapped : entry.name;
        if (moved) mappedShown = tavrik::DisplayableName(target);
        const std::wstring& targetShown = moved ? mappedShown : shown;
        if (m_restoreMode != RESTORE_VERIFY) {
            // The announcement is built in room kept from record to record.
            announcing.assign(L"Restoring ACL of: <").append(targetShown).append(L">");
            OutputMessage(announcing);
        }
        if (target != entry.name) {
            OutputMessage(L"Info: The record of <" + shown + L"> goes to <" + targetShown + L">.");
        }
        // An object that had none of the parts the backup asked for (a SACL
        // backup of an object without a SACL) is stored with an empty
        // descriptor text. The record does not say which parts were asked
        // for, so there is nothing that could be written back.
        if (entry.noParts && !line.overlong && !line.damaged) {
            OutputMessage(L"Info: The backup holds none of the descriptor parts of <" + shown +
                          L">; nothing to restore for it.");
            continue;
        }
        // Only a line with the exact shape of a listing record may name an
        // object: a damaged line, a piece of an overlong one or a line that
        // merely resembles an entry could otherwise aim the write at another
        // object. A line that names nothing fails at the write as before.
        const bool refused = line.overlong || line.damaged || (!entry.name.empty() && !entry.exactShape);
        const AbsoluteDescriptor* built = nullptr;
        DWORD error = ERROR_INVALID_DATA;
        if (!refused) {
            // The error is taken only from this entry's own calls, never one
            // left over from an earlier call.
            SetLastError(ERROR_SUCCESS);
            built = texts.Descriptor(entry.sddl);
            if (!built && GetLastError() != ERROR_SUCCESS) error = GetLastError();
        }
        if (!built) {
            if (!m_ignoreErrors) {
                m_lastOsError = error;
                result = RTN_ERR_SD_CONVERT;
                OutputMessage(L"ERROR: Restoring ACL of <" + shown + L">: " + GetOSErrorText(error));
                break;
            }
            ReportObjectNotProcessed(L"ERROR: Restoring ACL of <" + shown + L">: " + GetOSErrorText(error));
            continue;
        }

        const SECURITY_INFORMATION info = built->info;

        // The SIDs the record names, moved where the SID map says; the
        // rewritten lists belong to `rewrite` until the write is done.
        PACL dacl = static_cast<PACL>(built->dacl.get());
        PACL sacl = static_cast<PACL>(built->sacl.get());
        PSID owner = built->owner.get();
        PSID group = built->group.get();
        CSD rewrite(this);
        std::vector<BYTE> newOwner, newGroup;
        if (!sidMap.Empty()) {
            rewrite.m_dacl = dacl;
            rewrite.m_sacl = sacl;
            auto substitute = [&sidMap](PSID sid) { return sidMap.Map(sid); };
            DWORD code = rewrite.SubstituteAceSids(ACL_DACL, substitute);
            if (code == RTN_OK) code = rewrite.SubstituteAceSids(ACL_SACL, substitute);
            if (code != RTN_OK) {
                m_lastOsError = rewrite.m_lastError;
                ReportObjectNotProcessed(L"ERROR: Moving the SIDs of the record of <" + shown +
                                         L">: " + GetOSErrorText(m_lastOsError));
                m_lastOsError = 0;
                continue;
            }
            dacl = rewrite.m_dacl;
            sacl = rewrite.m_sacl;
            if (PSID mapped = owner ? sidMap.Map(owner) : nullptr) {
                newOwner = SidCopy(mapped);
                owner = newOwner.data();
            }
            if (PSID mapped = group ? sidMap.Map(group) : nullptr) {
                newGroup = SidCopy(mapped);
                group = newGroup.data();
            }
        }

        if (m_restoreMode != RESTORE_ALL) {
            // The descriptor the record asks for, compared with the one the
            // object has.
            const SECURITY_INFORMATION parts = info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                       DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION);
            SECURITY_DESCRIPTOR wanted;
            InitializeSecurityDescriptor(&wanted, SECURITY_DESCRIPTOR_REVISION);
            if (parts & OWNER_SECURITY_INFORMATION) SetSecurityDescriptorOwner(&wanted, owner, FALSE);
            if (parts & GROUP_SECURITY_INFORMATION) SetSecurityDescriptorGroup(&wanted, group, FALSE);
            if (parts & DACL_SECURITY_INFORMATION) SetSecurityDescriptorDacl(&wanted, TRUE, dacl, FALSE);
            if (parts & SACL_SECURITY_INFORMATION) SetSecurityDescriptorSacl(&wanted, TRUE, sacl, FALSE);
            SECURITY_DESCRIPTOR_CONTROL recorded = 0;
            DWORD revision = 0;
            GetSecurityDescriptorControl(built->absolute.get(), &recorded, &revision);
            const SECURITY_DESCRIPTOR_CONTROL flags =
                SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED;
            SetSecurityDescriptorControl(&wanted, flags, recorded & flags);

            CSD live(this);
            const DWORD readCode = live.GetSD(target, entry.objectType, parts);
            if (readCode != RTN_OK && IsMissingObjectError(live.m_lastError)) {
                ++m_restoreTally.missing;
                if (m_recordObserver) m_recordObserver(target, entry.objectType, RECORD_MISSING, nullptr);
                if (m_restoreMode == RESTORE_VERIFY) {
                    OutputMessage(L"Missing: <" + targetShown + L">");
                    continue;
                }
            } else if (readCode != RTN_OK) {
                // Not readable: a verify cannot say; a restore writes it anyway.
                if (m_restoreMode == RESTORE_VERIFY) {
                    const DWORD error = live.m_lastError;
                    ReportObjectNotProcessed(L"ERROR reading SD of <" + targetShown + L">: " +
                                             (error != 0 ? GetOSErrorText(error) : GetReturnCodeText(readCode)));
                    continue;
                }
            } else {
                const tavrik::DescriptorDiff diff =
                    tavrik::DiffDescriptors(*this, entry.objectType, &wanted, live.m_sd, parts);
                const bool same = diff.Same();
                if (same) {
                    ++m_restoreTally.same;
                } else {
                    ++m_restoreTally.differs;
                }
                if (m_recordObserver) {
                    m_recordObserver(target, entry.objectType, same ? RECORD_SAME : RECORD_DIFFERS,
                                     same ? nullptr : &diff);
                }
                if (m_restoreMode == RESTORE_VERIFY) {
                    OutputMessage((same ? L"Same: <" : L"Differs: <") + targetShown + L">");
                    for (const auto& text : tavrik::DiffLines(diff, false)) OutputMessage(L"   " + text);
                    continue;
                }
                if (same) continue;
            }
        }

        auto sd = std::make_unique<CSD>(this);
        // The record names every part the write sets: the object's current
        // descriptor adds nothing to it.
        sd->TargetWithoutReading(target, entry.objectType);
        const bool writtenAsRecorded = asRecorded && (entry.objectType != SE_REGISTRY_KEY || keysAsRecorded);
        SECURITY_DESCRIPTOR_CONTROL recordedControl = 0;
        DWORD recordedRevision = 0;
        if (writtenAsRecorded) GetSecurityDescriptorControl(built->absolute.get(), &recordedControl, &recordedRevision);
        const DWORD code = writtenAsRecorded ? sd->SetSDAsRecorded(target, entry.objectType, info, dacl, sacl, owner,
                                                                   group, recordedControl)
                                             : sd->SetSD(target, entry.objectType, info, dacl, sacl, owner, group);
        m_lastOsError = sd->m_lastError;
        sd.reset();
        if (code != RTN_OK) {
            const std::wstring reason =
                m_lastOsError != 0 ? GetOSErrorText(m_lastOsError) : GetReturnCodeText(code);
            if (m_lastOsError == ERROR_ACCESS_DENIED || m_lastOsError == ERROR_FILE_NOT_FOUND || m_ignoreErrors ||
                (target != entry.name && IsMissingObjectError(m_lastOsError))) {
                ReportObjectNotProcessed(L"ERROR writing SD to <" + targetShown + L">: " + reason);
                m_lastOsError = 0;
                continue;
            }
            OutputMessage(L"ERROR writing SD to <" + targetShown + L">: " + reason);
            result = code;
            break;
        }
        ++m_restoreTally.written;
    }
    // What the restore left below its directories is propagated now, its
    // failures named before the summary.
    announcement.reset();

    if (m_restoreMode == RESTORE_VERIFY) {
        const DWORD total = m_restoreTally.same + m_restoreTally.differs + m_restoreTally.missing;
        OutputMessage(L"Verified " + std::to_wstring(total) + L" objects: " + std::to_wstring(m_restoreTally.same) +
                      L" same, " + std::to_wstring(m_restoreTally.differs) + L" differ, " +
                      std::to_wstring(m_restoreTally.missing) + L" missing.");
    } else if (m_restoreMode == RESTORE_CHANGED_ONLY) {
        OutputMessage(L"Wrote " + std::to_wstring(m_restoreTally.written) +
                      L" objects whose descriptors differed from the backup; left " +
                      std::to_wstring(m_restoreTally.same) + L" alone that matched it.");
    }

    // A read error is no end of file: the entries after it were never seen.
    if (result == RTN_OK && reader.Failed()) {
        m_lastOsError = ERROR_READ_FAULT;
        result = RTN_ERR_READ_BACKUP_FILE;
    }
    storesAsGiven.reset();
    m_everyChangeRecorded = false;
    closeFile();
    return result;
}
