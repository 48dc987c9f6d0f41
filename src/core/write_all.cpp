#include "write_all.hpp"

#include <unistd.h>

#include <cerrno>

namespace catenc {

bool write_all(int fd, std::string_view text) noexcept {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace catenc
