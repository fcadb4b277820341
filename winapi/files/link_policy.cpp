#include "winapi/files/link_policy.h"

#include <atomic>

namespace winapi {
namespace {

std::atomic<bool>& Refused() {
    static std::atomic<bool> refused{false};
    return refused;
}

}  // namespace

void SetDirectoryLinksRefused(bool refused) { Refused().store(refused); }

bool DirectoryLinksRefused() { return Refused().load(std::memory_order_relaxed); }

}  // namespace winapi
