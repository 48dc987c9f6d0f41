// libFuzzer target for the Python-free core: label encoding and its label map, the decoding rules
// and float texts, the dictionary, NumPy text and NumPy date kernels, each checked against an
// independent oracle rather than against itself.
//
// Build and run (clang from Debian, e.g. `apt-get install clang-19 libclang-rt-19-dev`):
//
//   clang++-19 -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined \
//     -fno-sanitize-recover=undefined -fno-omit-frame-pointer -Isrc/core \
//     tests/fuzz/fuzz_core.cpp src/core/*.cpp -lpthread -o build/fuzz_core
//   mkdir -p build/fuzz-corpus && build/fuzz_core build/fuzz-corpus -max_total_time=600
//
// Define CATENC_FUZZ_NULL_EMPTY_LABELS=1 to also feed empty labels whose data pointer is null
// (std::string_view{}), which the Python reader never makes but the core's interface allows.
// Under -fsanitize=fuzzer clang drops UBSan's check of null arguments to memcpy, so a null
// pointer handed to memcpy shows only in a build without the fuzzer (scripts/test-asan).
// Define CATENC_FUZZ_LARGE_COLUMNS=0 to leave out the columns of tens of thousands of rows (the
// only ones that reach the chunked and partitioned merges): each costs as much as a thousand small
// inputs, so without them a run tries many more small ones. `-len_control=0 -max_len=1024` lets
// libFuzzer try long inputs (many labels) from the start.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "date_column.hpp"
#include "date_text.hpp"
#include "decode.hpp"
#include "dictionary_column.hpp"
#include "fixed_text_column.hpp"
#include "float_text.hpp"
#include "label_encode.hpp"
#include "numpy_date_text.hpp"
#include "pool.hpp"

#ifndef CATENC_FUZZ_NULL_EMPTY_LABELS
#define CATENC_FUZZ_NULL_EMPTY_LABELS 0
#endif
#ifndef CATENC_FUZZ_LARGE_COLUMNS
#define CATENC_FUZZ_LARGE_COLUMNS 1
#endif

using catenc::Label;
using catenc::LabelMap;

