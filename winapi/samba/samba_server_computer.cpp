// `tavrik machine init --from-samba`: the simulated computer becomes the
// Samba server Tavrik runs on.
#include <stdexcept>

#include "winapi/machine/admin.h"
#include "winapi/machine/network_records.h"
#include "winapi/samba/samba_config.h"
#include "winapi/machine/sid_text.h"
#include "winapi/machine/store.h"
#include "winapi/machine/text.h"
#include "winapi/samba/winbind.h"

namespace winapi::machine {

std::wstring InitializeFromSamba(const std::string& configPath) {
    const SambaIdentity identity = ReadSambaIdentity(configPath);
    const std::vector<SambaShare> shares = ReadSambaShares(configPath, false);
    {
        std::lock_guard guard(MachineLock());
        if (!AllComputers().empty()) {
            throw std::runtime_error("the network in " + CurrentStore().Path() + " already has computers");
        }
    }
    ComputerSpec computer;
    computer.name = FromUtf8(identity.netbiosName);
    computer.local = true;
    if (auto sid = WinbindOwnDomainSid()) computer.machineSid = FormatSid(*sid);
    AddComputer(computer);
    for (const SambaShare& share : shares) AddShare(computer.name, FromUtf8(share.name), share.path);
    SetSambaConfiguration(configPath);
    return computer.name;
}

}  // namespace winapi::machine
