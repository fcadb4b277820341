// The write lock of a file taken at a walk step's read instead of at the
// step's write.
//
// Writers of a descriptor in this layer hold an exclusive flock on the
// object from their read to their write, so that two of them cannot lose
// each other's change. A walk step reads a file (the engine opens it and
// reads its descriptor), then writes it; taken at the write, the lock
// costs the write a second read of the attribute under it, to see whether
// another process wrote in between. Taken at the read, on the descriptor
// the step keeps for its write (step_objects.h), the read already is under
// the lock and the write needs no second one. A step whose file is left as
// it is (the same grant again) then paid a lock for nothing, so the lock
// is taken at the read only while the step before changed its file: a job
// that changes its files pays no second read, one that changes nothing no
// lock.
//
// No process waits for a lock while it holds another at a read: the object
// kept from an earlier step is closed (and its lock with it) before the
// next read takes one.
#pragma once

namespace winapi {

// Whether a read of a regular file in a walk step should take the write
// lock now: the last planned write of a file in this thread changed it.
bool LockFileAtStepRead();

// A write of a file planned from its step's read turned out to change the
// file (or to leave it as it was).
void NotePlannedFileWrite(bool changed);

// Takes the exclusive write lock on `fd`, which must be open for reading,
// waiting a second at most for another process to drop it (so no user can
// stop a job by holding one). False when not taken; errno tells why
// (EBADF for an O_PATH descriptor, EWOULDBLOCK when the wait ran out).
bool TakeFileWriteLock(int fd);

}  // namespace winapi