namespace {

[[noreturn]] void fail(const char* what, int line) {
  std::fprintf(stderr, "fuzz_core: check failed at line %d: %s\n", line, what);
  std::abort();
}

#define FUZZ_CHECK(cond)                \
  do {                                  \
    if (!(cond)) fail(#cond, __LINE__); \
  } while (false)

bool is_marker(const std::string& s) {
  return s == "nan" || s == "NaN" || s == "<NA>";
}

// Pools of a few sizes, made once: starting threads for every input would dominate the run.
// Never destroyed, so that no input can race the process's exit.
catenc::pool::ThreadPool& pool_of_size(size_t threads) {
  static auto* pools = [] {
    auto* made = new std::array<std::unique_ptr<catenc::pool::ThreadPool>, 4>();
    for (size_t i = 0; i < made->size(); ++i) {
      (*made)[i] = std::make_unique<catenc::pool::ThreadPool>(i + 1);
    }
    return made;
  }();
  return *(*pools)[threads - 1];
}

// The integer part of a double from its bits alone, so the oracle shares no arithmetic with
// code_to_key: below 1 gives 0, from 2^64 up gives 2^64 - 1.
uint64_t key_from_bits(double code) {
  const uint64_t bits = std::bit_cast<uint64_t>(code);
  if (bits >> 63) return 0;
  const int exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
  if (exponent < 0) return 0;
  if (exponent >= 64) return std::numeric_limits<uint64_t>::max();
  const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  return exponent >= 52 ? mantissa << (exponent - 52) : mantissa >> (52 - exponent);
}

// The significant digits of a decimal text, without sign, point, or leading and trailing zeros.
std::string significant_digits(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c >= '0' && c <= '9') digits += c;
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  digits.erase(0, first);
  digits.erase(digits.find_last_not_of('0') + 1);
  return digits;
}

void check_float_text(double value) {
  // Exactly the documented capacity, on the heap, so a write past it is caught.
  auto buffer = std::make_unique<char[]>(catenc::float_text_capacity);
  const size_t length = catenc::write_float_text(value, buffer.get());
  FUZZ_CHECK(length > 0 && length <= catenc::float_text_capacity);
  const std::string text(buffer.get(), length);
  FUZZ_CHECK(catenc::float_text(value) == text);
  if (std::isnan(value)) {
    FUZZ_CHECK(text == "NaN");
    return;
  }
  if (std::isinf(value)) {
    FUZZ_CHECK(text == (value < 0 ? "-inf" : "inf"));
    return;
  }
  FUZZ_CHECK(text.find_first_of("eE") == std::string::npos);
  // Plain positional notation: an optional sign, no superfluous leading zero, and a fraction
  // that neither is empty nor ends in a zero.
  const size_t start = text[0] == '-' ? 1 : 0;
  FUZZ_CHECK((text[0] == '-') == std::signbit(value));
  FUZZ_CHECK(start < text.size());
  const size_t point = text.find('.');
  const std::string whole =
      text.substr(start, point == std::string::npos ? std::string::npos : point - start);
  FUZZ_CHECK(!whole.empty());
  FUZZ_CHECK(whole == "0" || whole[0] != '0');
  FUZZ_CHECK(whole.find_first_not_of("0123456789") == std::string::npos);
  if (point != std::string::npos) {
    const std::string fraction = text.substr(point + 1);
    FUZZ_CHECK(!fraction.empty());
    FUZZ_CHECK(fraction.find_first_not_of("0123456789") == std::string::npos);
    FUZZ_CHECK(fraction.back() != '0');
  }
  double back = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), back, std::chars_format::fixed);
  FUZZ_CHECK(error == std::errc());
  FUZZ_CHECK(end == text.data() + text.size());
  FUZZ_CHECK(std::bit_cast<uint64_t>(back) == std::bit_cast<uint64_t>(value));
  // Shortest: the same significant digits as the library's shortest round-trip form (its
  // scientific one: the plain form prints large integers exactly, 1e23 with 23 digits).
  char shortest[64];
  const auto written =
      std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific);
  FUZZ_CHECK(written.ec == std::errc());
  FUZZ_CHECK(significant_digits(text) ==
             significant_digits(std::string_view(shortest, written.ptr)));
}

struct Expected {
  std::vector<std::string> ascending;       // every distinct label, markers too
  std::vector<std::string> ordinary;        // distinct non-marker labels; index = code
  std::map<std::string, uint64_t> code_of;  // non-marker label -> code
};

Expected oracle(const std::vector<Label>& labels) {
  std::set<std::string> distinct;
  for (Label label : labels) distinct.emplace(label);
  Expected e;
  for (const std::string& label : distinct) {
    e.ascending.push_back(label);
    if (!is_marker(label)) {
      e.code_of.emplace(label, e.ordinary.size());
      e.ordinary.push_back(label);
    }
  }
  return e;
}

void check_codes(const std::vector<Label>& labels, const double* codes, size_t stride,
                 const Expected& e) {
  for (size_t row = 0; row < labels.size(); ++row) {
    const double code = codes[row * stride];
    const std::string label(labels[row]);
    if (is_marker(label)) {
      FUZZ_CHECK(std::bit_cast<uint64_t>(code) == catenc::missing_code_bits);
    } else {
      FUZZ_CHECK(!std::isnan(code));
      FUZZ_CHECK(code == static_cast<double>(e.code_of.at(label)));
    }
  }
}

