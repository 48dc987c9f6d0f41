// UTF-8: the validator against a decoder written from the definition, exhaustively over short
// sequences and at random over long ones; Arrow arrays against their rows checked one by one;
// the encoding of code units against Python's own results and a decoding round trip.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_abi.hpp"
#include "arrow_text_column.hpp"
#include "check.hpp"
#include "utf8.hpp"

using namespace std::string_view_literals;

namespace {

// Decodes by the definition of UTF-8 rather than by table 3-7: the lead byte gives the length
// and the first bits, each continuation byte six more; the value must need that length and be a
// Unicode scalar value. Nothing when the bytes are not UTF-8.
std::optional<std::vector<uint32_t>> reference_decode(std::string_view text) {
  static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  std::vector<uint32_t> points;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t point = 0;
    if (lead < 0x80) {
      length = 1;
      point = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      point = lead & 0x07;
    } else {
      return std::nullopt;
    }
    if (text.size() - i < length) return std::nullopt;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      point = (point << 6) | (next & 0x3F);
    }
    if (length > 1 && point < least[length]) return std::nullopt;
    if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return std::nullopt;
    points.push_back(point);
    i += length;
  }
  return points;
}

bool reference_valid(std::string_view text) {
  return reference_decode(text).has_value();
}

bool valid(std::string_view text) {
  return catenc::is_valid_utf8(text.data(), text.size());
}

std::string encode_point(uint32_t point) {
  std::string out;
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
  return out;
}

// Text that is mostly UTF-8, in pieces chosen to meet the validator's word boundaries anywhere:
// ASCII runs of any length, characters of every length, and now and then something broken (a
// stray byte, a cut sequence, an encoded surrogate or an overlong form).
std::string random_text(std::mt19937_64& random, double broken) {
  std::string text;
  const size_t pieces = random() % 12;
  std::uniform_real_distribution<double> chance(0, 1);
  for (size_t i = 0; i < pieces; ++i) {
    switch (random() % 5) {
      case 0:
        text += std::string(random() % 40, static_cast<char>('a' + random() % 26));
        break;
      case 1:
        text += encode_point(0x80 + static_cast<uint32_t>(random() % (0x800 - 0x80)));
        break;
      case 2: {
        uint32_t point = 0x800 + static_cast<uint32_t>(random() % (0x10000 - 0x800));
        if (point >= 0xD800 && point <= 0xDFFF) point -= 0x800;
        text += encode_point(point);
        break;
      }
      default:
        text += encode_point(0x10000 + static_cast<uint32_t>(random() % (0x110000 - 0x10000)));
        break;
    }
    if (chance(random) < broken) {
      switch (random() % 4) {
        case 0:
          text += static_cast<char>(0x80 + random() % 0x80);
          break;
        case 1:
          text += encode_point(0x800 + static_cast<uint32_t>(random() % 0x10000)).substr(0, 1);
          break;
        case 2:
          text += "\xED\xA0\x80"sv;
          break;
        default:
          text += "\xE0\x9F\xBF"sv;
          break;
      }
    }
  }
  return text;
}

}  // namespace

