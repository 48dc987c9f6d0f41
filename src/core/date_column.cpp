#include "date_column.hpp"

#include <cstring>

#include "dictionary_column.hpp"

namespace catenc {

namespace {

class DateWork final : public ColumnWork {
 public:
  explicit DateWork(const DateSource& source) : source_(source) {}

  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    const auto value_at = [this](size_t row) {
      int64_t value;
      std::memcpy(&value, source_.data + static_cast<ptrdiff_t>(row) * source_.stride, sizeof value);
      return static_cast<uint64_t>(value);
    };
    CATENC_ASSIGN_OR_RETURN(DistinctKeys distinct, distinct_keys(source_.rows, value_at));
    DictionarySource dictionary;
    dictionary.codes = reinterpret_cast<const char*>(distinct.index_of_row.data());
    dictionary.stride = sizeof(uint32_t);
    dictionary.rows = source_.rows;
    dictionary.code_size = sizeof(uint32_t);
    dictionary.code_signed = false;
    dictionary.entries.resize(distinct.keys.size() + 1);
    char buffer[date_text_capacity];
    for (size_t k = 0; k < distinct.keys.size(); ++k) {
      const auto value = static_cast<int64_t>(distinct.keys[k]);
      size_t length;
      if (value == not_a_time) {
        std::memcpy(buffer, "NaT", 3);
        length = 3;
      } else if (source_.duration) {
        length = write_timedelta_text(value, source_.unit, buffer);
      } else {
        length = write_timestamp_text(value, source_.unit, buffer);
      }
      // Neither a date nor NaT converts to a float: every row is a label.
      dictionary.entries[k + 1].text.assign(buffer, length);
    }
    return encode_dictionary(dictionary, out, stride);
  }

 private:
  DateSource source_;
};

}  // namespace

std::unique_ptr<ColumnWork> date_work(const DateSource& source) { return std::make_unique<DateWork>(source); }

}  // namespace catenc
