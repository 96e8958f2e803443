#pragma once

#include <string_view>

namespace quorvex {

// Writes all of `bytes` to `fd`, going on after interruptions by signals. Returns 0, or
// the errno of the write that failed (EIO for a write that took nothing).
int WriteAll(int fd, std::string_view bytes);

}  // namespace quorvex
