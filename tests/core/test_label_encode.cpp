#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "label_encode.hpp"
#include "label_hash.hpp"
#include "pool.hpp"

using catenc::Label;

namespace {

// codes as text for easy comparison: "N" for the missing NaN, else the integer.
std::vector<std::string> show_codes(const std::vector<double>& codes) {
  std::vector<std::string> out;
  for (double code : codes) {
    if (std::isnan(code)) {
      out.push_back(std::bit_cast<uint64_t>(code) == catenc::missing_code_bits ? "N" : "badnan");
    } else {
      out.push_back(std::to_string(static_cast<long long>(code)));
    }
  }
  return out;
}

std::vector<std::string> encode(const std::vector<std::string>& column) {
  const std::vector<Label> labels(column.begin(), column.end());
  auto encoded = catenc::label_encode(labels);
  REQUIRE(encoded.ok());
  return show_codes(encoded->codes);
}

using Codes = std::vector<std::string>;

}  // namespace

TEST(label_encode_edge_cases) {
  const struct {
    std::vector<std::string> column;
    Codes codes;
  } cases[] = {
      {{"b", "a", "nan", "c", "a", "<NA>", ""}, {"2", "1", "N", "3", "1", "N", "0"}},
      {{}, {}},
      {{"nan", "NaN", "<NA>", "nan"}, {"N", "N", "N", "N"}},
      {{"q", "q", "q"}, {"0", "0", "0"}},
      {{"nan", "a", "NaN", "b"}, {"N", "0", "N", "1"}},
      {{"x", ""}, {"1", "0"}},
      {{"NAN", "Nan", "nan ", "None"}, {"0", "1", "3", "2"}},
      {{"a", "B", "10", "9"}, {"3", "2", "0", "1"}},
      {{"\xC2\xA0", "~", "z"}, {"2", "1", "0"}},
      {{std::string("a\0b", 3), "a"}, {"1", "0"}},
  };
  for (const auto& c : cases) CHECK(encode(c.column) == c.codes);
  // An empty view may have no data at all; it is still the empty label.
  const std::vector<Label> null_empty = {Label(), "b", Label()};
  auto encoded = catenc::label_encode(null_empty);
  REQUIRE(encoded.ok());
  CHECK(show_codes(encoded->codes) == Codes({"0", "1", "0"}));
}

TEST(label_encode_map_holds_every_distinct_label) {
  const std::vector<std::string> column = {"b", "a", "nan", "c", "a", "<NA>", ""};
  const std::vector<Label> labels(column.begin(), column.end());
  auto encoded = catenc::label_encode(labels);
  REQUIRE(encoded.ok());
  const catenc::LabelMap& map = encoded->labels;
  CHECK_EQ(map.size(), size_t{6});
  CHECK_EQ(map.code_count(), size_t{4});
  CHECK(!map.find("<NA>")->code.has_value());
  CHECK(map.find("")->code == uint64_t{0});
  CHECK(map.find("c")->code == uint64_t{3});
  // The map owns its labels: they survive the column.
  CHECK(map.find("c")->label.data() != labels[3].data());
}

namespace {

// A label whose shape depends on `pick` alone, so equal picks give equal labels. Picks below
// 2,000 combine a few short pieces (markers, multi-byte characters, the empty label); the others
// carry their number as well, so that a large `cardinality` gives as many distinct labels.
std::string label_of_pick(size_t pick) {
  static const char* pieces[] = {
      "", "nan", "NaN", "<NA>", "a", "B", "é", "日本", "\xF0\x9F\x98\x80", "z", "0", "9"};
  std::string label;
  std::mt19937_64 shape(pick);
  const size_t parts = shape() % 4;
  for (size_t i = 0; i < parts; ++i) label += pieces[shape() % std::size(pieces)];
  if (pick >= 2000) label += std::to_string(pick);
  if (pick % 97 == 0) label += std::string(300 + pick % 50, 'x');
  return label;
}

// Rows drawn from `cardinality` picks; with `cardinality` 0, row i takes pick i, so that every
// label is distinct.
std::vector<std::string> random_column(std::mt19937_64& random, size_t rows, size_t cardinality) {
  std::vector<std::string> column(rows);
  for (size_t r = 0; r < rows; ++r)
    column[r] = label_of_pick(cardinality == 0 ? r : random() % cardinality);
  return column;
}

// The plain algorithm, independent of every path of label_encode: sort every row, drop
// duplicates, number the ordinary labels, binary-search each row.
struct PlainEncoding {
  std::vector<double> codes;
  size_t code_count = 0;
};

PlainEncoding plain_encode(const std::vector<Label>& labels) {
  std::vector<Label> distinct = labels;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::erase_if(distinct, catenc::is_missing_marker);
  PlainEncoding plain{std::vector<double>(labels.size()), distinct.size()};
  for (size_t r = 0; r < labels.size(); ++r) {
    const auto at = std::lower_bound(distinct.begin(), distinct.end(), labels[r]);
    plain.codes[r] = at != distinct.end() && *at == labels[r]
                         ? static_cast<double>(at - distinct.begin())
                         : catenc::missing_code();
  }
  return plain;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
           return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
         });
}