TEST(utf8_validator_boundary_cases) {
  // Expected values from Python's bytes.decode("utf-8").
  const std::pair<std::string_view, bool> cases[] = {
      {""sv, true},
      {"\x00"sv, true},
      {"\x7F"sv, true},
      {"\x80"sv, false},
      {"\xBF"sv, false},
      {"\xC0\x80"sv, false},
      {"\xC1\xBF"sv, false},
      {"\xC2\x80"sv, true},
      {"\xDF\xBF"sv, true},
      {"\xDF"sv, false},
      {"\xE0\x80\x80"sv, false},
      {"\xE0\x9F\xBF"sv, false},
      {"\xE0\xA0\x80"sv, true},
      {"\xED\x9F\xBF"sv, true},
      {"\xED\xA0\x80"sv, false},
      {"\xED\xBF\xBF"sv, false},
      {"\xEE\x80\x80"sv, true},
      {"\xEF\xBF\xBF"sv, true},
      {"\xEF\xBF"sv, false},
      {"\xF0\x80\x80\x80"sv, false},
      {"\xF0\x8F\xBF\xBF"sv, false},
      {"\xF0\x90\x80\x80"sv, true},
      {"\xF4\x8F\xBF\xBF"sv, true},
      {"\xF4\x90\x80\x80"sv, false},
      {"\xF5\x80\x80\x80"sv, false},
      {"\xFF"sv, false},
      {"\xFE"sv, false},
      {"\xF0\x90\x80"sv, false},
      {"\xE6\x97\xA5\xE6\x9C\xAC"sv, true},
      {"\xE6\x97\xA5\xE6\x9C"sv, false},
      {"\xC3\xA9\xA9"sv, false},
  };
  for (const auto& [text, expected] : cases) {
    if (valid(text) != expected || reference_valid(text) != expected) {
      check::fail(__FILE__, __LINE__,
                  "wrong answer for case " + std::to_string(&text - &cases[0].first));
    }
  }
  // Around the ASCII fast path's words: a sequence cut at the end of a word, one across two
  // words, one stray byte inside a word, one bad sequence after two words.
  const std::string a15(15, 'a');
  const std::string a16(16, 'a');
  CHECK(!valid(a15 + "\xC3"));
  CHECK(valid(a16 + "\xC3\xA9"));
  CHECK(valid(a15 + "\xC3\xA9" + std::string(15, 'b')));
  CHECK(!valid(std::string(7, 'a') + "\x80" + std::string(8, 'a')));
  CHECK(!valid(a16 + a15 + "\xF4\x90\x80\x80"));
  for (size_t at = 0; at < 40; ++at) {
    std::string text(40, 'x');
    text[at] = '\x80';
    CHECK(!valid(text));
    text.replace(at, 1, "\xC3\xA9");
    CHECK(valid(text));
  }
}

TEST(utf8_validator_matches_reference_on_every_short_sequence) {
  // Every sequence of 1, 2 and 3 bytes, bare and with 14 ASCII bytes before it so that it
  // straddles the validator's first 16-byte word.
  std::string bare(3, '\0');
  std::string padded(14, 'p');
  padded.resize(17);
  size_t wrong = 0;
  for (uint32_t value = 0; value < (1u << 24); ++value) {
    for (size_t k = 0; k < 3; ++k) bare[k] = static_cast<char>(value >> (8 * (2 - k)));
    for (const size_t length : {size_t{1}, size_t{2}, size_t{3}}) {
      // Shorter lengths only once each: their values are those whose leading bytes are zero.
      if (length < 3 && (value >> (8 * length)) != 0) continue;
      const std::string_view text(bare.data() + 3 - length, length);
      const bool expected = reference_valid(text);
      if (valid(text) != expected) ++wrong;
      std::memcpy(padded.data() + 14, text.data(), length);
      if (valid(std::string_view(padded.data(), 14 + length)) != expected) ++wrong;
    }
  }
  CHECK_EQ(wrong, size_t{0});
}

TEST(utf8_validator_matches_reference_on_random_text) {
  std::mt19937_64 random(17);
  size_t wrong = 0, invalid = 0;
  for (int i = 0; i < 200000; ++i) {
    std::string text = random_text(random, i % 2 == 0 ? 0.0 : 0.05);
    // Also a random byte anywhere, and the text cut short.
    if (i % 7 == 0 && !text.empty()) text[random() % text.size()] = static_cast<char>(random());
    if (i % 11 == 0 && !text.empty()) text.resize(random() % text.size());
    const bool expected = reference_valid(text);
    invalid += !expected;
    if (valid(text) != expected) ++wrong;
  }
  CHECK_EQ(wrong, size_t{0});
  CHECK(invalid > 10000 && invalid < 150000);
}

