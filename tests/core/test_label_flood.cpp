// Hash floods: labels crafted to collide under a known key must cost O(n log n) work, not
// O(n^2), on every path of label_encode, and the set that gives up hashing must number labels
// exactly as the hashing one does. Work is counted (slots probed plus labels compared), not timed.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "distinct_set.hpp"
#include "label_encode.hpp"
#include "label_hash.hpp"
#include "pool.hpp"

using catenc::Label;
using catenc::LabelHashKey;

namespace {

constexpr LabelHashKey test_key = {
    {0x243f6a8885a308d3ULL, 0x13198a2e03707344ULL, 0xa4093822299f31d0ULL, 0x082efa98ec4e6c89ULL}};
constexpr LabelHashKey other_key = {
    {0x452821e638d01377ULL, 0xbe5466cf34e90c6cULL, 0xc0ac29b7c97c50ddULL, 0x3f84d5b5b5470917ULL}};

void put64(std::string& bytes, size_t at, uint64_t value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}
void put32(std::string& bytes, size_t at, uint32_t value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

// Labels whose 64-bit hashes under `key` are all equal, two families of them:
// - 16 bytes: the short form multiplies (a ^ key1) by (b ^ seed), where a is read from bytes 0-3
//   and 8-11 and b from bytes 12-15 and 4-7. With a = key1 the product is zero whatever b is.
// - 48 bytes: the first 16-byte block multiplies (word0 ^ key1) by (word1 ^ seed); with word0 =
//   key1 it wipes the running state, so word1 (bytes 8-15) no longer matters.
// Label i of a family differs from the others in the free bytes only.
std::vector<std::string> colliding_labels(const LabelHashKey& key, size_t count) {
  const uint64_t key1 = key.words[1];
  std::vector<std::string> labels;
  labels.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (i % 2 == 0) {
      std::string label(16, 'q');
      put32(label, 0, static_cast<uint32_t>(key1 >> 32));
      put32(label, 8, static_cast<uint32_t>(key1));
      put32(label, 4, static_cast<uint32_t>(i));
      put32(label, 12, static_cast<uint32_t>(i >> 32));
      labels.push_back(std::move(label));
    } else {
      std::string label(48, 'w');
      put64(label, 0, key1);
      put64(label, 8, i);
      labels.push_back(std::move(label));
    }
  }
  return labels;
}

static_assert(catenc::detail::count_dedup_work,
              "the tests build the core with CATENC_COUNT_DEDUP_WORK=1");

// Work of everything `run` does with distinct sets, counted when they are destroyed.
template <class Run>
uint64_t work_of(Run run) {
  const uint64_t before = catenc::detail::distinct_set_work.load();
  run();
  return catenc::detail::distinct_set_work.load() - before;
}

// The plain algorithm: sort, drop duplicates, number the ordinary labels, binary-search rows.
std::vector<double> plain_codes(const std::vector<Label>& labels) {
  std::vector<Label> distinct = labels;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::erase_if(distinct, catenc::is_missing_marker);
  std::vector<double> codes(labels.size());
  for (size_t r = 0; r < labels.size(); ++r) {
    const auto at = std::lower_bound(distinct.begin(), distinct.end(), labels[r]);
    codes[r] = at != distinct.end() && *at == labels[r] ? static_cast<double>(at - distinct.begin())
                                                        : catenc::missing_code();
  }
  return codes;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
           return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
         });
}

// Sets the test key for one scope and puts the process key back after it.
struct TestKey {
  explicit TestKey(const LabelHashKey& key) { catenc::detail::set_label_hash_key_for_testing(key); }
  ~TestKey() { catenc::detail::reset_label_hash_key_for_testing(); }
};

}  // namespace

TEST(label_flood_crafted_labels_collide_only_under_their_key) {
  const std::vector<std::string> labels = colliding_labels(test_key, 1000);
  const catenc::LabelHasher hash(test_key);
  const catenc::LabelHasher other(other_key);
  std::set<uint64_t> under_test_key, under_other_key;
  for (const std::string& label : labels) {
    under_test_key.insert(hash(label));
    under_other_key.insert(other(label));
  }
  // One hash per family: full 64-bit collisions, not only in the slot index or the tag.
  CHECK_EQ(under_test_key.size(), size_t{2});
  CHECK_EQ(under_other_key.size(), labels.size());
  // The key reaches past the first block: labels that differ only in their third block, or only
  // in their last byte, do not collide either.
  const catenc::LabelHasher process(catenc::label_hash_key());
  std::set<uint64_t> tails;
  for (size_t i = 0; i < 1000; ++i) {
    std::string label(48, 'x');
    put64(label, 32, i);
    tails.insert(process(label));
    std::string text = "label " + std::to_string(i);
    tails.insert(process(text));
  }
  CHECK_EQ(tails.size(), size_t{2000});
}

