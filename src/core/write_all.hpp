// Writing a diagnostic straight to a file descriptor: no buffering that a crash or an abort could
// lose, and no allocation, so that it works when memory has run out.
#pragma once

#include <string_view>

namespace catenc {

// Writes all of `text`, retrying short writes and interruptions; errno tells why when it fails.
bool write_all(int fd, std::string_view text) noexcept;

}  // namespace catenc