void check_map(const LabelMap& map, const Expected& e, const std::vector<std::string>& probes) {
  FUZZ_CHECK(map.size() == e.ascending.size());
  FUZZ_CHECK(map.code_count() == e.ordinary.size());
  for (size_t i = 0; i < e.ascending.size(); ++i) {
    const LabelMap::Entry entry = map.entry(i);
    FUZZ_CHECK(entry.label == e.ascending[i]);
    if (is_marker(e.ascending[i])) {
      FUZZ_CHECK(!entry.code.has_value());
    } else {
      FUZZ_CHECK(entry.code == e.code_of.at(e.ascending[i]));
    }
    const std::optional<LabelMap::Entry> found = map.find(e.ascending[i]);
    FUZZ_CHECK(found.has_value());
    FUZZ_CHECK(found->label == e.ascending[i]);
    FUZZ_CHECK(found->code == entry.code);
    if (entry.code) {
      const std::optional<Label> back = map.label_of(*entry.code);
      FUZZ_CHECK(back.has_value() && *back == e.ascending[i]);
    }
  }
  for (const std::string& probe : probes) {
    const bool present = std::binary_search(e.ascending.begin(), e.ascending.end(), probe);
    FUZZ_CHECK(map.find(probe).has_value() == present);
  }
  FUZZ_CHECK(!map.label_of(e.ordinary.size()).has_value());
  FUZZ_CHECK(!map.label_of(std::numeric_limits<uint64_t>::max()).has_value());
}

void check_decode(double code, const LabelMap& map, const Expected& e) {
  const std::optional<uint64_t> key = catenc::decode_code(code, map);
  const std::optional<Label> label = key ? map.label_of(*key) : std::nullopt;
  if (std::isnan(code) || e.ordinary.empty()) {
    FUZZ_CHECK(!label.has_value() && !key.has_value());
    return;
  }
  const uint64_t expected_key = key_from_bits(code);
  FUZZ_CHECK(catenc::code_to_key(code) == expected_key);
  if (expected_key >= e.ordinary.size()) {
    FUZZ_CHECK(!label.has_value() && !key.has_value());
  } else {
    FUZZ_CHECK(key == expected_key);
    FUZZ_CHECK(label.has_value() && *label == e.ordinary[expected_key]);
  }
}

// Stands for a label drawn from the input: mostly bytes of its own, sometimes a marker, an empty
// label or a near miss of a marker, so that the marker paths are reached often.
std::string draw_label(FuzzedDataProvider& fdp) {
  static const char* const special[] = {"nan",  "NaN", "<NA>", "",    "NAN",
                                        "nan ", "<NA", "Nan",  "None"};
  const uint8_t kind = fdp.ConsumeIntegral<uint8_t>();
  if (kind < 48) return special[kind % std::size(special)];
  return fdp.ConsumeRandomLengthString(40);
}

// A column of codes into entries, as a category or a date column reaches the dictionary kernel,
// against reading its rows one by one: a number before the first row that is no number gets its
// float text, one after it its str(), and the rows' labels are then encoded plainly.
void check_dictionary(FuzzedDataProvider& fdp, size_t threads) {
  const size_t entry_count = fdp.ConsumeIntegralInRange<size_t>(1, 12);
  std::vector<catenc::DictionaryEntry> entries(entry_count);
  for (catenc::DictionaryEntry& entry : entries) {
    entry.is_number = fdp.ConsumeBool();
    if (entry.is_number) {
      entry.number = fdp.ConsumeBool() ? static_cast<double>(fdp.ConsumeIntegralInRange<int>(-3, 3))
                                       : fdp.ConsumeFloatingPoint<double>();
      char buffer[catenc::float_repr_capacity];
      entry.text.assign(buffer, catenc::write_float_repr(entry.number, buffer));
    } else {
      entry.text = fdp.ConsumeBool()
                       ? std::string(fdp.PickValueInArray({"nan", "NaN", "<NA>", "", "a", "1"}))
                       : fdp.ConsumeRandomLengthString(6);
    }
  }
  const size_t rows = fdp.ConsumeIntegralInRange<size_t>(0, 300);
  std::vector<int16_t> codes(rows);
  for (int16_t& code : codes)
    code = static_cast<int16_t>(
        fdp.ConsumeIntegralInRange<int>(-1, static_cast<int>(entry_count) - 2));
  size_t first = rows;
  for (size_t r = 0; r < rows && first == rows; ++r) {
    if (!entries[static_cast<size_t>(codes[r] + 1)].is_number) first = r;
  }
  std::vector<std::string> texts(rows);
  std::vector<Label> labels(rows);
  for (size_t r = 0; r < rows; ++r) {
    const catenc::DictionaryEntry& entry = entries[static_cast<size_t>(codes[r] + 1)];
    texts[r] = entry.is_number && r < first ? catenc::float_text(entry.number) : entry.text;
    labels[r] = texts[r];
  }
  catenc::DictionarySource source{
      reinterpret_cast<const char*>(codes.data()), 2, rows, 2, true, {}, entries};
  std::vector<double> out(rows);
  std::optional<catenc::Outcome<std::optional<LabelMap>>> made;
  FUZZ_CHECK(pool_of_size(threads)
                 .install([&]() -> catenc::Status {
                   made.emplace(catenc::encode_dictionary(source, out.data(), 1));
                   return {};
                 })
                 .ok());
  FUZZ_CHECK(made->ok());
  if (first == rows) {
    FUZZ_CHECK(!made->value().has_value());
    for (size_t r = 0; r < rows; ++r) {
      const double want = entries[static_cast<size_t>(codes[r] + 1)].number;
      FUZZ_CHECK(std::bit_cast<uint64_t>(out[r]) == std::bit_cast<uint64_t>(want));
    }
    return;
  }
  FUZZ_CHECK(made->value().has_value());
  check_codes(labels, out.data(), 1, oracle(labels));
}

