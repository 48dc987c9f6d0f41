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
const double inf = std::numeric_limits<double>::infinity();
const double not_a_number = std::numeric_limits<double>::quiet_NaN();
}  // namespace

TEST(code_to_key_truncates_and_saturates) {
  const struct {
    double code;
    uint64_t key;
  } cases[] = {
      {2.9, 2}, {0.7, 0}, {-0.7, 0}, {-0.0, 0}, {-3.0, 0}, {-inf, 0}, {1.0, 1},
      {9007199254740993.0, 9007199254740992ULL},
      {18446744073709549568.0, 18446744073709549568ULL},
      {18446744073709551616.0, std::numeric_limits<uint64_t>::max()},
      {1e300, std::numeric_limits<uint64_t>::max()},
      {inf, std::numeric_limits<uint64_t>::max()},
  };
  for (const auto& c : cases) CHECK_EQ(catenc::code_to_key(c.code), c.key);
}

TEST(decode_cell_rules) {
  const std::vector<Label> labels = {"", "<NA>", "a", "b", "nan"};
  const LabelMap map(labels);
  const struct {
    double code;
    const char* label;  // null: missing
  } cases[] = {
      {0.0, ""}, {1.0, "a"}, {1.9, "a"}, {2.0, "b"}, {-0.5, ""}, {-3.0, ""}, {-inf, ""},
      {3.0, nullptr}, {inf, nullptr}, {1e20, nullptr}, {not_a_number, nullptr},
  };
  for (const auto& c : cases) {
    const std::optional<Label> got = catenc::decode_cell(c.code, map);
    if (c.label == nullptr) {
      CHECK(!got.has_value());
    } else {
      REQUIRE(got.has_value());
      CHECK_EQ(std::string(*got), std::string(c.label));
    }
  }
}

TEST(decode_cell_with_only_markers_is_always_missing) {
  const std::vector<Label> labels = {"<NA>", "NaN", "nan"};
  const LabelMap map(labels);
  CHECK_EQ(map.code_count(), size_t{0});
  for (double code : {0.0, 1.0, -1.0, not_a_number}) CHECK(!catenc::decode_cell(code, map).has_value());
  CHECK(!catenc::decode_cell(0.0, LabelMap()).has_value());
}

TEST(decode_column_reads_through_the_layout) {
  for (auto layout : {catenc::Table::Layout::row_major, catenc::Table::Layout::column_major}) {
    auto table = catenc::Table::allocate(3, 2, layout);
    REQUIRE(table.ok());
    const double cells[3][2] = {{0, 9}, {not_a_number, 9}, {1, 9}};
    for (size_t r = 0; r < 3; ++r)
      for (size_t c = 0; c < 2; ++c) table->at(r, c) = cells[r][c];
    const std::vector<Label> labels = {"x", "y"};
    const LabelMap map(labels);
    const auto column = catenc::decode_column(*table, 0, map);
    REQUIRE(column.size() == 3);
    CHECK_EQ(std::string(*column[0]), std::string("x"));
    CHECK(!column[1].has_value());
    CHECK_EQ(std::string(*column[2]), std::string("y"));
  }
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
