#include "date_column.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <numeric>
#include <span>
#include <utility>

#include "dictionary_column.hpp"
#include "label_encode.hpp"
#include "pool.hpp"
#include "row_ids.hpp"

namespace catenc {

namespace {

// Where a value's text stands among the texts of the column: NaT ("NaT") after every date, then
// by value. NaT is a rank of its own: INT64_MAX itself is a date (pandas' Timestamp.max).
using Rank = std::pair<bool, int64_t>;

// pandas' texts: every cell a label.
class PandasTexts {
 public:
  explicit PandasTexts(const DateSource& source) : unit_(source.unit), duration_(source.duration) {}

  bool numbers_unless_not_a_time() const noexcept { return false; }
  bool is_number(int64_t) const noexcept { return false; }

  DictionaryEntry entry(int64_t value) const { return {false, 0, text(value)}; }

  std::string text(int64_t value) const {
    if (value == not_a_time) return "NaT";
    char buffer[date_text_capacity];
    const size_t length = duration_ ? write_timedelta_text(value, unit_, buffer)
                                    : write_timestamp_text(value, unit_, buffer);
    return std::string(buffer, length);
  }

  // Timestamps of the years 0000 to 9999 print with four digits of year and fixed fields after, a
  // fraction only where it is not zero: their texts sort as their values do.
  bool sorts_as_values(int64_t value) const noexcept {
    constexpr int64_t first_second = -62167219200;  // 0000-01-01 00:00:00
    constexpr int64_t end_second = 253402300800;    // 10000-01-01 00:00:00
    if (duration_) return false;
    if (value == not_a_time) return true;
    const int64_t per_second = units_per_second(unit_);
    const int64_t second = value / per_second - (value % per_second < 0 ? 1 : 0);
    return second >= first_second && second < end_second;
  }

  Rank rank(int64_t value) const noexcept {
    return {value == not_a_time, value == not_a_time ? 0 : value};
  }

 private:
  TimeUnit unit_;
  bool duration_;
};

// NumPy's texts: a cell that item access gives as a Python int is a number.
class NumpyTexts {
 public:
  explicit NumpyTexts(const NumpyDateSource& source)
      : type_(source.type), duration_(source.duration), release_(source.release) {}

  bool numbers_unless_not_a_time() const noexcept {
    return numpy_times_are_numbers(type_, duration_);
  }

  bool is_number(int64_t value) const noexcept {
    return numpy_time_is_number(value, type_, duration_, release_);
  }

  DictionaryEntry entry(int64_t value) const {
    const bool number = is_number(value);
    return {number, number ? static_cast<double>(value) : 0, text(value)};
  }

  std::string text(int64_t value) const {
    char buffer[numpy_date_text_capacity];
    const size_t length = duration_ ? write_numpy_timedelta_text(value, type_, buffer)
                                    : write_numpy_datetime_text(value, type_, buffer);
    return std::string(buffer, length);
  }

  // The datetimes that are no numbers lie in the years 1 to 9999, where a unit's texts have one
  // length; two values whose scaled values are equal (the multiplication wrapped) print alike.
  bool sorts_as_values(int64_t value) const noexcept {
    if (duration_) return false;
    return value == not_a_time || !numpy_time_is_number(value, type_, duration_, release_);
  }

  Rank rank(int64_t value) const noexcept {
    return {value == not_a_time, value == not_a_time ? 0 : numpy_scaled_value(value, type_)};
  }

 private:
  NumpyTimeType type_;
  bool duration_;
  NumpyRelease release_;
};

template <class Texts>
class DateWork final : public ColumnWork {
 public:
  DateWork(const char* data, ptrdiff_t stride, size_t rows, Texts texts)
      : cells_{data, stride, rows}, texts_(std::move(texts)) {}

  // A column of numbers is numeric, or its numbers' texts depend on the rows they lie in.
  const KeyCells* key_cells() const noexcept override {
    return texts_.numbers_unless_not_a_time() ? nullptr : &cells_;
  }

  Outcome<std::optional<KeyCodes>> codes_of_keys(std::span<const uint64_t> keys) override {
    if (keys.empty()) return std::optional<KeyCodes>();
    try {
      if (std::all_of(keys.begin(), keys.end(), [&](uint64_t key) {
            return texts_.sorts_as_values(static_cast<int64_t>(key));
          })) {
        return std::optional<KeyCodes>(codes_in_value_order(keys));
      }
      // With no number among them, every key has one text wherever it lies.
      if (std::none_of(keys.begin(), keys.end(),
                       [&](uint64_t key) { return texts_.is_number(static_cast<int64_t>(key)); })) {
        return codes_of_texts(keys);
      }
    } catch (const std::bad_alloc&) {
      return unexpected(Failure::no_memory());
    }
    return std::optional<KeyCodes>();
  }

  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    if (rule_ == LabelRule::automatic && texts_.numbers_unless_not_a_time()) {
      CATENC_ASSIGN_OR_RETURN(const bool numeric, write_if_numbers(out, stride));
      if (numeric) return std::optional<LabelMap>();
    }
    // The source's fields by value: the loop writes cells the compiler cannot tell from them.
    const auto key_at = [data = cells_.data, stride_bytes = cells_.stride](size_t row) {
      uint64_t value;
      std::memcpy(&value, data + static_cast<ptrdiff_t>(row) * stride_bytes, sizeof value);
      return value;
    };
    CATENC_ASSIGN_OR_RETURN(const std::vector<uint64_t> keys,
                            distinct_keys(cells_.rows, key_at, out, stride));
    CATENC_ASSIGN_OR_RETURN(std::optional<KeyCodes> codes, codes_of_keys(keys));
    if (codes) {
      const RowIds ids(out, stride);
      CATENC_TRY(pool::for_range(cells_.rows, 1 << 16, [&](size_t lo, size_t hi) -> Status {
        ids.to_codes(lo, hi, codes->codes.data());
        return {};
      }));
      return std::optional<LabelMap>(std::move(codes->map));
    }
    DictionarySource dictionary = indices_in_cells(out, stride, cells_.rows);
    dictionary.every_code_used = true;
    std::vector<DictionaryEntry> entries(keys.size() + 1);
    for (size_t k = 0; k < keys.size(); ++k)
      entries[k + 1] = texts_.entry(static_cast<int64_t>(keys[k]));
    dictionary.entries = entries;
    dictionary.rule = rule_;
    dictionary.vocabulary = vocabulary_;
    return encode_dictionary(dictionary, out, stride, &leading_numbers_);
  }