// Timestamp texts against the civil calendar of <chrono>, over the years it covers.
void check_date_text(FuzzedDataProvider& fdp) {
  const auto unit = fdp.PickValueInArray(
      {catenc::TimeUnit::s, catenc::TimeUnit::ms, catenc::TimeUnit::us, catenc::TimeUnit::ns});
  const int64_t per_second = unit == catenc::TimeUnit::s    ? 1
                             : unit == catenc::TimeUnit::ms ? 1000
                             : unit == catenc::TimeUnit::us ? 1000000
                                                            : 1000000000;
  const int64_t value = fdp.ConsumeIntegralInRange<int64_t>(INT64_MIN / 2, INT64_MAX / 2);
  const int64_t seconds = value / per_second - (value % per_second < 0 ? 1 : 0);
  const int64_t fraction = value - seconds * per_second;
  const int64_t day = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
  if (day < -11000000 || day > 11000000) return;  // beyond the years <chrono> can name
  const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{day}}};
  const int64_t clock = seconds - day * 86400;
  char want[64];
  const int year = static_cast<int>(date.year());
  int length = std::snprintf(
      want, sizeof want,
      year < 0 ? "-%03d-%02u-%02u %02lld:%02lld:%02lld" : "%04d-%02u-%02u %02lld:%02lld:%02lld",
      year < 0 ? -year : year, static_cast<unsigned>(date.month()),
      static_cast<unsigned>(date.day()), static_cast<long long>(clock / 3600),
      static_cast<long long>(clock / 60 % 60), static_cast<long long>(clock % 60));
  const int64_t nanoseconds = fraction * (1000000000 / per_second);
  if (nanoseconds % 1000 != 0) {
    length += std::snprintf(want + length, sizeof want - static_cast<size_t>(length), ".%09lld",
                            static_cast<long long>(nanoseconds));
  } else if (nanoseconds != 0) {
    length += std::snprintf(want + length, sizeof want - static_cast<size_t>(length), ".%06lld",
                            static_cast<long long>(nanoseconds / 1000));
  }
  char got[catenc::date_text_capacity];
  FUZZ_CHECK(std::string(got, catenc::write_timestamp_text(value, unit, got)) ==
             std::string(want, static_cast<size_t>(length)));
}

// Runs a column kernel on a pool of `threads` through a stride of 2, and returns its map.
std::optional<LabelMap> run_work(catenc::ColumnWork& work, std::vector<double>& out, size_t threads,
                                 bool& failed) {
  std::optional<catenc::Outcome<std::optional<LabelMap>>> made;
  FUZZ_CHECK(pool_of_size(threads)
                 .install([&]() -> catenc::Status {
                   made.emplace(work.run(out.data(), 2));
                   return {};
                 })
                 .ok());
  failed = !made->ok();
  return failed ? std::nullopt : std::move(made->value());
}

