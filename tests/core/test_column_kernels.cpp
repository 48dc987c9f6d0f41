// The column kernels on their own: what a numeric, dictionary, date or nullable column becomes,
// row by row, against values worked out by hand from what reading the cells through Python gives.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "date_text.hpp"
#include "dictionary_column.hpp"
#include "float_text.hpp"
#include "label_hash.hpp"
#include "masked_column.hpp"
#include "number_column.hpp"

using catenc::DictionaryEntry;
using catenc::DictionarySource;
using catenc::LabelMap;
using catenc::NumberSource;
using catenc::NumberType;

namespace {

uint64_t bits(double value) {
  return std::bit_cast<uint64_t>(value);
}

const uint64_t missing = catenc::missing_code_bits;

std::vector<std::string> labels_of(const LabelMap& map) {
  std::vector<std::string> labels;
  for (size_t i = 0; i < map.size(); ++i) labels.emplace_back(map.entry(i).label);
  return labels;
}

DictionaryEntry number(double value, std::string text) {
  return {true, value, std::move(text)};
}
DictionaryEntry label(std::string text) {
  return {false, 0, std::move(text)};
}

}  // namespace

TEST(float_repr_is_python_repr) {
  const struct {
    double value;
    const char* repr;
  } cases[] = {
      {1.0, "1.0"},          {0.0, "0.0"},
      {-0.0, "-0.0"},        {0.1, "0.1"},
      {1e16, "1e+16"},       {1e15, "1000000000000000.0"},
      {0.0001, "0.0001"},    {1e-05, "1e-05"},
      {1.5e300, "1.5e+300"}, {123456.789, "123456.789"},
      {5e-324, "5e-324"},    {2.5, "2.5"},
      {-1e100, "-1e+100"},   {NAN, "nan"},
      {INFINITY, "inf"},     {-INFINITY, "-inf"},
  };
  for (const auto& c : cases) {
    char buffer[catenc::float_repr_capacity];
    CHECK_EQ(std::string(buffer, catenc::write_float_repr(c.value, buffer)), std::string(c.repr));
  }
}

TEST(date_texts_are_those_of_pandas) {
  // Each text as str() of the pandas object gives it (pandas 3.1).
  const struct {
    int64_t value;
    catenc::TimeUnit unit;
    bool duration;
    const char* text;
  } cases[] = {
      {0, catenc::TimeUnit::s, false, "1970-01-01 00:00:00"},
      {-62135683200, catenc::TimeUnit::s, false, "0000-12-31 00:00:00"},
      {253402300800, catenc::TimeUnit::s, false, "10000-01-01 00:00:00"},
      {1, catenc::TimeUnit::ms, false, "1970-01-01 00:00:00.001000"},
      {-1, catenc::TimeUnit::ns, false, "1969-12-31 23:59:59.999999999"},
      {-4611686018427387904, catenc::TimeUnit::us, false, "-144169-06-28 09:59:32.612096"},
      {INT64_MAX, catenc::TimeUnit::s, false, "292277026596-12-04 15:30:07"},
      {-1, catenc::TimeUnit::s, true, "-1 days +23:59:59"},
      {90061, catenc::TimeUnit::s, true, "1 days 01:01:01"},
      {1001, catenc::TimeUnit::us, true, "0 days 00:00:00.001001"},
      {-INT64_MAX, catenc::TimeUnit::ns, true, "-106752 days +00:12:43.145224193"},
  };
  for (const auto& c : cases) {
    char buffer[catenc::date_text_capacity];
    const size_t length = c.duration ? catenc::write_timedelta_text(c.value, c.unit, buffer)
                                     : catenc::write_timestamp_text(c.value, c.unit, buffer);
    CHECK_EQ(std::string(buffer, length), std::string(c.text));
  }
}