 private:
  int64_t value_at(size_t row) const noexcept {
    int64_t value;
    std::memcpy(&value, cells_.data + static_cast<ptrdiff_t>(row) * cells_.stride, sizeof value);
    return value;
  }

  // A column without NaT whose every other value is a number holds numbers only: they are
  // written as they are read, with no set of distinct values. Otherwise nothing is written.
  Outcome<bool> write_if_numbers(double* out, size_t stride) const {
    std::atomic<bool> seen{false};
    CATENC_TRY(pool::for_range(cells_.rows, 1 << 16, [&](size_t lo, size_t hi) -> Status {
      bool here = false;
      for (size_t r = lo; r < hi; ++r) here |= value_at(r) == not_a_time;
      if (here) seen.store(true, std::memory_order_relaxed);
      return {};
    }));
    if (seen.load()) return false;
    CATENC_TRY(pool::for_range(cells_.rows, 1 << 16, [&](size_t lo, size_t hi) -> Status {
      for (size_t r = lo; r < hi; ++r) out[r * stride] = static_cast<double>(value_at(r));
      return {};
    }));
    return true;
  }

  // The distinct values sorted by rank (NaT last) are the labels sorted as texts: the codes are
  // the ranks, equal ranks sharing one, with no text compared.
  KeyCodes codes_in_value_order(std::span<const uint64_t> keys) const {
    std::vector<Rank> ranks(keys.size());
    for (size_t k = 0; k < keys.size(); ++k) ranks[k] = texts_.rank(static_cast<int64_t>(keys[k]));
    std::vector<uint32_t> order(keys.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return ranks[a] < ranks[b]; });
    KeyCodes result{std::vector<double>(keys.size()), {}};
    std::vector<std::string> texts;
    for (size_t position = 0; position < order.size(); ++position) {
      const uint32_t k = order[position];
      if (position == 0 || ranks[k] != ranks[order[position - 1]]) {
        texts.push_back(texts_.text(static_cast<int64_t>(keys[k])));
      }
      result.codes[k] = static_cast<double>(texts.size() - 1);
    }
    result.map = LabelMap::build(texts.size(), [&](size_t i) { return Label(texts[i]); });
    return result;
  }

  // Every key's text is a label: the texts are encoded as labels are, through the vocabulary
  // when there is one.
  Outcome<std::optional<KeyCodes>> codes_of_texts(std::span<const uint64_t> keys) const {
    std::vector<std::string> texts(keys.size());
    std::vector<Label> labels(keys.size());
    for (size_t k = 0; k < keys.size(); ++k) {
      texts[k] = texts_.text(static_cast<int64_t>(keys[k]));
      labels[k] = texts[k];
    }
    KeyCodes result{std::vector<double>(keys.size()), {}};
    CATENC_ASSIGN_OR_RETURN(result.map, label_encode_into(std::span<const Label>(labels),
                                                          result.codes.data(), 1, vocabulary_));
    return std::optional<KeyCodes>(std::move(result));
  }

  KeyCells cells_;
  Texts texts_;
};

class RefusedDates final : public ColumnWork {
 public:
  Outcome<std::optional<LabelMap>> run(double*, size_t) override {
    return unexpected(Failure::internal(
        "a datetime64 column of generic units holds a value other than NaT, which has no text"));
  }
};

}  // namespace

std::unique_ptr<ColumnWork> date_work(const DateSource& source) {
  return std::make_unique<DateWork<PandasTexts>>(source.data, source.stride, source.rows,
                                                 PandasTexts(source));
}

bool numpy_dates_have_texts(const NumpyDateSource& source) noexcept {
  if (source.duration || source.type.unit != NumpyTimeUnit::generic) return true;
  for (size_t r = 0; r < source.rows; ++r) {
    int64_t value;
    std::memcpy(&value, source.data + static_cast<ptrdiff_t>(r) * source.stride, sizeof value);
    if (value != not_a_time) return false;
  }
  return true;
}

std::unique_ptr<ColumnWork> numpy_date_work(const NumpyDateSource& source) {
  if (!numpy_dates_have_texts(source)) return std::make_unique<RefusedDates>();
  return std::make_unique<DateWork<NumpyTexts>>(source.data, source.stride, source.rows,
                                                NumpyTexts(source));
}

}  // namespace catenc
