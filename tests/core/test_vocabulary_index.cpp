// A part of a table encoded by the whole table's vocabulary gets exactly the codes the whole table
// gives its rows, on every path of label_encode and every pool size, and a label the vocabulary
// lacks fails the encoding.
#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "label_encode.hpp"
#include "label_hash.hpp"
#include "plain_encode.hpp"
#include "pool.hpp"
#include "vocabulary_index.hpp"

namespace {

using catenc::Label;

struct Vocabulary {
  std::string bytes;
  std::vector<int64_t> offsets{0};
  catenc::LabelSpan span() const { return catenc::LabelSpan(bytes, offsets); }
};

Vocabulary vocabulary_of(const std::set<std::string>& labels) {
  Vocabulary vocabulary;
  for (const std::string& label : labels) {
    vocabulary.bytes += label;
    vocabulary.offsets.push_back(static_cast<int64_t>(vocabulary.bytes.size()));
  }
  return vocabulary;
}

catenc::VocabularyIndex index_of(const Vocabulary& vocabulary) {
  auto built = catenc::VocabularyIndex::build(vocabulary.span());
  REQUIRE(built.ok());
  return std::move(built).value();
}

std::string word(uint64_t n) {
  static const char* const specials[] = {"nan", "NaN", "<NA>", "", "\xC3\xA9t\xC3\xA9"};
  if (n < 5) return specials[n];
  std::string text = "w";
  text += std::to_string(n * 2654435761ULL % 1000003);
  return text;
}

// The rows of a larger table: its vocabulary is every label the table holds, more than these.
std::vector<std::string> part_of(std::mt19937_64& random, size_t rows, size_t cardinality) {
  std::vector<std::string> part(rows);
  for (size_t r = 0; r < rows; ++r) part[r] = word(cardinality == 0 ? r : random() % cardinality);
  return part;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](double x, double y) {
    return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
  });
}

}  // namespace

TEST(a_part_takes_the_whole_tables_codes_on_every_path) {
  std::mt19937_64 random(17);
  // (rows, cardinality; 0 for all distinct): a single chunk, chunks, a column of mostly distinct
  // labels on either side of the row count at which its rows are grouped by hash.
  const std::pair<size_t, size_t> shapes[] = {
      {0, 1}, {7, 4}, {5000, 300}, {70000, 40}, {131071, 0}, {131072, 0}, {200000, 150000},
  };
  for (const auto& [rows, cardinality] : shapes) {
    const std::vector<std::string> part = part_of(random, rows, cardinality);
    // The whole table: this part and another, whose labels this part lacks.
    std::vector<std::string> whole = part;
    for (size_t extra = 0; extra < 1000; ++extra) {
      std::string other = "other";
      whole.push_back(other += std::to_string(extra));
    }
    const std::set<std::string> distinct(whole.begin(), whole.end());
    const Vocabulary vocabulary = vocabulary_of(distinct);
    const catenc::VocabularyIndex index = index_of(vocabulary);
    std::vector<double> expected = plain::encode_labels(whole).cells;
    expected.resize(rows);
    const std::vector<Label> labels(part.begin(), part.end());
    for (const size_t threads : {1, 2, 5}) {
      catenc::pool::ThreadPool pool(threads);
      std::vector<double> out(rows, -1.0);
      std::optional<catenc::LabelMap> map;
      const catenc::Status status = pool.install([&]() -> catenc::Status {
        auto encoded = catenc::label_encode_into(labels, out.data(), 1, &index);
        if (!encoded) return std::move(encoded).pass();
        map = std::move(encoded).value();
        return {};
      });
      REQUIRE(status.ok());
      CHECK_EQ(map->size(), size_t{0});
      if (!same_bits(out, expected)) {
        check::fail(__FILE__, __LINE__,
                    std::to_string(rows) + " rows of cardinality " + std::to_string(cardinality) +
                        " on " + std::to_string(threads) + " threads: not the whole table's codes");
      }
    }
  }
}

TEST(a_label_the_vocabulary_lacks_fails_the_encoding) {
  for (const size_t rows : {size_t{3}, size_t{150000}}) {
    std::vector<std::string> part(rows);
    for (size_t r = 0; r < rows; ++r) part[r] = word(r);
    std::set<std::string> distinct(part.begin(), part.end());
    distinct.erase(word(rows / 2));
    const Vocabulary vocabulary = vocabulary_of(distinct);
    const catenc::VocabularyIndex index = index_of(vocabulary);
    const std::vector<Label> labels(part.begin(), part.end());
    for (const size_t threads : {1, 3}) {
      catenc::pool::ThreadPool pool(threads);
      std::vector<double> out(rows);
      catenc::Status status = pool.install([&]() -> catenc::Status {
        auto encoded = catenc::label_encode_into(labels, out.data(), 1, &index);
        if (!encoded) return std::move(encoded).pass();
        return {};
      });
      REQUIRE(!status.ok());
      CHECK(status.error().message.find("a label it did not hold") != std::string::npos);
    }
  }
}

TEST(a_vocabulary_of_colliding_labels_is_searched_in_order) {
  // Labels whose hashes share their top bits all want one home slot of a 128-slot index: past the
  // probe bound the index stops hashing, and still finds every label and none other.
  const catenc::LabelHasher hash(catenc::label_hash_key());
  std::set<std::string> colliding;
  for (uint64_t n = 0; colliding.size() < 60; ++n) {
    std::string label = "c";
    label += std::to_string(n);
    if (hash(label) >> 57 == 0) colliding.insert(label);
  }
  const Vocabulary vocabulary = vocabulary_of(colliding);
  const catenc::VocabularyIndex index = index_of(vocabulary);
  CHECK(index.is_ordered());
  double code = -1;
  double next = 0;
  for (const std::string& label : colliding) {
    CHECK(index.find(label, code) && code == next);
    next += 1;
  }
  CHECK(!index.find("absent", code));
  index.fetch_stretch(0, 4);  // nothing to fetch, nothing to break
}

TEST(a_vocabulary_gives_markers_the_missing_code_and_skips_them) {
  const Vocabulary vocabulary = vocabulary_of({"", "<NA>", "NaN", "a", "nan", "z"});
  const catenc::VocabularyIndex index = index_of(vocabulary);
  CHECK(!index.is_ordered());
  const std::pair<const char*, double> expected[] = {{"", 0}, {"a", 1}, {"z", 2}};
  for (const auto& [label, want] : expected) {
    double code = -1;
    CHECK(index.find(label, code) && code == want);
  }
  for (const char* marker : {"<NA>", "NaN", "nan"}) {
    double code = 0;
    CHECK(index.find(marker, code) && std::isnan(code));
  }
  double code = 0;
  CHECK(!index.find("b", code) && !index.find("NAN", code));
  const catenc::VocabularyIndex empty = index_of(vocabulary_of({}));
  CHECK(!empty.find("", code));
}