TEST(numbers_convert_as_float_of_the_cell) {
  const uint16_t halves[] = {0x3C00, 0x7C01, 0xFC00,
                             0x0001};  // 1, a signalling NaN, -inf, smallest
  double out[4];
  NumberSource halves_source{reinterpret_cast<const char*>(halves), 2, 4, NumberType::f16, {}};
  REQUIRE(catenc::write_numbers(halves_source, out, 1).ok());
  CHECK_EQ(out[0], 1.0);
  CHECK_EQ(bits(out[1]), uint64_t{0x7FF0040000000000});  // the payload and the signalling bit kept
  CHECK_EQ(out[2], -INFINITY);
  CHECK_EQ(out[3], std::ldexp(1.0, -24));

  // Arrow's booleans: a bit each, from an offset; nulls missing.
  const uint8_t values[] = {0b10110100, 0b00000001};
  const uint8_t validity[] = {0b11110111, 0b11111111};  // row 2 (bit 3) null
  double booleans[8];
  NumberSource bools{reinterpret_cast<const char*>(values), 0, 8, NumberType::bits, {}};
  bools.bit_offset = 1;
  bools.missing = {catenc::MissingRows::Kind::bits, validity, 1, 1};
  REQUIRE(catenc::write_numbers(bools, booleans, 1).ok());
  const double expected[] = {0, 1, NAN, 1, 1, 0, 1, 1};
  for (size_t i = 0; i < 8; ++i) CHECK_EQ(bits(booleans[i]), i == 2 ? missing : bits(expected[i]));

  // Strided rows and a byte mask, written with a stride.
  const int64_t ints[] = {5, -1, 7, -2, 9, -3};
  const uint8_t mask[] = {0, 1, 0};
  double strided[6] = {};
  NumberSource every_other{reinterpret_cast<const char*>(ints), 16, 3, NumberType::i64, {}};
  every_other.missing = {catenc::MissingRows::Kind::bytes, mask, 1, 0};
  REQUIRE(catenc::write_numbers(every_other, strided, 2).ok());
  CHECK_EQ(strided[0], 5.0);
  CHECK_EQ(bits(strided[2]), missing);
  CHECK_EQ(strided[4], 9.0);
}

TEST(dictionary_of_numbers_is_numeric_and_its_missing_cell_missing) {
  const int8_t codes[] = {1, -1, 0, 1};
  DictionarySource source{reinterpret_cast<const char*>(codes), 1, 4, 1, true, {}, {}};
  const std::vector<DictionaryEntry> entries = {number(catenc::missing_code(), "nan"),
                                                number(2.5, "2.5"), number(-7, "-7")};
  source.entries = entries;
  double out[4];
  auto map = catenc::encode_dictionary(source, out, 1);
  REQUIRE(map.ok());
  CHECK(!map->has_value());
  CHECK_EQ(out[0], -7.0);
  CHECK_EQ(bits(out[1]), missing);
  CHECK_EQ(out[2], 2.5);
}

TEST(dictionary_numbers_before_the_first_label_take_their_float_text) {
  // Rows 1.0, "a", 1.0: the first 1.0 prints "1", the one after the label "1.0" (str()), so the
  // codes follow the labels "1", "1.0", "a" in byte order; a missing NaN gives no code either way.
  const int16_t codes[] = {0, 1, 0, -1, 2};
  DictionarySource source{reinterpret_cast<const char*>(codes), 2, 5, 2, true, {}, {}};
  const std::vector<DictionaryEntry> entries = {number(catenc::missing_code(), "nan"),
                                                number(1.0, "1.0"), label("a"), number(3, "3")};
  source.entries = entries;
  double out[5];
  auto map = catenc::encode_dictionary(source, out, 1);
  REQUIRE(map.ok() && map->has_value());
  CHECK(labels_of(**map) == std::vector<std::string>({"1", "1.0", "3", "a", "nan"}));
  const double expected[] = {0, 3, 1, NAN, 2};
  for (size_t i = 0; i < 5; ++i) CHECK_EQ(bits(out[i]), i == 3 ? missing : bits(expected[i]));
}

