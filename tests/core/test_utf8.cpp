// UTF-8: the validator against a decoder written from the definition, exhaustively over short
// sequences and at random over long ones; the encoding of code units against Python's own
// results and a decoding round trip.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

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
