// The provider behind the machine-relative and domain SDDL aliases.
#include <mutex>

#include "winapi/sddl/sddl_context.h"
#include "winapi/security/string_sid.h"

namespace winapi {
namespace {

// Stands in for the computer until the simulated one opens and installs its
// own provider, so that LA and LG resolve even in a bare process.
const SddlDomainContext& DefaultContext() {
    static const SddlDomainContext context = [] {
        SddlDomainContext fixed;
        fixed.machineSid = *ParseSidText(L"S-1-5-21-1004336348-1177238915-682003330");
        return fixed;
    }();
    return context;
}

std::mutex& ProviderMutex() {
    static std::mutex mutex;
    return mutex;
}

SddlDomainProvider& InstalledProvider() {
    static SddlDomainProvider provider;
    return provider;
}

}  // namespace

void SetSddlDomainProvider(SddlDomainProvider provider) {
    std::lock_guard<std::mutex> lock(ProviderMutex());
    InstalledProvider() = std::move(provider);
}

SddlDomainContext CurrentSddlDomainContext() {
    SddlDomainProvider provider;
    {
        std::lock_guard<std::mutex> lock(ProviderMutex());
        provider = InstalledProvider();
    }
    // Called outside the lock: a provider may itself consult the machine,
    // which may install a provider of its own.
    if (!provider) return DefaultContext();
    return provider();
}

}  // namespace winapi