TEST(dictionary_code_without_an_entry_fails) {
  const int32_t codes[] = {0, 3};
  DictionarySource source{reinterpret_cast<const char*>(codes), 4, 2, 4, true, {}, {}};
  const std::vector<DictionaryEntry> entries = {label("<NA>"), label("x")};
  source.entries = entries;
  double out[2];
  CHECK(!catenc::encode_dictionary(source, out, 1).ok());
}

TEST(nullable_numbers_print_as_floats_before_the_first_na_and_as_str_after) {
  // Int64 rows 1, 2, NA, 1: "1" and "2" (float text) before NA, "1" (str) after: two codes.
  // Float64 rows -0.0, NA, -0.0: "-0" before, "-0.0" after.
  const int64_t ints[] = {1, 2, 0, 1};
  const uint8_t int_mask[] = {0, 0, 1, 0};
  NumberSource int_source{reinterpret_cast<const char*>(ints), 8, 4, NumberType::i64, {}};
  int_source.missing = {catenc::MissingRows::Kind::bytes, int_mask, 1, 0};
  double int_out[4];
  auto int_map = catenc::masked_work(int_source)->run(int_out, 1);
  REQUIRE(int_map.ok() && int_map->has_value());
  CHECK(labels_of(**int_map) == std::vector<std::string>({"1", "2", "<NA>"}));
  CHECK_EQ(int_out[0], 0.0);
  CHECK_EQ(int_out[3], 0.0);

  const double floats[] = {-0.0, 0.0, -0.0};
  const uint8_t float_mask[] = {0, 1, 0};
  NumberSource float_source{reinterpret_cast<const char*>(floats), 8, 3, NumberType::f64, {}};
  float_source.missing = {catenc::MissingRows::Kind::bytes, float_mask, 1, 0};
  double float_out[3];
  auto float_map = catenc::masked_work(float_source)->run(float_out, 1);
  REQUIRE(float_map.ok() && float_map->has_value());
  CHECK(labels_of(**float_map) == std::vector<std::string>({"-0", "-0.0", "<NA>"}));

  // Without NA the column holds numbers.
  const uint8_t none[] = {0, 0, 0, 0};
  int_source.missing.data = none;
  auto numbers = catenc::masked_work(int_source)->run(int_out, 1);
  REQUIRE(numbers.ok());
  CHECK(!numbers->has_value());
  CHECK_EQ(int_out[1], 2.0);
}

TEST(distinct_keys_crafted_to_collide_give_up_hashing) {
  // The mix multiplies the salted key by an odd multiplier of the process key and folds the two
  // halves of the product. Under this key the multiplier is 3: a salted key that is a multiple of
  // 2^32 below 2^62 mixes to a multiple of 2^32 too, and all such keys start probing at slot 0.
  const catenc::LabelHashKey key = {{0x9e3779b97f4a7c15ULL, 1, 2, 3}};
  catenc::detail::set_label_hash_key_for_testing(key);
  const auto inverse = [](uint64_t x) { return x ^ 0x9e3779b97f4a7c15ULL; };
  const size_t count = 50000;
  std::vector<uint64_t> keys(count);
  for (size_t i = 0; i < count; ++i) keys[i] = inverse(static_cast<uint64_t>(i + 1) << 32);
  catenc::detail::DistinctKeySet set;
  std::vector<uint64_t> seen;
  for (size_t i = 0; i < count; ++i) CHECK_EQ(set.insert(keys[i], seen), static_cast<uint32_t>(i));
  CHECK(set.is_ordered());
  // Seen again, each finds its index.
  for (size_t i = 0; i < count; i += 997)
    CHECK_EQ(set.insert(keys[i], seen), static_cast<uint32_t>(i));
  CHECK_EQ(seen.size(), count);
  catenc::detail::reset_label_hash_key_for_testing();
}