namespace {

// An Arrow string array built for a test, with the buffers it points at.
struct TestArray {
  std::string format;
  std::vector<uint8_t> validity;
  std::vector<int32_t> offsets32;
  std::vector<int64_t> offsets64;
  std::vector<uint8_t> views;
  std::vector<std::string> data;  // one buffer for offsets, several for views
  std::vector<int64_t> data_sizes;
  std::vector<const void*> buffers;
  ArrowArray array{};
  std::optional<size_t> expected;  // the first valid row that is not UTF-8
};

// `rows` texts and whether each is valid (null rows hold bytes all the same), as `format`, with
// the first `offset` rows sliced off.
void build(TestArray& t, const std::string& format, const std::vector<std::string>& rows,
           const std::vector<bool>& is_valid, size_t offset, std::mt19937_64& random) {
  t.format = format;
  const size_t n = rows.size();
  t.validity.assign(n / 8 + 1, 0);
  size_t nulls = 0;
  for (size_t r = 0; r < n; ++r) {
    if (is_valid[r]) {
      t.validity[r / 8] |= static_cast<uint8_t>(1u << (r % 8));
    } else {
      ++nulls;
    }
  }
  // Bits past the end are set at random: nothing may read them.
  for (size_t bit = n; bit < t.validity.size() * 8; ++bit) {
    if (random() % 2) t.validity[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
  }
  t.data.assign(1, std::string());
  if (format == "vu") {
    t.data.emplace_back();
    t.views.assign(16 * n, 0);
    for (size_t r = 0; r < n; ++r) {
      uint8_t* view = &t.views[16 * r];
      const auto length = static_cast<int32_t>(rows[r].size());
      std::memcpy(view, &length, 4);
      if (rows[r].size() <= 12) {
        std::memcpy(view + 4, rows[r].data(), rows[r].size());
        continue;
      }
      const auto buffer = static_cast<int32_t>(random() % 2);
      std::string& bytes = t.data[static_cast<size_t>(buffer)];
      bytes += std::string(random() % 3, '\xFF');  // views may leave gaps of anything
      const auto at = static_cast<int32_t>(bytes.size());
      bytes += rows[r];
      std::memcpy(view + 4, rows[r].data(), 4);
      std::memcpy(view + 8, &buffer, 4);
      std::memcpy(view + 12, &at, 4);
    }
  } else {
    std::string& bytes = t.data[0];
    bytes = std::string(random() % 3, '\x80');  // the first offset need not be 0
    t.offsets64.push_back(static_cast<int64_t>(bytes.size()));
    for (const std::string& row : rows) {
      bytes += row;
      t.offsets64.push_back(static_cast<int64_t>(bytes.size()));
    }
    t.offsets32.assign(t.offsets64.begin(), t.offsets64.end());
  }
  t.buffers = {nulls > 0 || random() % 2 ? t.validity.data() : nullptr};
  if (format == "vu") {
    t.buffers.push_back(t.views.data());
    for (const std::string& bytes : t.data) {
      t.buffers.push_back(bytes.data());
      t.data_sizes.push_back(static_cast<int64_t>(bytes.size()));
    }
    t.buffers.push_back(t.data_sizes.data());
  } else {
    t.buffers.push_back(format == "u" ? static_cast<const void*>(t.offsets32.data())
                                      : static_cast<const void*>(t.offsets64.data()));
    t.buffers.push_back(t.data[0].data());
  }
  t.array.length = static_cast<int64_t>(n - offset);
  t.array.offset = static_cast<int64_t>(offset);
  // A null count may be unknown (-1); the bitmap decides then.
  t.array.null_count = random() % 3 == 0 ? -1 : static_cast<int64_t>(nulls);
  t.array.n_buffers = static_cast<int64_t>(t.buffers.size());
  t.array.buffers = t.buffers.data();
  for (size_t r = offset; r < n && !t.expected; ++r) {
    if (is_valid[r] && !reference_valid(rows[r])) t.expected = r - offset;
  }
}

// Whether the Arrow text kernel encodes the array, or stops for its bytes.
bool encodes(const char* format, const ArrowArray& array) {
  catenc::ArrowTextSource source;
  source.format = format;
  source.chunks = {&array};
  source.rows = static_cast<size_t>(array.length);
  source.null_is_number = false;
  source.null_text = "<NA>";
  std::vector<double> out(source.rows);
  return catenc::arrow_text_work(source)->run(out.data(), 1).ok();
}

}  // namespace

TEST(utf8_arrow_arrays_match_rows_checked_one_by_one) {
  std::mt19937_64 random(23);
  size_t wrong = 0, with_invalid = 0, arrays = 0;
  for (int round = 0; round < 6000; ++round) {
    const size_t n = random() % 200;
    const size_t offset = n == 0 ? 0 : random() % std::min<size_t>(n, 9);
    const double null_rate = (round % 3) * 0.2;
    std::vector<std::string> rows(n);
    std::vector<bool> is_valid(n);
    const int mode = round % 4;
    if (mode < 2) {
      // One valid text cut into rows: anywhere, often inside a character, so that the stream of
      // valid rows is UTF-8 while a row on its own may not be; or only between characters.
      const std::string text = random_text(random, 0.0) + random_text(random, 0.0);
      std::vector<size_t> cuts;
      for (size_t r = 0; r + 1 < n; ++r) {
        size_t cut = text.empty() ? 0 : random() % (text.size() + 1);
        while (mode == 1 && cut < text.size() && (text[cut] & 0xC0) == 0x80) ++cut;
        cuts.push_back(cut);
      }
      std::sort(cuts.begin(), cuts.end());
      cuts.insert(cuts.begin(), 0);
      cuts.push_back(text.size());
      for (size_t r = 0; r < n; ++r) rows[r] = text.substr(cuts[r], cuts[r + 1] - cuts[r]);
    } else {
      for (size_t r = 0; r < n; ++r) rows[r] = random_text(random, mode == 2 ? 0.0 : 0.01);
    }
    std::uniform_real_distribution<double> chance(0, 1);
    for (size_t r = 0; r < n; ++r) {
      is_valid[r] = chance(random) >= null_rate;
      // A null row's bytes may be anything at all.
      if (!is_valid[r] && random() % 2) rows[r] = "\x80\xC3"sv;
    }
    for (const char* format : {"u", "U", "vu"}) {
      TestArray t;
      build(t, format, rows, is_valid, offset, random);
      ++arrays;
      with_invalid += t.expected.has_value();
      if (encodes(format, t.array) != !t.expected.has_value()) ++wrong;
    }
  }
  CHECK_EQ(wrong, size_t{0});
  CHECK(with_invalid > arrays / 5 && with_invalid < arrays * 4 / 5);
}

TEST(utf8_arrow_arrays_with_unlocatable_rows) {
  std::string bytes = "abcdef";
  std::vector<int32_t> offsets = {0, 2, 1, 6};  // row 1 ends before it starts
  const void* buffers[] = {nullptr, offsets.data(), bytes.data()};
  ArrowArray array{};
  array.length = 3;
  array.n_buffers = 3;
  array.buffers = buffers;
  CHECK(!encodes("u", array));
  offsets = {-1, 2, 3, 6};
  CHECK(!encodes("u", array));
  offsets = {0, 2, 3, 6};
  CHECK(encodes("u", array));
  buffers[2] = nullptr;  // text without a data buffer to hold it
  CHECK(!encodes("u", array));

  // A view into a data buffer the array does not have.
  std::vector<uint8_t> views(16, 0);
  const int32_t length = 20, buffer = 1, at = 0;
  std::memcpy(views.data(), &length, 4);
  std::memcpy(views.data() + 8, &buffer, 4);
  std::memcpy(views.data() + 12, &at, 4);
  std::string long_text(32, 'x');
  const int64_t sizes[] = {32};
  const void* view_buffers[] = {nullptr, views.data(), long_text.data(), sizes};
  ArrowArray viewed{};
  viewed.length = 1;
  viewed.n_buffers = 4;
  viewed.buffers = view_buffers;
  CHECK(!encodes("vu", viewed));
  const int32_t first = 0;
  std::memcpy(views.data() + 8, &first, 4);
  CHECK(encodes("vu", viewed));
}

namespace {

// What Python makes of a str holding these code points, as labels are made:
// s.encode("utf-8", "surrogatepass").decode("utf-8", "replace").encode("utf-8").
const struct {
  std::vector<uint32_t> points;
  std::string_view utf8;
} python_cases[] = {
    {{0x41}, "\x41"sv},
    {{0xE9}, "\xC3\xA9"sv},
    {{0xFF}, "\xC3\xBF"sv},
    {{0x7FF}, "\xDF\xBF"sv},
    {{0x800}, "\xE0\xA0\x80"sv},
    {{0xD7FF}, "\xED\x9F\xBF"sv},
    {{0xD800}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"sv},
    {{0xDBFF}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"sv},
    {{0xDC00}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"sv},
    {{0xDFFF}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"sv},
    {{0xE000}, "\xEE\x80\x80"sv},
    {{0xFFFD}, "\xEF\xBF\xBD"sv},
    {{0xFFFF}, "\xEF\xBF\xBF"sv},
    {{0x10000}, "\xF0\x90\x80\x80"sv},
    {{0x10FFFF}, "\xF4\x8F\xBF\xBF"sv},
    {{0xD83D, 0xDE00},
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"sv},
    {{0xDE00, 0xD83D},
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"sv},
    {{0xD800, 0xD800},
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"sv},
    {{0x61, 0xD800, 0x62}, "\x61\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\x62"sv},
    {{0x1F600, 0xDFFF, 0xE9}, "\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xC3\xA9"sv},
};

// The UTF-8 of `points` as code units of type Unit, through both functions; nothing when the
// size function and the writer disagree.
template <class Unit>
std::optional<std::string> to_utf8(const std::vector<uint32_t>& points) {
  const std::vector<Unit> units(points.begin(), points.end());
  const size_t size = catenc::utf8_size_of_ucs(units.data(), units.size());
  std::string out(size + 16, '\xAA');
  const size_t written = catenc::utf8_from_ucs(units.data(), units.size(), out.data());
  if (written != size || out.compare(size, 16, std::string(16, '\xAA')) != 0) return std::nullopt;
  out.resize(size);
  return out;
}

// The code points Python's round trip gives back for `points`.
std::vector<uint32_t> repaired(const std::vector<uint32_t>& points) {
  std::vector<uint32_t> out;
  for (const uint32_t point : points) {
    if (point >= 0xD800 && point <= 0xDFFF) {
      out.insert(out.end(), 3, 0xFFFD);
    } else {
      out.push_back(point > 0x10FFFF ? 0xFFFD : point);
    }
  }
  return out;
}

}  // namespace

TEST(utf8_from_ucs_matches_python) {
  for (const auto& c : python_cases) {
    const uint32_t widest = *std::max_element(c.points.begin(), c.points.end());
    CHECK(to_utf8<uint32_t>(c.points) == std::string(c.utf8));
    if (widest <= 0xFFFF) CHECK(to_utf8<uint16_t>(c.points) == std::string(c.utf8));
    if (widest <= 0xFF) CHECK(to_utf8<uint8_t>(c.points) == std::string(c.utf8));
  }
}

TEST(utf8_from_ucs_round_trips_every_unit_and_random_strings) {
  // Every unit of the 1- and 2-byte kinds alone, the 4-byte kind around its edges, each decoded
  // back by the reference decoder.
  size_t wrong = 0;
  const auto check_points = [&](const std::vector<uint32_t>& points, int kind) {
    std::optional<std::string> out;
    if (kind == 1) out = to_utf8<uint8_t>(points);
    if (kind == 2) out = to_utf8<uint16_t>(points);
    if (kind == 4) out = to_utf8<uint32_t>(points);
    if (!out || reference_decode(*out) != repaired(points)) ++wrong;
  };
  for (uint32_t unit = 0; unit < 0x100; ++unit) check_points({unit}, 1);
  for (uint32_t unit = 0; unit < 0x10000; ++unit) check_points({unit}, 2);
  for (const uint32_t unit : {0x10000u, 0x10FFFFu, 0x110000u, 0xFFFFFFFFu}) check_points({unit}, 4);
  // Random strings of each kind, with ASCII runs long enough for the 1-byte kind's word copy.
  std::mt19937_64 random(29);
  for (int i = 0; i < 20000; ++i) {
    const int kind = 1 << (i % 3);
    const uint32_t limit = kind == 1 ? 0x100 : kind == 2 ? 0x10000 : 0x110000;
    std::vector<uint32_t> points;
    const size_t length = random() % 60;
    for (size_t k = 0; k < length; ++k) {
      points.push_back(random() % 3 == 0 ? static_cast<uint32_t>(random() % limit)
                                         : static_cast<uint32_t>('a' + random() % 26));
    }
    check_points(points, kind);
  }
  CHECK_EQ(wrong, size_t{0});
  CHECK_EQ(catenc::utf8_size_of_ucs(static_cast<const uint8_t*>(nullptr), 0), size_t{0});
}