// The rows' labels encoded plainly, against what a label column's kernel wrote.
void check_label_column(const std::vector<std::string>& texts, const std::vector<double>& out,
                        const std::optional<LabelMap>& map) {
  FUZZ_CHECK(map.has_value());
  const std::vector<Label> labels(texts.begin(), texts.end());
  const Expected e = oracle(labels);
  check_codes(labels, out.data(), 2, e);
  FUZZ_CHECK(map->size() == e.ascending.size());
  for (size_t i = 0; i < e.ascending.size(); ++i) FUZZ_CHECK(map->entry(i).label == e.ascending[i]);
}

// UTF-8 of one code point, a surrogate as three U+FFFD (what Python's "surrogatepass" and then
// "replace" make of it), written out longhand.
void append_utf8(uint32_t u, std::string& out) {
  if (u >= 0xD800 && u <= 0xDFFF) {
    for (int i = 0; i < 3; ++i) out += "\xEF\xBF\xBD";
  } else if (u > 0x10FFFF) {
    out += "\xEF\xBF\xBD";
  } else if (u < 0x80) {
    out += static_cast<char>(u);
  } else if (u < 0x800) {
    out += static_cast<char>(0xC0 | (u >> 6));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else if (u < 0x10000) {
    out += static_cast<char>(0xE0 | (u >> 12));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (u >> 18));
    out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  }
}

