#include "label_hash.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <new>

namespace catenc {

namespace {

// Fills `out` from getrandom(), or from /dev/urandom where the kernel lacks it. Never blocks for
// entropy: early in boot getrandom() would, and CPython makes the same choice for its str key.
bool read_system_random(unsigned char* out, size_t size) noexcept {
  // Calls read(place, count) until `size` bytes are in, a call fails or gives nothing.
  const auto fill = [&](auto read) {
    size_t done = 0;
    while (done < size) {
      const ssize_t got = read(out + done, size - done);
      if (got > 0) {
        done += static_cast<size_t>(got);
      } else if (!(got < 0 && errno == EINTR)) {
        break;
      }
    }
    return done == size;
  };
  if (fill([](unsigned char* place, size_t count) {
        return getrandom(place, count, GRND_NONBLOCK);
      }))
    return true;
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool filled =
      fill([fd](unsigned char* place, size_t count) { return ::read(fd, place, count); });
  ::close(fd);
  return filled;
}

uint64_t splitmix(uint64_t& state) noexcept {
  uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Without a system source, a key no outsider can guess ahead: clocks, the process id and
// addresses that address-space randomisation moves.
LabelHashKey fallback_key() noexcept {
  timespec real{}, mono{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  int on_stack = 0;
  uint64_t state =
      static_cast<uint64_t>(real.tv_sec) * 1000000007ULL ^ static_cast<uint64_t>(real.tv_nsec) ^
      (static_cast<uint64_t>(mono.tv_nsec) << 32) ^ static_cast<uint64_t>(getpid()) << 16 ^
      reinterpret_cast<uintptr_t>(&on_stack) ^ reinterpret_cast<uintptr_t>(&fallback_key);
  LabelHashKey key{};
  for (uint64_t& word : key.words) word = splitmix(state);
  return key;
}

LabelHashKey draw_key() noexcept {
  LabelHashKey key{};
  if (read_system_random(reinterpret_cast<unsigned char*>(key.words), sizeof key.words)) {
    return key;
  }
  return fallback_key();
}

// A key that tests set. Leaked on purpose: an encoding on another thread may still be copying
// the previous one when a test sets the next (tests do not, but nothing here may dangle if so).
std::atomic<const LabelHashKey*> testing_key{nullptr};

}  // namespace

LabelHashKey label_hash_key() noexcept {
  if (const LabelHashKey* key = testing_key.load(std::memory_order_acquire)) return *key;
  // Initialised once, on first use, under the guard that the language gives function statics.
  static const LabelHashKey process_key = draw_key();
  return process_key;
}

namespace detail {

void set_label_hash_key_for_testing(const LabelHashKey& key) noexcept {
  testing_key.store(new (std::nothrow) LabelHashKey(key), std::memory_order_release);
}

void reset_label_hash_key_for_testing() noexcept {
  testing_key.store(nullptr, std::memory_order_release);
}

}  // namespace detail

}  // namespace catenc