TEST(label_flood_process_key_is_random_and_fixed) {
  const LabelHashKey first = catenc::label_hash_key();
  const LabelHashKey again = catenc::label_hash_key();
  CHECK(std::memcmp(&first, &again, sizeof first) == 0);
  const LabelHashKey zero{};
  CHECK(std::memcmp(&first, &zero, sizeof first) != 0);
  {
    TestKey key(test_key);
    CHECK(std::memcmp(catenc::label_hash_key().words, test_key.words, sizeof test_key.words) == 0);
  }
  const LabelHashKey after = catenc::label_hash_key();
  CHECK(std::memcmp(&first, &after, sizeof first) == 0);
}

TEST(label_flood_distinct_set_numbers_labels_in_order_of_first_sight) {
  // Ordinary labels, crafted ones, and repeats of both, interleaved; a set that gives up hashing
  // part way must hand out the indices that first sight gives.
  std::mt19937_64 random(3);
  const std::vector<std::string> crafted = colliding_labels(test_key, 3000);
  std::vector<std::string> rows;
  for (size_t i = 0; i < 20000; ++i) {
    const size_t pick = random() % 4;
    if (pick == 0) {
      rows.push_back(crafted[random() % crafted.size()]);
    } else {
      rows.push_back("ordinary " + std::to_string(random() % 5000));
    }
  }
  std::map<std::string, uint32_t> first_sight;
  std::vector<uint32_t> expected;
  for (const std::string& row : rows) {
    expected.push_back(
        first_sight.emplace(row, static_cast<uint32_t>(first_sight.size())).first->second);
  }

  const catenc::LabelHasher hash(test_key);
  for (const size_t expected_size : {size_t{0}, size_t{100000}}) {
    catenc::DistinctSet set(expected_size, hash);
    std::vector<uint32_t> got;
    for (const std::string& row : rows) got.push_back(set.insert(row, hash(row)));
    CHECK(set.is_ordered());
    CHECK(got == expected);
    CHECK_EQ(set.size(), first_sight.size());
    const catenc::BigVector<Label> entries = std::move(set).take_entries();
    bool in_order = entries.size() == first_sight.size();
    for (size_t i = 0; in_order && i < entries.size(); ++i) {
      in_order = first_sight.at(std::string(entries[i])) == i;
    }
    CHECK(in_order);
  }

  // Ordinary labels never make it give up, however many.
  std::vector<std::string> ordinary(1000000);
  for (size_t i = 0; i < ordinary.size(); ++i) ordinary[i] = std::to_string(i * 7919);
  catenc::DistinctSet set(0, hash);
  for (const std::string& label : ordinary) set.insert(label, hash(label));
  CHECK(!set.is_ordered());
  CHECK_EQ(set.size(), ordinary.size());
}

TEST(label_flood_costs_n_log_n_on_every_path) {
  TestKey key(test_key);
  // Columns of crafted labels, alone and mixed with ordinary ones and repeats, sized for each
  // path: all distinct beyond 65,536 goes to partitions of rows (where every crafted row lands in
  // one partition); 60,000 distinct to chunks, each repeated thrice so that the chunks' merge is
  // split into partitions too on several threads. Without the bound each would cost on the order
  // of n^2 / 4 probes: 10^9 for the smallest.
  struct Shape {
    const char* name;
    size_t crafted;
    size_t ordinary;
    size_t repeats;
  };
  const Shape shapes[] = {
      {"row partitions", 100000, 0, 1},
      {"row partitions, mixed", 60000, 40000, 1},
      {"chunks", 60000, 0, 1},
      {"chunks merged in partitions", 60000, 0, 3},
  };
  std::mt19937_64 random(5);
  for (const Shape& shape : shapes) {
    std::vector<std::string> vocabulary = colliding_labels(test_key, shape.crafted);
    for (size_t i = 0; i < shape.ordinary; ++i)
      vocabulary.push_back("ordinary " + std::to_string(i));
    std::vector<Label> labels;
    for (size_t k = 0; k < shape.repeats; ++k)
      labels.insert(labels.end(), vocabulary.begin(), vocabulary.end());
    std::shuffle(labels.begin(), labels.end(), random);
    const std::vector<double> expected = plain_codes(labels);
    const double n = static_cast<double>(labels.size());
    const double bound = 4 * n * std::log2(n);
    for (const size_t threads : {1, 2, 6}) {
      catenc::pool::ThreadPool pool(threads);
      std::optional<std::vector<double>> codes;
      const uint64_t work = work_of([&] {
        const catenc::Status status = pool.install([&]() -> catenc::Status {
          auto encoded = catenc::label_encode(labels);
          if (!encoded) return std::move(encoded).pass();
          codes = std::move(encoded->codes);
          return {};
        });
        REQUIRE(status.ok());
      });
      REQUIRE(codes.has_value());
      const bool right = same_bits(*codes, expected);
      if (!right || static_cast<double>(work) > bound) {
        check::fail(__FILE__, __LINE__,
                    std::string(shape.name) + " on " + std::to_string(threads) +
                        " threads: " + (right ? "" : "wrong codes, ") + std::to_string(work) +
                        " work for " + std::to_string(labels.size()) + " rows, bound " +
                        std::to_string(static_cast<uint64_t>(bound)));
      }
    }
  }
}
