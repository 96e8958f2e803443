#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "base/fd.h"

namespace quorvex {

// The name of user `uid`, or its number where it has none.
std::string UserName(uid_t uid);

// "PATH belongs to user NAME" when what `info` describes belongs to neither root nor the
// running user, who alone may be trusted with it; empty otherwise.
std::string ForeignOwner(const struct stat& info, const std::string& path);

// What opening a file beside the executable came to.
struct OpenedFile {
  Fd fd;  // not valid when the open failed; `error` then holds its errno
  int error = 0;
  std::string reached;   // the file that the links led to, or the directory missing on the way
  bool existed = false;  // something stood at `reached` before the open
  bool missingDirectory = false;  // `reached` is a directory on the way that does not exist
};

// Opens `name` in `dir` with `flags` (and `mode` if it creates the file), following links
// one at a time. Root runs this beside less trusted users, so each directory that holds
// the file or a link on the way must be changeable by root and the running user alone
// (owned by one of them, no group or world write bit unless sticky), and each link, and an
// existing file in a sticky directory, must belong to one of them and have no other link. Otherwise
// it raises a RunError (EPERM) "Refusing WHAT PATH: REASON" and opens, creates and truncates
// nothing. Each step opens what it checks, so nothing can be swapped between check and use.
OpenedFile OpenTrusted(const std::filesystem::path& dir, const std::string& name, int flags,
                       mode_t mode, std::string_view what);

// Opens directory `name` in `dir` by the same rule, which it must itself meet, since it will
// hold files; with a `mode`, makes it with exactly that mode when it is missing.
OpenedFile OpenTrustedDirectory(const std::filesystem::path& dir, const std::string& name,
                                mode_t mode, std::string_view what);

}  // namespace quorvex