// Encodes `labels` on a worker of `pool`, so that the pool's size decides the chunking.
catenc::LabelEncoding encode_in(catenc::pool::ThreadPool& pool, const std::vector<Label>& labels) {
  std::optional<catenc::LabelEncoding> encoding;
  const catenc::Status status = pool.install([&]() -> catenc::Status {
    auto encoded = catenc::label_encode(labels);
    if (!encoded) return std::move(encoded).pass();
    encoding = std::move(encoded).value();
    return {};
  });
  REQUIRE(status.ok() && encoding.has_value());
  return std::move(*encoding);
}

}  // namespace

TEST(label_encode_matches_oracle_for_any_thread_count) {
  std::mt19937_64 random(7);
  // Shapes that take each path (rows, cardinality; 0 for all rows distinct), by the rules of
  // label_encode.cpp: below 32,768 rows no estimate is made; the estimate sends a column with more
  // than 65,536 distinct labels, or with more than a quarter of its rows distinct, to hash
  // partitions of rows from 131,072 rows on, and below that to a single chunk; every other column
  // to chunks, which are merged on one thread while they hold at most 65,536 distinct labels
  // between them, else in hash partitions.
  const std::pair<size_t, size_t> shapes[] = {
      // One chunk.
      {0, 1},
      {1, 1},
      {5, 3},
      {1000, 50},
      // Chunks, merged on one thread (a single chunk on one thread).
      {70000, 3},
      // Mostly distinct, too few rows for partitions: a single chunk on any number of threads.
      {100000, 0},
      {131071, 60000},
      // Chunks of ~35,000 distinct labels each, merged in partitions on several threads.
      {300000, 40000},
      // Partitions of rows: every row distinct, then ~86,000 distinct labels about twice each.
      {150000, 0},
      {200000, 100000},
  };
  for (const auto& [rows, cardinality] : shapes) {
    const std::vector<std::string> column = random_column(random, rows, cardinality);
    const std::vector<Label> labels(column.begin(), column.end());
    const PlainEncoding expected = plain_encode(labels);
    for (const size_t threads : {1, 2, 5}) {
      catenc::pool::ThreadPool pool(threads);
      const catenc::LabelEncoding encoding = encode_in(pool, labels);
      if (!same_bits(encoding.codes, expected.codes) ||
          encoding.labels.code_count() != expected.code_count) {
        check::fail(__FILE__, __LINE__,
                    std::to_string(rows) + " rows of cardinality " + std::to_string(cardinality) +
                        " on " + std::to_string(threads) + " threads: differs from plain");
      }
    }
  }
}

TEST(label_encode_results_do_not_depend_on_the_hash_key) {
  std::mt19937_64 random(11);
  const catenc::LabelHashKey keys[] = {
      {{0x0123456789abcdefULL, 0xfedcba9876543210ULL, 0x0f1e2d3c4b5a6978ULL,
        0x8796a5b4c3d2e1f0ULL}},
      {{1, 2, 3, 4}},
  };
  const std::pair<size_t, size_t> shapes[] = {{1000, 50}, {300000, 40000}, {150000, 0}};
  for (const auto& [rows, cardinality] : shapes) {
    const std::vector<std::string> column = random_column(random, rows, cardinality);
    const std::vector<Label> labels(column.begin(), column.end());
    for (const size_t threads : {1, 3}) {
      catenc::pool::ThreadPool pool(threads);
      std::vector<catenc::LabelEncoding> encodings;
      for (const auto& key : keys) {
        catenc::detail::set_label_hash_key_for_testing(key);
        encodings.push_back(encode_in(pool, labels));
      }
      catenc::detail::reset_label_hash_key_for_testing();
      const catenc::LabelMap& first = encodings[0].labels;
      const catenc::LabelMap& second = encodings[1].labels;
      bool same =
          same_bits(encodings[0].codes, encodings[1].codes) && first.size() == second.size();
      for (size_t i = 0; same && i < first.size(); ++i) {
        same = first.entry(i).label == second.entry(i).label &&
               first.entry(i).code == second.entry(i).code;
      }
      if (!same) {
        check::fail(__FILE__, __LINE__,
                    std::to_string(rows) + " rows on " + std::to_string(threads) +
                        " threads: two keys give two results");
      }
    }
  }
}

TEST(label_encode_writes_through_a_stride) {
  const std::vector<Label> labels = {"b", "a", "nan"};
  std::vector<double> out(9, -1.0);
  auto map = catenc::label_encode_into(labels, out.data() + 1, 3);
  REQUIRE(map.ok());
  CHECK(out[0] == -1.0 && out[1] == 1.0 && out[4] == 0.0 && std::isnan(out[7]) && out[8] == -1.0);
}

TEST(same_label_tells_every_byte_at_every_length) {
  // Each length has its own way of reading the bytes; a difference in any one byte must show.
  size_t wrong = 0;
  for (size_t n = 0; n <= 80; ++n) {
    std::string a(n, 'x');
    for (size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + (i * 7) % 26);
    std::string b = a;
    wrong += !catenc::same_label(a, b);
    for (size_t i = 0; i < n; ++i) {
      b[i] = static_cast<char>(b[i] ^ 0x20);
      wrong += catenc::same_label(a, b);
      b[i] = a[i];
    }
    if (n > 0) wrong += catenc::same_label(a, Label(a.data(), n - 1));
  }
  CHECK_EQ(wrong, size_t{0});
}
