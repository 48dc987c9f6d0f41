// label_encode against the plain algorithm a reader would write first: sort every row's view,
// drop adjacent duplicates, number the distinct ordinary labels, and binary-search each row.
// Both run on the same pool, so the plain one gets the parallel sort and parallel lookups too;
// the comparison is about the algorithm, not about threads.
//
// Prints medians only; times are never checked against anything, so the exit status says
// nothing about speed. Usage: label_encode_bench [repetitions]
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "label.hpp"
#include "label_encode.hpp"
#include "pool.hpp"
#include "pool_ops.hpp"

using catenc::Label;
using catenc::Status;
namespace pool = catenc::pool;

namespace {

constexpr size_t row_count = 1'000'000;
constexpr size_t cardinalities[] = {10, 1'000, 1'000'000};
constexpr size_t thread_counts[] = {1, 2};
constexpr uint64_t seed = 0x5eed'cafe'f00d'1234ULL;
// One row in twenty is the marker, enough that skipping it is exercised on every path.
constexpr uint64_t marker_one_in = 20;

// splitmix64 rather than <random>'s distributions, whose output differs between standard
// libraries: the same seed should mean the same data everywhere.
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

struct Column {
  std::vector<std::string> vocabulary;  // owns the bytes the views point into
  std::vector<Label> labels;
  size_t distinct_ordinary = 0;
  size_t marker_rows = 0;
};

// Rows drawn from `cardinality` distinct random strings of 5 to 20 characters. When the
// cardinality reaches the row count, row i takes string i, so nearly every row is distinct
// (instead of the ~63% that uniform draws would leave).
Column make_column(size_t cardinality) {
  static constexpr char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  SplitMix random{seed ^ cardinality};
  Column column;
  column.vocabulary.reserve(cardinality);
  std::unordered_set<std::string> seen;
  seen.reserve(cardinality);
  while (column.vocabulary.size() < cardinality) {
    std::string text(5 + random.below(16), '\0');
    for (char& c : text) c = alphabet[random.below(sizeof alphabet - 1)];
    if (seen.insert(text).second) column.vocabulary.push_back(std::move(text));
  }

  static const std::string marker = "nan";
  std::vector<unsigned char> used(cardinality, 0);
  column.labels.reserve(row_count);
  for (size_t r = 0; r < row_count; ++r) {
    if (random.below(marker_one_in) == 0) {
      column.labels.push_back(marker);
      ++column.marker_rows;
      continue;
    }
    const size_t index = cardinality >= row_count ? r : random.below(cardinality);
    column.labels.push_back(column.vocabulary[index]);
    used[index] = 1;
  }
  column.distinct_ordinary = static_cast<size_t>(std::count(used.begin(), used.end(), 1));
  return column;
}

std::vector<double> plain_encode(std::span<const Label> labels) {
  std::vector<Label> sorted(labels.begin(), labels.end());
  if (!pool::sort_unstable(std::span<Label>(sorted), std::less<Label>())) std::abort();
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  std::vector<Label> ordinary;
  ordinary.reserve(sorted.size());
  for (const Label label : sorted) {
    if (!catenc::is_missing_marker(label)) ordinary.push_back(label);
  }

  std::vector<double> codes(labels.size());
  const Status status = pool::for_range(labels.size(), 4096, [&](size_t lo, size_t hi) -> Status {
    for (size_t r = lo; r < hi; ++r) {
      const Label label = labels[r];
      if (catenc::is_missing_marker(label)) {
        codes[r] = catenc::missing_code();
        continue;
      }
      const auto found = std::lower_bound(ordinary.begin(), ordinary.end(), label);
      codes[r] = static_cast<double>(found - ordinary.begin());
    }
    return {};
  });
  if (!status) std::abort();
  return codes;
}

std::vector<double> ours_encode(std::span<const Label> labels) {
  auto encoded = catenc::label_encode(labels);
  if (!encoded) std::abort();
  return std::move(encoded->codes);
}

// Bit for bit, so that a NaN other than the missing one would count as a difference.
void require_same_codes(const std::vector<double>& ours, const std::vector<double>& plain,
                        size_t cardinality, size_t threads) {
  const size_t n = std::min(ours.size(), plain.size());
  for (size_t r = 0; r < n; ++r) {
    if (std::bit_cast<uint64_t>(ours[r]) != std::bit_cast<uint64_t>(plain[r])) {
      std::fprintf(stderr, "cardinality %zu threads %zu: row %zu coded %g by ours, %g by plain\n",
                   cardinality, threads, r, ours[r], plain[r]);
      std::abort();
    }
  }
  if (ours.size() != plain.size()) {
    std::fprintf(stderr, "cardinality %zu threads %zu: %zu codes by ours, %zu by plain\n",
                 cardinality, threads, ours.size(), plain.size());
    std::abort();
  }
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Milliseconds for one call; freeing its result stays outside the clock, as a caller would keep it.
template <class Encode>
double time_once(Encode encode, std::span<const Label> labels) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<double> codes = encode(labels);
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::milli>(stop - start).count();
}

struct Medians {
  double ours = 0;
  double plain = 0;
};

Medians run_case(const Column& column, size_t cardinality, size_t threads, int repetitions) {
  const std::span<const Label> labels(column.labels);
  Medians result;
  pool::ThreadPool workers(threads);
  const Status status = workers.install([&]() -> Status {
    // The check doubles as a warm-up for both contenders.
    require_same_codes(ours_encode(labels), plain_encode(labels), cardinality, threads);
    // Interleaved, so that drift in machine load hits both alike.
    std::vector<double> ours_ms, plain_ms;
    for (int i = 0; i < repetitions; ++i) {
      ours_ms.push_back(time_once(ours_encode, labels));
      plain_ms.push_back(time_once(plain_encode, labels));
    }
    result = {median(ours_ms), median(plain_ms)};
    return {};
  });
  if (!status) std::abort();
  return result;
}

const char* verdict(bool met) {
  return met ? "met" : "MISSED";
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  std::printf(
      "label_encode vs sort-every-row: %zu rows, labels of 5-20 chars, ~1 in %llu the "
      "marker \"nan\", median of %d runs\n",
      row_count, static_cast<unsigned long long>(marker_one_in), repetitions);

  constexpr size_t case_cardinalities = std::size(cardinalities);
  constexpr size_t case_threads = std::size(thread_counts);
  Medians medians[case_cardinalities][case_threads];
  for (size_t c = 0; c < case_cardinalities; ++c) {
    const Column column = make_column(cardinalities[c]);
    std::printf("data  cardinality %zu: %zu distinct labels besides the marker, %zu marker rows\n",
                cardinalities[c], column.distinct_ordinary, column.marker_rows);
    for (size_t t = 0; t < case_threads; ++t) {
      const Medians m = run_case(column, cardinalities[c], thread_counts[t], repetitions);
      medians[c][t] = m;
      std::printf("cardinality %zu  threads %zu  ours %.1f ms  plain %.1f ms  ratio %.2f\n",
                  cardinalities[c], thread_counts[t], m.ours, m.plain, m.ours / m.plain);
      std::fflush(stdout);
    }
  }
  for (size_t c = 0; c < case_cardinalities; ++c) {
    std::printf("speedup ours 2 vs 1 threads  cardinality %zu  %.2fx\n", cardinalities[c],
                medians[c][0].ours / medians[c][1].ours);
  }

  // Goals reported for the reader; a miss does not change the exit status.
  const Medians& mid_1 = medians[1][0];
  const Medians& high_1 = medians[2][0];
  const double mid_speedup = medians[1][0].ours / medians[1][1].ours;
  std::printf("goal  1 thread, cardinality 1000: ours <= 0.4 x plain: %.2f  %s\n",
              mid_1.ours / mid_1.plain, verdict(mid_1.ours <= 0.4 * mid_1.plain));
  std::printf("goal  1 thread, cardinality 1000000: ours <= 1.2 x plain: %.2f  %s\n",
              high_1.ours / high_1.plain, verdict(high_1.ours <= 1.2 * high_1.plain));
  std::printf("goal  cardinality 1000: ours 2 threads >= 1.5x faster than 1: %.2fx  %s\n",
              mid_speedup, verdict(mid_speedup >= 1.5));
  return 0;
}
