// NumPy's fixed-width text cells: their labels against what item access and str() give in Python,
// and the kernel against reading the rows one by one.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "fixed_text.hpp"
#include "fixed_text_column.hpp"
#include "plain_encode.hpp"

using catenc::FixedTextKind;

namespace {

// A column of UCS-4 cells of `width` code points, each row's units zero-padded, in `kind`'s order.
std::vector<char> ucs4_cells(const std::vector<std::u32string>& rows, size_t width,
                             FixedTextKind kind) {
  std::vector<char> data(rows.size() * width * 4, 0);
  for (size_t r = 0; r < rows.size(); ++r) {
    for (size_t i = 0; i < rows[r].size(); ++i) {
      uint32_t unit = static_cast<uint32_t>(rows[r][i]);
      if (kind == FixedTextKind::ucs4_big) unit = __builtin_bswap32(unit);
      std::memcpy(&data[(r * width + i) * 4], &unit, 4);
    }
  }
  return data;
}

std::string text_of(const std::string& cell, FixedTextKind kind) {
  std::vector<char> out(catenc::fixed_cell_text_capacity(cell.size(), kind));
  return std::string(out.data(),
                     catenc::write_fixed_cell_text(cell.data(), cell.size(), kind, out.data()));
}

// `before`, then n times U+FFFD.
std::string replacements(size_t n, std::string s = "") {
  for (size_t i = 0; i < n; ++i) s += "\xEF\xBF\xBD";
  return s;
}

std::string ucs4_text(const std::u32string& units, FixedTextKind kind) {
  const std::vector<char> cell = ucs4_cells({units}, units.size(), kind);
  return text_of(std::string(cell.begin(), cell.end()), kind);
}

}  // namespace

TEST(bytes_cells_print_as_python_bytes_repr) {
  // Each text as str(numpy.bytes_) gives it for the cell (trailing NULs stripped first).
  using namespace std::string_literals;
  const struct {
    std::string cell;
    const char* text;
  } cases[] = {
      {"ab\0\0"s, "b'ab'"},
      {"a\0b\0"s, "b'a\\x00b'"},
      {"\0\0"s, "b''"},
      {"it's"s, "b\"it's\""},
      {"say \"x\""s, "b'say \"x\"'"},
      {"'\""s, "b'\\'\"'"},
      {"\\\t\n\r"s, "b'\\\\\\t\\n\\r'"},
      {"\x01\x1f\x7f\x80\xff "s, "b'\\x01\\x1f\\x7f\\x80\\xff '"},
      {"~ nan"s, "b'~ nan'"},
  };
  for (const auto& c : cases) {
    CHECK_EQ(text_of(c.cell, FixedTextKind::bytes), std::string(c.text));
  }
}

