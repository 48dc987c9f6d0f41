#include <algorithm>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "label_set.hpp"

namespace {

using catenc::Label;
using catenc::LabelSetBuffers;
using catenc::LabelSpan;

LabelSetBuffers buffers_of(const std::set<std::string>& labels) {
  LabelSetBuffers set;
  set.offsets.push_back(0);
  for (const std::string& label : labels) {
    set.bytes += label;
    set.offsets.push_back(static_cast<int64_t>(set.bytes.size()));
  }
  return set;
}

LabelSpan span_of(const LabelSetBuffers& set) {
  return LabelSpan(set.bytes, set.offsets);
}

std::set<std::string> random_labels(std::mt19937_64& random, size_t count) {
  static const std::vector<std::string> pieces = {"a",    "b", "nan",      "NaN",
                                                  "<NA>", "",  "\xC3\xA9", "zz"};
  std::set<std::string> labels;
  for (size_t i = 0; i < count; ++i) {
    std::string label;
    for (size_t k = random() % 4; k > 0; --k) label += pieces[random() % pieces.size()];
    labels.insert(label);
  }
  return labels;
}

}  // namespace

TEST(label_sets_merge_and_find_as_sorted_sets_do) {
  std::mt19937_64 random(11);
  size_t wrong = 0;
  for (int round = 0; round < 300; ++round) {
    // Up to 10 sets: tournaments of every size, padded to a power of two.
    std::vector<std::set<std::string>> parts(random() % 11);
    std::set<std::string> all;
    std::vector<LabelSetBuffers> buffers;
    for (auto& part : parts) {
      part = random_labels(random, random() % 30);
      all.insert(part.begin(), part.end());
      buffers.push_back(buffers_of(part));
      wrong += !LabelSpan::valid(buffers.back().bytes, buffers.back().offsets);
    }
    std::vector<LabelSpan> spans;
    for (const auto& b : buffers) spans.push_back(span_of(b));
    const LabelSetBuffers merged = catenc::label_set_union(spans);
    const LabelSetBuffers expected = buffers_of(all);
    wrong += merged.bytes != expected.bytes || merged.offsets != expected.offsets;
    // Codes skip the markers; walking in order finds what a search finds.
    const LabelSpan whole = span_of(merged);
    size_t from = 0;
    uint64_t next_code = 0;
    for (const std::string& label : all) {
      std::optional<uint64_t> searched;
      std::optional<uint64_t> walked;
      wrong += !whole.find(label, searched) || !whole.find_from(label, from, walked) ||
               searched != walked;
      if (catenc::is_missing_marker(label)) {
        wrong += searched.has_value();
      } else {
        wrong += searched != next_code;
        wrong += whole.label_of(next_code) != Label(label);
        ++next_code;
      }
    }
    std::optional<uint64_t> none;
    size_t start = 0;
    wrong += whole.find("\xFF absent", none) || whole.find_from("\xFF absent", start, none);
    wrong += whole.code_count() != next_code;
  }
  CHECK_EQ(wrong, size_t{0});
}

TEST(label_sets_that_are_not_sets_are_refused) {
  const auto valid = [](std::string bytes, std::vector<int64_t> offsets) {
    return LabelSpan::valid(bytes, offsets);
  };
  CHECK(valid("", {}));
  CHECK(valid("", {0}));
  CHECK(valid("ab", {0, 1, 2}));
  CHECK(!valid("ba", {0, 1, 2}));     // descending
  CHECK(!valid("aa", {0, 1, 2}));     // a repeat
  CHECK(!valid("ab", {0, 2, 1}));     // offsets falling
  CHECK(!valid("ab", {1, 2}));        // not from 0
  CHECK(!valid("ab", {0, 1}));        // not to the end
  CHECK(!valid("a\xFF", {0, 1, 2}));  // no UTF-8
}
