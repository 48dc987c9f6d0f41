#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "decode.hpp"
#include "encoding_info.hpp"

using catenc::Label;
using catenc::LabelMap;

namespace {
// The label a code decodes to, as decode writes it into a cell: nothing for missing.
std::optional<Label> decoded(double code, const LabelMap& map) {
  const std::optional<uint64_t> key = catenc::decode_code(code, map);
  if (!key) return std::nullopt;
  return map.label_of(*key);
}

const double inf = std::numeric_limits<double>::infinity();
const double not_a_number = std::numeric_limits<double>::quiet_NaN();
}  // namespace

TEST(code_to_key_truncates_and_saturates) {
  const struct {
    double code;
    uint64_t key;
  } cases[] = {
      {2.9, 2},
      {0.7, 0},
      {-0.7, 0},
      {-0.0, 0},
      {-3.0, 0},
      {-inf, 0},
      {1.0, 1},
      {9007199254740993.0, 9007199254740992ULL},
      {18446744073709549568.0, 18446744073709549568ULL},
      {18446744073709551616.0, std::numeric_limits<uint64_t>::max()},
      {1e300, std::numeric_limits<uint64_t>::max()},
      {inf, std::numeric_limits<uint64_t>::max()},
  };
  for (const auto& c : cases) CHECK_EQ(catenc::code_to_key(c.code), c.key);
}

TEST(decode_rules) {
  const std::vector<Label> labels = {"", "<NA>", "a", "b", "nan"};
  const LabelMap map(labels);
  const struct {
    double code;
    const char* label;  // null: missing
  } cases[] = {
      {0.0, ""},
      {1.0, "a"},
      {1.9, "a"},
      {2.0, "b"},
      {-0.5, ""},
      {-3.0, ""},
      {-inf, ""},
      {3.0, nullptr},
      {inf, nullptr},
      {1e20, nullptr},
      {not_a_number, nullptr},
  };
  for (const auto& c : cases) {
    const std::optional<Label> got = decoded(c.code, map);
    if (c.label == nullptr) {
      CHECK(!got.has_value());
    } else {
      REQUIRE(got.has_value());
      CHECK_EQ(std::string(*got), std::string(c.label));
    }
  }
}

TEST(decode_with_only_markers_is_always_missing) {
  const std::vector<Label> labels = {"<NA>", "NaN", "nan"};
  const LabelMap map(labels);
  CHECK_EQ(map.code_count(), size_t{0});
  for (double code : {0.0, 1.0, -1.0, not_a_number}) CHECK(!decoded(code, map).has_value());
  CHECK(!decoded(0.0, LabelMap()).has_value());
}

TEST(label_map_finds_labels_and_codes) {
  const std::vector<Label> labels = {"", "<NA>", "NaN", "a", "b", "nan", "z"};
  const LabelMap map(labels);
  CHECK_EQ(map.size(), size_t{7});
  CHECK_EQ(map.code_count(), size_t{4});
  const char* by_code[] = {"", "a", "b", "z"};
  for (uint64_t code = 0; code < 4; ++code) {
    CHECK_EQ(std::string(*map.label_of(code)), std::string(by_code[code]));
    CHECK(map.find(by_code[code])->code == code);
  }
  CHECK(!map.label_of(4).has_value());
  CHECK(map.find("nan").has_value() && !map.find("nan")->code.has_value());
  CHECK(!map.find("c").has_value());
  CHECK(!map.find("a ").has_value());
}

TEST(encoding_info_lookups) {
  catenc::EncodingInfo info(5);
  const std::vector<Label> one = {"a"};
  info.add_column(1, LabelMap(one));
  info.add_column(3, LabelMap());
  CHECK(info.encoded_columns() == std::vector<size_t>({1, 3}));
  CHECK(info.code_to_label(1) != nullptr && info.label_to_code(1) == info.code_to_label(1));
  CHECK(info.code_to_label(3) != nullptr && info.code_to_label(3)->size() == 0);
  CHECK(info.code_to_label(0) == nullptr);
  CHECK(info.code_to_label(4) == nullptr);
}
