#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvex {

// The I/O steps every layer shares. Each returns what it came to: 0, or the errno of the
// call that failed; interruptions by signals are gone on from.

// Writes all of `bytes` to `fd` (EIO for a write that took nothing).
int WriteAll(int fd, std::string_view bytes);
// Reads `fd` to its end into `bytes`, but no more than one byte past `limit`, so that a
// caller sees a file that grew past it without holding the rest.
int ReadAtMost(int fd, size_t limit, std::string& bytes);
// Takes `fd`'s exclusive flock without waiting: EWOULDBLOCK when another holds it, which
// callers tell apart from a lock that failed.
int LockExclusive(int fd);
// Takes `fd`'s shared flock without waiting, EWOULDBLOCK as above.
int LockShared(int fd);
// Takes a write lock on the first byte of `fd` (open for writing) without waiting, an
// open-file-description lock that flock's locks on the same file neither see nor block:
// EWOULDBLOCK when another description holds it.
int LockFirstByte(int fd);

// The process that holds a flock on the file behind `path`, as /proc/locks names it; 0 when
// none does or it cannot be told.
long FlockHolder(const std::string& path);
// The same, read from the text of /proc/locks for the file of that device and inode.
long FlockHolderIn(std::string_view locks, unsigned long device, unsigned long inode);

}  // namespace quorvex
