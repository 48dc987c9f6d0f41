#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "label_encode.hpp"
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

// The obvious algorithm: sorted distinct labels, markers without a code.
std::vector<std::string> oracle(const std::vector<std::string>& column) {
  std::set<std::string> distinct(column.begin(), column.end());
  std::map<std::string, long long> code;
  long long next = 0;
  for (const auto& label : distinct) {
    if (label != "nan" && label != "NaN" && label != "<NA>") code[label] = next++;
  }
  std::vector<std::string> out;
  for (const auto& label : column) {
    auto found = code.find(label);
    out.push_back(found == code.end() ? "N" : std::to_string(found->second));
  }
  return out;
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

std::string random_label(std::mt19937_64& random, size_t cardinality) {
  static const char* pieces[] = {"", "nan", "NaN", "<NA>", "a", "B", "é", "日本", "\xF0\x9F\x98\x80", "z", "0", "9"};
  std::string label;
  const size_t pick = random() % cardinality;
  std::mt19937_64 shape(pick);
  const size_t parts = shape() % 4;
  for (size_t i = 0; i < parts; ++i) label += pieces[shape() % std::size(pieces)];
  if (pick % 97 == 0) label += std::string(300 + pick % 50, 'x');
  return label;
}

}  // namespace

TEST(label_encode_matches_oracle_for_any_thread_count) {
  std::mt19937_64 random(7);
  for (size_t threads : {1, 2, 8}) {
    catenc::pool::ThreadPool pool(threads);
    // Sizes that take each path: one chunk, chunks merged on one thread, and the merge split
    // into hash partitions.
    const std::pair<size_t, size_t> shapes[] = {{0, 1},     {1, 1},         {5, 3},
                                                 {1000, 50}, {70000, 3},     {70000, 100000},
                                                 {150000, 1000000}};
    for (const auto& [rows, cardinality] : shapes) {
      {
        std::vector<std::string> column(rows);
        for (auto& label : column) label = random_label(random, cardinality);
        Codes got;
        auto status = pool.install([&]() -> catenc::Status {
          got = encode(column);
          return {};
        });
        REQUIRE(status.ok());
        CHECK(got == oracle(column));
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
