// The provider behind the machine-relative and domain SDDL aliases.
#include <atomic>
#include <cstdint>
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

// Moves on whenever the provider's answer may have changed; a thread's kept
// context is used only while it matches.
std::atomic<std::uint64_t>& ContextGeneration() {
    static std::atomic<std::uint64_t> generation{1};
    return generation;
}

}  // namespace

void SetSddlDomainProvider(SddlDomainProvider provider) {
    {
        std::lock_guard<std::mutex> lock(ProviderMutex());
        InstalledProvider() = std::move(provider);
    }
    ForgetSddlDomainContext();
}

void ForgetSddlDomainContext() { ContextGeneration().fetch_add(1, std::memory_order_acq_rel); }

const SharedSddlDomainContext& KeptSddlDomainContext() {
    thread_local std::uint64_t keptGeneration = 0;
    thread_local SharedSddlDomainContext kept;
    const std::uint64_t generation = ContextGeneration().load(std::memory_order_acquire);
    if (generation != keptGeneration || !kept) {
        // The generation is read before the provider is asked: a change that
        // lands meanwhile moves it on, and the next call asks again.
        kept = std::make_shared<const SddlDomainContext>(CurrentSddlDomainContext());
        keptGeneration = generation;
    }
    return kept;
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