// str() of a numpy.bytes_ as CPython's bytes repr writes it, after item access has stripped the
// trailing NULs.
std::string bytes_label(std::string bytes) {
  while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
  const bool single = bytes.find('\'') != std::string::npos;
  const char quote = single && bytes.find('"') == std::string::npos ? '"' : '\'';
  std::string out = std::string("b") + quote;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    char escaped[8];
    if (c == quote || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + quote;
}

// A NumPy `U` or `S` column of cells drawn from a few made from the input, strided or not, against
// reading each row as item access and str() would.
void check_fixed_text(FuzzedDataProvider& fdp, size_t threads) {
  const auto kind =
      fdp.PickValueInArray({catenc::FixedTextKind::ucs4_little, catenc::FixedTextKind::ucs4_big,
                            catenc::FixedTextKind::bytes});
  const bool bytes = kind == catenc::FixedTextKind::bytes;
  const size_t units = fdp.ConsumeIntegralInRange<size_t>(0, bytes ? 24 : 12);
  const size_t itemsize = bytes ? units : 4 * units;
  const size_t stride = itemsize + fdp.ConsumeIntegralInRange<size_t>(0, 1) * 4;
  std::vector<std::vector<uint32_t>> cells(fdp.ConsumeIntegralInRange<size_t>(1, 8));
  for (std::vector<uint32_t>& cell : cells) {
    for (size_t i = 0; i < units; ++i) {
      const uint8_t how = fdp.ConsumeIntegral<uint8_t>();
      uint32_t unit =
          how < 64 ? 0
          : how < 128
              ? fdp.PickValueInArray({0x27u, 0x22u, 0x5Cu, 0x6Eu, 0x61u, 0xD800u, 0xDFFFu, 0xE9u})
              : fdp.ConsumeIntegral<uint32_t>();
      if (bytes) unit &= 0xFF;
      if (!bytes && how >= 128 && how < 250) unit %= 0x110000;
      cell.push_back(unit);
    }
  }
  size_t rows = fdp.ConsumeIntegralInRange<size_t>(0, 200);
  if (CATENC_FUZZ_LARGE_COLUMNS && fdp.ConsumeIntegral<uint8_t>() == 0x5A) rows = 70000;
  std::vector<size_t> picks(rows);
  for (size_t& pick : picks) pick = fdp.ConsumeIntegralInRange<size_t>(0, cells.size() - 1);
  std::vector<char> data(rows * stride + 1, '\x7f');
  std::vector<std::string> texts(rows);
  for (size_t r = 0; r < rows; ++r) {
    const std::vector<uint32_t>& cell = cells[picks[r]];
    for (size_t i = 0; i < units; ++i) {
      if (bytes) {
        data[r * stride + i] = static_cast<char>(cell[i]);
      } else {
        const uint32_t unit =
            kind == catenc::FixedTextKind::ucs4_big ? __builtin_bswap32(cell[i]) : cell[i];
        std::memcpy(&data[r * stride + 4 * i], &unit, 4);
      }
    }
    if (bytes) {
      texts[r] = bytes_label(std::string(data.data() + r * stride, itemsize));
    } else {
      size_t length = units;
      while (length > 0 && cell[length - 1] == 0) --length;
      for (size_t i = 0; i < length; ++i) append_utf8(cell[i], texts[r]);
    }
  }
  const catenc::FixedTextSource source{data.data(), static_cast<ptrdiff_t>(stride), rows, itemsize,
                                       kind};
  std::vector<double> out(2 * rows);
  bool failed = false;
  const auto work = catenc::fixed_text_work(source);
  const std::optional<LabelMap> map = run_work(*work, out, threads, failed);
  FUZZ_CHECK(!failed);
  if (failed) return;
  if (rows == 0) {
    FUZZ_CHECK(!map.has_value());
    return;
  }
  check_label_column(texts, out, map);
}

// A NumPy datetime64 or timedelta64 column against reading its rows one by one: a number before
// the column's first label gets its float text, one after it str(). The texts of datetimes in
// seconds to nanoseconds are checked against <chrono> as well.
void check_numpy_dates(FuzzedDataProvider& fdp, size_t threads) {
  using U = catenc::NumpyTimeUnit;
  const U unit = fdp.PickValueInArray({U::Y, U::M, U::W, U::D, U::h, U::m, U::s, U::ms, U::us,
                                       U::ns, U::ps, U::fs, U::as, U::generic});
  const catenc::NumpyTimeType type{
      unit, fdp.ConsumeBool() ? 1 : fdp.ConsumeIntegralInRange<int64_t>(1, INT32_MAX)};
  const bool duration = fdp.ConsumeBool();
  const auto release =
      fdp.ConsumeBool() ? catenc::NumpyRelease::from_2_2 : catenc::NumpyRelease::before_2_2;
  std::vector<int64_t> pool(fdp.ConsumeIntegralInRange<size_t>(1, 8));
  for (int64_t& value : pool) {
    const uint8_t how = fdp.ConsumeIntegral<uint8_t>();
    value = how < 40    ? catenc::not_a_time
            : how < 140 ? fdp.ConsumeIntegralInRange<int64_t>(-4000000, 4000000) * 86400 / 1000
                        : fdp.ConsumeIntegral<int64_t>();
  }
  if (unit == U::generic && !duration) std::fill(pool.begin(), pool.end(), catenc::not_a_time);
  const size_t rows = fdp.ConsumeIntegralInRange<size_t>(0, 200);
  std::vector<int64_t> values(rows);
  for (int64_t& value : values)
    value = pool[fdp.ConsumeIntegralInRange<size_t>(0, pool.size() - 1)];
  const auto text_of = [&](int64_t value) {
    char buffer[catenc::numpy_date_text_capacity];
    const size_t length = duration ? catenc::write_numpy_timedelta_text(value, type, buffer)
                                   : catenc::write_numpy_datetime_text(value, type, buffer);
    FUZZ_CHECK(length > 0 && length <= catenc::numpy_date_text_capacity);
    return std::string(buffer, length);
  };
  const catenc::TimeUnit pandas_units[] = {catenc::TimeUnit::s, catenc::TimeUnit::ms,
                                           catenc::TimeUnit::us, catenc::TimeUnit::ns};
  for (const int64_t value : pool) {
    // In s to ns, a datetime prints as pandas prints it with a T and every fraction digit.
    const int u = static_cast<int>(unit);
    if (duration || type.multiplier != 1 || u < static_cast<int>(U::s) ||
        u > static_cast<int>(U::ns) || value == catenc::not_a_time)
      continue;
    const catenc::TimeUnit pandas_unit = pandas_units[u - static_cast<int>(U::s)];
    char pandas[catenc::date_text_capacity];
    std::string want(pandas, catenc::write_timestamp_text(value, pandas_unit, pandas));
    want[want.find(' ')] = 'T';
    const size_t point = want.find('.');
    const size_t digits = static_cast<size_t>(3 * (u - static_cast<int>(U::s)));
    const int64_t per_second = catenc::units_per_second(pandas_unit);
    const int64_t fraction = ((value % per_second) + per_second) % per_second;
    if (point != std::string::npos) want.erase(point);
    if (digits > 0) {
      char tail[16];
      std::snprintf(tail, sizeof tail, ".%0*lld", static_cast<int>(digits),
                    static_cast<long long>(fraction));
      want += tail;
    }
    FUZZ_CHECK(text_of(value) == want);
  }
  size_t first = rows;
  for (size_t r = 0; r < rows && first == rows; ++r) {
    if (!catenc::numpy_time_is_number(values[r], type, duration, release)) first = r;
  }
  const catenc::NumpyDateSource source{
      reinterpret_cast<const char*>(values.data()), 8, rows, type, duration, release};
  std::vector<double> out(2 * rows);
  bool failed = false;
  const auto work = catenc::numpy_date_work(source);
  const std::optional<LabelMap> map = run_work(*work, out, threads, failed);
  FUZZ_CHECK(!failed);
  if (first == rows) {
    FUZZ_CHECK(!map.has_value());
    for (size_t r = 0; r < rows; ++r) FUZZ_CHECK(out[2 * r] == static_cast<double>(values[r]));
    return;
  }
  std::vector<std::string> texts(rows);
  for (size_t r = 0; r < rows; ++r) {
    const bool number = catenc::numpy_time_is_number(values[r], type, duration, release);
    texts[r] = number && r < first ? catenc::float_text(static_cast<double>(values[r]))
                                   : text_of(values[r]);
  }
  check_label_column(texts, out, map);
}

void run_one(FuzzedDataProvider& fdp) {
  const uint8_t flags = fdp.ConsumeIntegral<uint8_t>();
  if ((flags & 0xE0) == 0xC0) {
    // One input in eight: the kernels of NumPy's text and date columns.
    if (flags & 4) {
      check_fixed_text(fdp, (flags & 3) + 1);
    } else {
      check_numpy_dates(fdp, (flags & 3) + 1);
    }
    return;
  }
  if ((flags & 0xE0) == 0xE0) {
    // One input in eight: the dictionary kernel and the date texts.
    check_dictionary(fdp, (flags & 3) + 1);
    while (fdp.remaining_bytes() >= 9) check_date_text(fdp);
    return;
  }
  const size_t threads = (flags & 3) + 1;
  const bool in_global_pool = flags & 4;
  // One input in 64 at most, on a private pool with stride 1: a large column costs as much as
  // a thousand small ones.
  const bool expand = CATENC_FUZZ_LARGE_COLUMNS && (flags & 0xFC) == 0x98;
  const size_t stride = ((flags >> 5) & 3) + 1;

  // Storage that never moves, since labels are views.
  std::deque<std::string> texts;
  std::vector<Label> labels;
  const size_t base_count = fdp.ConsumeIntegralInRange<size_t>(0, 48);
  for (size_t i = 0; i < base_count && fdp.remaining_bytes() > 0; ++i) {
    const uint8_t how = fdp.ConsumeIntegral<uint8_t>();
    if (how < 64 && !labels.empty()) {
      const Label again = labels[how % labels.size()];  // the same bytes, not a copy of them
      labels.push_back(again);
    } else if (CATENC_FUZZ_NULL_EMPTY_LABELS && how >= 250) {
      labels.push_back(Label());
    } else {
      labels.push_back(texts.emplace_back(draw_label(fdp)));
    }
  }
  if (expand && !labels.empty()) {
    // Enough rows for several chunks, and optionally enough distinct labels for a partitioned
    // merge: those paths only start at tens of thousands of rows.
    const uint8_t size = fdp.ConsumeIntegral<uint8_t>();
    const bool huge = size >= 0xC0;
    const size_t rows = huge ? 66000 + size_t{size} * 64 : 32768 + size_t{size} * 128;
    const size_t modulus = fdp.ConsumeIntegralInRange<size_t>(1, huge ? 100000 : 4000);
    std::vector<Label> grown;
    grown.reserve(rows);
    std::map<std::pair<size_t, size_t>, Label> made;
    for (size_t row = 0; row < rows; ++row) {
      const size_t base = row % labels.size();
      const size_t suffix = row % modulus;
      if (modulus == 1 || (!huge && suffix % 5 == 0)) {
        grown.push_back(labels[base]);
        continue;
      }
      auto [at, fresh] = made.try_emplace({base, suffix}, Label());
      if (fresh)
        at->second = texts.emplace_back(std::string(labels[base]) + std::to_string(suffix));
      grown.push_back(at->second);
    }
    labels = std::move(grown);
  }

  const Expected e = oracle(labels);

  // Through the stride interface, with sentinels between the cells that must stay untouched.
  const double sentinel = std::bit_cast<double>(uint64_t{0x7FF4DEADBEEF0001ULL});
  std::vector<double> out(labels.size() * stride, sentinel);
  std::optional<LabelMap> map;
  auto encode = [&]() -> catenc::Status {
    catenc::Outcome<LabelMap> made = catenc::label_encode_into(labels, out.data(), stride);
    FUZZ_CHECK(made.ok());
    map.emplace(std::move(made).value());
    return {};
  };
  if (in_global_pool) {
    FUZZ_CHECK(encode().ok());
  } else {
    FUZZ_CHECK(pool_of_size(threads).install(encode).ok());
  }
  check_codes(labels, out.data(), stride, e);
  for (size_t i = 0; i < out.size(); ++i) {
    if (i % stride != 0)
      FUZZ_CHECK(std::bit_cast<uint64_t>(out[i]) == std::bit_cast<uint64_t>(sentinel));
  }

  // The vector form, which must agree with the strided one.
  catenc::Outcome<catenc::LabelEncoding> plain = catenc::label_encode(labels);
  FUZZ_CHECK(plain.ok());
  FUZZ_CHECK(plain->codes.size() == labels.size());
  check_codes(labels, plain->codes.data(), 1, e);

  // Probes: every label with a byte added or dropped, which is mostly absent from the map.
  std::vector<std::string> probes;
  for (size_t i = 0; i < std::min<size_t>(e.ascending.size(), 64); ++i) {
    probes.push_back(e.ascending[i] + '\0');
    probes.push_back(e.ascending[i] + '\xff');
    if (!e.ascending[i].empty())
      probes.push_back(e.ascending[i].substr(0, e.ascending[i].size() - 1));
  }
  probes.push_back(fdp.ConsumeRandomLengthString(16));
  check_map(*map, e, probes);

  // Decoding: codes of any bit pattern, against this map, an empty map and a markers-only map.
  static const LabelMap empty_map;
  static const Expected empty_expected;
  static const std::vector<Label> marker_labels = {"<NA>", "NaN", "nan"};
  static const LabelMap markers_map(marker_labels);
  static const Expected markers_expected = oracle(marker_labels);
  auto check_everywhere = [&](double code) {
    check_decode(code, *map, e);
    check_decode(code, empty_map, empty_expected);
    check_decode(code, markers_map, markers_expected);
    check_float_text(code);
  };
  // Codes next to the map's own, where an off-by-one would show.
  const double edges[] = {
      -1.0,
      -0.0,
      0.0,
      0.5,
      std::nextafter(1.0, 0.0),
      static_cast<double>(e.ordinary.size()),
      static_cast<double>(e.ordinary.size()) - 0.5,
      std::nextafter(static_cast<double>(e.ordinary.size()), 0.0),
      18446744073709551616.0,
      std::nextafter(18446744073709551616.0, 0.0),
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::max(),
  };
  for (double code : edges) check_everywhere(code);
  while (fdp.remaining_bytes() >= sizeof(uint64_t)) {
    check_everywhere(std::bit_cast<double>(fdp.ConsumeIntegral<uint64_t>()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  run_one(fdp);
  return 0;
}
