#include "winapi/files/step_write_locks.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace winapi {
namespace {

thread_local bool lastPlannedWriteChanged = false;

}  // namespace

bool LockFileAtStepRead() { return std::exchange(lastPlannedWriteChanged, false); }

void NotePlannedFileWrite(bool changed) { lastPlannedWriteChanged = changed; }

void LockNextStepRead() { lastPlannedWriteChanged = true; }

bool TakeFileWriteLock(int fd) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK) return false;
        ::usleep(5000);
    }
    return false;
}

}  // namespace winapi