TEST(ucs4_cells_print_as_utf8_of_the_str) {
  for (const FixedTextKind kind : {FixedTextKind::ucs4_little, FixedTextKind::ucs4_big}) {
    CHECK_EQ(ucs4_text(U"ab", kind), "ab");
    CHECK_EQ(ucs4_text(std::u32string(U"a\0b\0\0", 5), kind), std::string("a\0b", 3));
    CHECK_EQ(ucs4_text(std::u32string(U"\0a", 2), kind), std::string("\0a", 2));
    CHECK_EQ(ucs4_text(std::u32string(3, U'\0'), kind), "");
    CHECK_EQ(ucs4_text(U"\u00e9\u65e5\U0001F600\U0010FFFF", kind),
             "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
    // A lone surrogate becomes three U+FFFD; so does each half of a pair.
    const std::u32string surrogates = {0x41, 0xD83D, 0xDE00};
    CHECK_EQ(ucs4_text(surrogates, kind), replacements(6, "A"));
    // A unit above U+10FFFF, which no str holds, becomes one U+FFFD.
    const std::u32string too_high = {0x41, 0x110000};
    CHECK_EQ(ucs4_text(too_high, kind), replacements(1, "A"));
  }
}

namespace {

plain::Encoded read_one_by_one(const catenc::FixedTextSource& source) {
  if (source.rows == 0) return {};
  std::vector<std::string> rows;
  for (size_t r = 0; r < source.rows; ++r) {
    rows.push_back(text_of(
        std::string(source.data + static_cast<ptrdiff_t>(r) * source.stride, source.itemsize),
        source.kind));
  }
  return plain::encode_labels(rows);
}

}  // namespace

TEST(fixed_text_kernel_matches_reading_rows_one_by_one) {
  std::mt19937_64 random(23);
  // Cells of at most 8 code points, all Latin-1, or of at most 8 bytes are packed into 64-bit
  // keys; the others are deduplicated as views. A column whose first 256 rows are Latin-1 and a
  // later one is not starts packed and gives up. Row counts lie on both sides of a 65,536-row
  // chunk.
  const std::u32string pieces[] = {U"a",
                                   U"b",
                                   U"nan",
                                   U"",
                                   U"\u00e9",
                                   U"\u65e5",
                                   U"\U0001F600",
                                   std::u32string(1, 0xD800),
                                   std::u32string(1, 0xDC00),
                                   std::u32string(1, 0),
                                   U"'",
                                   U"\""};
  for (const size_t width : {1, 3, 8, 9}) {
    for (const int mix : {0, 1, 2}) {  // Latin-1 only, anything, Latin-1 until a late row
      for (const size_t rows : {0, 1, 300, 65535, 140000}) {
        std::vector<std::u32string> vocabulary(mix == 1 ? 3000 : 40);
        for (std::u32string& text : vocabulary) {
          while (text.size() < width && random() % 4 != 0) {
            const std::u32string& piece = pieces[random() % (mix == 1 ? std::size(pieces) : 5)];
            text.append(piece, 0, width - text.size());
          }
        }
        std::vector<std::u32string> column(rows);
        for (std::u32string& text : column) text = vocabulary[random() % vocabulary.size()];
        if (mix == 2 && rows > 300) column[rows - 7].assign(1, U'\u65e5');
        for (const FixedTextKind kind :
             {FixedTextKind::ucs4_little, FixedTextKind::ucs4_big, FixedTextKind::bytes}) {
          std::vector<char> data;
          size_t itemsize = width * 4;
          if (kind == FixedTextKind::bytes) {
            // The code points' low bytes, as bytes cells of `width` bytes.
            itemsize = width;
            data.assign(rows * width, 0);
            for (size_t r = 0; r < rows; ++r) {
              for (size_t i = 0; i < column[r].size(); ++i) {
                data[r * width + i] = static_cast<char>(column[r][i] & 0xFF);
              }
            }
          } else {
            data = ucs4_cells(column, width, kind);
          }
          const catenc::FixedTextSource source{data.data(), static_cast<ptrdiff_t>(itemsize), rows,
                                               itemsize, kind};
          const plain::Encoded expected = read_one_by_one(source);
          // Below a chunk's rows every pool runs the column as one piece.
          for (const size_t threads :
               rows > 65536 ? std::vector<size_t>{1, 2, 5} : std::vector<size_t>{1}) {
            const plain::Encoded got = plain::run(*catenc::fixed_text_work(source), rows, threads);
            if (!plain::same(got, expected)) {
              check::fail(__FILE__, __LINE__,
                          "width " + std::to_string(width) + " mix " + std::to_string(mix) +
                              " kind " + std::to_string(static_cast<int>(kind)) + ", " +
                              std::to_string(rows) + " rows on " + std::to_string(threads) +
                              " threads: differs from plain");
            }
          }
        }
      }
    }
  }
}

TEST(fixed_text_cells_of_one_label_share_its_code) {
  // Two lone surrogates and the pair they would make are three raw cells and one label; "nan" is
  // the missing marker.
  const std::vector<std::u32string> rows = {
      {0xD800, 0xD800}, U"nan", {0xDC00, 0xDFFF}, U"a", {0xD83D, 0xDE00}};
  const std::vector<char> data = ucs4_cells(rows, 3, FixedTextKind::ucs4_little);
  const catenc::FixedTextSource source{data.data(), 12, rows.size(), 12,
                                       FixedTextKind::ucs4_little};
  const plain::Encoded got = plain::run(*catenc::fixed_text_work(source), rows.size(), 1);
  CHECK(got.labels == std::vector<std::string>({"a", "nan", replacements(6)}));
  CHECK_EQ(got.cells[0], 1.0);
  CHECK_EQ(got.cells[2], 1.0);
  CHECK_EQ(got.cells[4], 1.0);
  CHECK_EQ(got.cells[3], 0.0);
  CHECK(std::bit_cast<uint64_t>(got.cells[1]) == catenc::missing_code_bits);
}

TEST(fixed_text_units_above_the_last_code_point_are_replaced) {
  const std::vector<std::u32string> rows = {U"a", {0x41, 0x110000}, {0x41, 0x7FFFFFFF}};
  for (const FixedTextKind kind : {FixedTextKind::ucs4_little, FixedTextKind::ucs4_big}) {
    const std::vector<char> data = ucs4_cells(rows, 2, kind);
    const catenc::FixedTextSource source{data.data(), 8, 3, 8, kind};
    double out[3];
    auto map = catenc::fixed_text_work(source)->run(out, 1);
    REQUIRE(map.ok() && map->has_value());
    // Both replaced cells give one label: "A" and U+FFFD.
    CHECK_EQ((*map)->size(), size_t{2});
    CHECK_EQ(out[1], out[2]);
  }
  // No rows: numeric, as every column without rows.
  const catenc::FixedTextSource empty{nullptr, 4, 0, 4, FixedTextKind::ucs4_little};
  auto none = catenc::fixed_text_work(empty)->run(nullptr, 1);
  REQUIRE(none.ok());
  CHECK(!none->has_value());
}
