// The kernels of NumPy's fixed-width text and datetime64 columns, end to end (deduplication,
// texts of the distinct cells, codes of every row), in nanoseconds per cell.
//
// Prints medians only; times are never checked against anything, so the exit status says
// nothing about speed. Usage: numpy_column_bench [repetitions [name filter]]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "date_column.hpp"
#include "fixed_text_column.hpp"
#include "pool.hpp"

using catenc::Status;
namespace pool = catenc::pool;

namespace {

constexpr size_t row_count = 1'000'000;
constexpr uint64_t seed = 0x5eed'cafe'f00d'1234ULL;

// splitmix64, as in label_encode_bench: the same seed gives the same data everywhere.
struct SplitMix {
  uint64_t state;
  uint64_t next() noexcept {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) noexcept { return static_cast<size_t>(next() % n); }
};

// Cells of `width` characters (fewer for some, NUL-padded), drawn from `cardinality` distinct
// ASCII texts, as UCS-4 (4 bytes a character) or bytes.
std::vector<char> text_cells(size_t cardinality, size_t width, bool ucs4) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  SplitMix random{seed ^ cardinality ^ width};
  std::vector<std::string> vocabulary(cardinality);
  for (size_t k = 0; k < cardinality; ++k) {
    // The index in base 62 first keeps the texts distinct.
    std::string& text = vocabulary[k];
    for (size_t n = k; text.size() < width; n /= 62) {
      text += n > 0 || text.empty() ? alphabet[n % 62] : alphabet[random.below(62)];
    }
  }
  const size_t unit = ucs4 ? 4 : 1;
  std::vector<char> cells(row_count * width * unit, 0);
  for (size_t r = 0; r < row_count; ++r) {
    const std::string& text = vocabulary[cardinality >= row_count ? r : random.below(cardinality)];
    for (size_t i = 0; i < text.size(); ++i) cells[(r * width + i) * unit] = text[i];
  }
  return cells;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double thread_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Nanoseconds per cell of one run of the work `make` builds, median of `repetitions`. On one
// thread the work runs on the caller, so its processor time is given too: on a machine shared
// with other work it is the steadier number.
struct Times {
  double wall;
  double cpu;
};

Times time_work(const std::function<std::unique_ptr<catenc::ColumnWork>()>& make, size_t threads,
                int repetitions) {
  std::vector<double> out(row_count);
  std::vector<double> times;
  std::vector<double> cpu_times;
  pool::ThreadPool workers(threads);
  const Status status = workers.install([&]() -> Status {
    for (int i = 0; i <= repetitions; ++i) {
      auto work = make();
      const double cpu_start = thread_seconds();
      const auto start = std::chrono::steady_clock::now();
      if (!work->run(out.data(), 1)) std::abort();
      const auto stop = std::chrono::steady_clock::now();
      const double cpu_stop = thread_seconds();
      // The first run warms the pages and caches.
      if (i == 0) continue;
      times.push_back(std::chrono::duration<double, std::nano>(stop - start).count());
      cpu_times.push_back((cpu_stop - cpu_start) * 1e9);
    }
    return {};
  });
  if (!status) std::abort();
  const auto rows = static_cast<double>(row_count);
  return {median(times) / rows, threads == 1 ? median(cpu_times) / rows : 0};
}

void print(const char* name, size_t threads, Times t) {
  if (threads == 1) {
    std::printf("%-26s threads 1  %7.2f ns per cell (processor time %.2f)\n", name, t.wall, t.cpu);
  } else {
    std::printf("%-26s threads %zu  %7.2f ns per cell\n", name, threads, t.wall);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const char* filter = argc > 2 ? argv[2] : "";
  std::printf("NumPy column kernels: %zu rows, median of %d runs, ns per cell\n", row_count,
              repetitions);
  const struct {
    const char* name;
    catenc::FixedTextKind kind;
    size_t width;
    size_t cardinality;
  } texts[] = {
      {"<U5, 1,000 distinct", catenc::FixedTextKind::ucs4_little, 5, 1000},
      {">U5, 1,000 distinct", catenc::FixedTextKind::ucs4_big, 5, 1000},
      {"S5, 1,000 distinct", catenc::FixedTextKind::bytes, 5, 1000},
      {"<U12, 1,000 distinct", catenc::FixedTextKind::ucs4_little, 12, 1000},
      {"S12, 1,000 distinct", catenc::FixedTextKind::bytes, 12, 1000},
      {"<U8, 1,000,000 distinct", catenc::FixedTextKind::ucs4_little, 8, row_count},
      {"<U12, 1,000,000 distinct", catenc::FixedTextKind::ucs4_little, 12, row_count},
  };
  for (const auto& t : texts) {
    if (std::strstr(t.name, filter) == nullptr) continue;
    const bool ucs4 = t.kind != catenc::FixedTextKind::bytes;
    std::vector<char> cells = text_cells(t.cardinality, t.width, ucs4);
    if (t.kind == catenc::FixedTextKind::ucs4_big) {
      for (size_t i = 0; i + 4 <= cells.size(); i += 4) std::reverse(&cells[i], &cells[i + 4]);
    }
    const size_t itemsize = t.width * (ucs4 ? 4 : 1);
    const catenc::FixedTextSource source{cells.data(), static_cast<ptrdiff_t>(itemsize), row_count,
                                         itemsize, t.kind};
    for (const size_t threads : {1, 2}) {
      print(t.name, threads,
            time_work([&] { return catenc::fixed_text_work(source); }, threads, repetitions));
    }
  }

  const struct {
    const char* name;
    catenc::NumpyTimeType type;
    bool duration;
    size_t cardinality;
  } dates[] = {
      {"M8[s], 1,000 distinct", {catenc::NumpyTimeUnit::s, 1}, false, 1000},
      {"M8[D], 1,000 distinct", {catenc::NumpyTimeUnit::D, 1}, false, 1000},
      {"m8[s], 1,000 distinct", {catenc::NumpyTimeUnit::s, 1}, true, 1000},
      {"M8[ns], numbers only", {catenc::NumpyTimeUnit::ns, 1}, false, row_count},
  };
  for (const auto& d : dates) {
    if (std::strstr(d.name, filter) == nullptr) continue;
    SplitMix random{seed ^ d.cardinality};
    std::vector<int64_t> values(row_count);
    for (size_t r = 0; r < row_count; ++r) {
      values[r] = static_cast<int64_t>(random.below(d.cardinality) * 86399) + 1600000000;
    }
    const catenc::NumpyDateSource source{reinterpret_cast<const char*>(values.data()),
                                         8,
                                         row_count,
                                         d.type,
                                         d.duration,
                                         catenc::NumpyRelease::from_2_2};
    for (const size_t threads : {1, 2}) {
      print(d.name, threads,
            time_work([&] { return catenc::numpy_date_work(source); }, threads, repetitions));
    }
  }
  return 0;
}
