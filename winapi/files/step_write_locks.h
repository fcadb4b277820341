// The write lock of a file or directory taken at a walk step's read instead
// of at the step's write.
//
// Writers of a descriptor in this layer hold an exclusive flock on the
// object from their read to their write, so that two of them cannot lose
// each other's change. A walk step reads an object (the engine opens it and
// reads its descriptor), then writes it. Taken at the write, the lock comes
// too late for a change worked out from the step's read: another process
// may have written in between, and the step's write would put back a list
// without that process's entries. Taken at the read, on the descriptor the
// step keeps for its write (step_objects.h), the read already is under the
// lock, and a file's write needs no second read.
//
// A step whose file is left as it is (the same grant again, a listing)
// would pay a lock for nothing, so a read takes one only when the step
// before it wrote: a walk starts as if one had, a file's write counts when
// it changed the file, a directory's whenever it is made. A read uses up
// that mark. A job that changes its objects reads each under the lock; one
// that changes nothing takes a lock at its first read only.
//
// No process waits for a lock while it holds another at a read: the object
// kept from an earlier step is closed (and its lock with it) before the
// next read takes one, and before a listed directory is brought up to date.
#pragma once

namespace winapi {

// Whether a read in a walk step should take the write lock now: the step
// before wrote (or the walk has just started). Asking uses up the answer.
bool LockFileAtStepRead();

// A write of a file planned from its step's read turned out to change the
// file (or to leave it as it was).
void NotePlannedFileWrite(bool changed);

// The next step read of this thread takes the lock: a walk that may write
// starts, or a directory was written.
void LockNextStepRead();

// Takes the exclusive write lock on `fd`, which must be open for reading,
// waiting a second at most for another process to drop it (so no user can
// stop a job by holding one). False when not taken; errno tells why
// (EBADF for an O_PATH descriptor, EWOULDBLOCK when the wait ran out).
bool TakeFileWriteLock(int fd);

}  // namespace winapi
