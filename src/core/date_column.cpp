#include "date_column.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "dictionary_column.hpp"
#include "pool.hpp"
#include "row_ids.hpp"

namespace catenc {

namespace {

// Timestamps of the years 0000 to 9999 print with four digits of year and fixed fields after, a
// fraction only where it is not zero: their texts sort as their values do. NaT prints "NaT",
// after every digit.
bool texts_sort_as_values(const std::vector<uint64_t>& keys, TimeUnit unit) noexcept {
  constexpr int64_t first_second = -62167219200;  // 0000-01-01 00:00:00
  constexpr int64_t end_second = 253402300800;    // 10000-01-01 00:00:00
  const int64_t per_second = units_per_second(unit);
  return std::all_of(keys.begin(), keys.end(), [&](uint64_t key) {
    const auto value = static_cast<int64_t>(key);
    if (value == not_a_time) return true;
    const int64_t second = value / per_second - (value % per_second < 0 ? 1 : 0);
    return second >= first_second && second < end_second;
  });
}

class DateWork final : public ColumnWork {
 public:
  explicit DateWork(const DateSource& source) : source_(source) {}

  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    const auto value_at = [this](size_t row) {
      int64_t value;
      std::memcpy(&value, source_.data + static_cast<ptrdiff_t>(row) * source_.stride, sizeof value);
      return static_cast<uint64_t>(value);
    };
    CATENC_ASSIGN_OR_RETURN(const std::vector<uint64_t> keys, distinct_keys(source_.rows, value_at, out, stride));
    if (!source_.duration && !keys.empty() && texts_sort_as_values(keys, source_.unit)) {
      return encode_in_value_order(keys, out, stride);
    }
    DictionarySource dictionary = indices_in_cells(out, stride, source_.rows);
    dictionary.every_code_used = true;
    std::vector<DictionaryEntry> entries(keys.size() + 1);
    // Neither a date nor NaT converts to a float: every row is a label.
    for (size_t k = 0; k < keys.size(); ++k) entries[k + 1].text = text_of(keys[k]);
    dictionary.entries = entries;
    return encode_dictionary(dictionary, out, stride);
  }

 private:
  std::string text_of(uint64_t key) const {
    const auto value = static_cast<int64_t>(key);
    if (value == not_a_time) return "NaT";
    char buffer[date_text_capacity];
    const size_t length = source_.duration ? write_timedelta_text(value, source_.unit, buffer)
                                           : write_timestamp_text(value, source_.unit, buffer);
    return std::string(buffer, length);
  }

  // The distinct values sorted as numbers (NaT last) are the labels sorted as texts: their codes
  // are their ranks, with no text compared.
  Outcome<std::optional<LabelMap>> encode_in_value_order(const std::vector<uint64_t>& keys, double* out,
                                                         size_t stride) {
    std::vector<uint32_t> order(keys.size());
    std::iota(order.begin(), order.end(), 0);
    const auto rank = [&](uint32_t k) {
      const auto value = static_cast<int64_t>(keys[k]);
      return value == not_a_time ? INT64_MAX : value;  // no date reaches INT64_MAX in these years
    };
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return rank(a) < rank(b); });
    std::vector<double> code_of_key(keys.size());
    std::vector<std::string> texts(keys.size());
    for (size_t position = 0; position < order.size(); ++position) {
      code_of_key[order[position]] = static_cast<double>(position);
      texts[position] = text_of(keys[order[position]]);
    }
    const RowIds ids(out, stride);
    CATENC_TRY(pool::for_range(source_.rows, 1 << 16, [&](size_t lo, size_t hi) -> Status {
      ids.to_codes(lo, hi, code_of_key.data());
      return {};
    }));
    return std::optional<LabelMap>(LabelMap::build(texts.size(), [&](size_t i) { return Label(texts[i]); }));
  }

  DateSource source_;
};

}  // namespace

std::unique_ptr<ColumnWork> date_work(const DateSource& source) { return std::make_unique<DateWork>(source); }

}  // namespace catenc
