#include "masked_column.hpp"

#include <bit>
#include <cstring>

#include "dictionary_column.hpp"
#include "float_text.hpp"

namespace catenc {

namespace {

bool is_float(NumberType type) noexcept {
  return type == NumberType::f16 || type == NumberType::f32 || type == NumberType::f64;
}

bool is_unsigned(NumberType type) noexcept {
  return type == NumberType::u8 || type == NumberType::u16 || type == NumberType::u32 ||
         type == NumberType::u64;
}

// The raw value of a row, widened: what tells its cell from another's.
uint64_t raw_key(const NumberSource& source, size_t row) noexcept {
  const char* p = source.data + static_cast<ptrdiff_t>(row) * source.stride;
  if (is_float(source.type)) {
    NumberSource one = source;
    one.missing = MissingRows{};
    return std::bit_cast<uint64_t>(number_at(one, row));
  }
  if (source.type == NumberType::boolean) return *reinterpret_cast<const uint8_t*>(p) != 0;
  uint64_t value = 0;
  const size_t size = number_type_size(source.type);
  std::memcpy(&value, p, size);
  if (!is_unsigned(source.type) && size < 8) {
    const unsigned shift = static_cast<unsigned>(64 - 8 * size);
    value = static_cast<uint64_t>(static_cast<int64_t>(value << shift) >> shift);
  }
  return value;
}

// str() of the Python object a key stands for.
std::string str_of_key(uint64_t key, NumberType type) {
  char buffer[float_repr_capacity];
  if (type == NumberType::boolean) return key != 0 ? "True" : "False";
  if (is_float(type))
    return std::string(buffer, write_float_repr(std::bit_cast<double>(key), buffer));
  if (is_unsigned(type)) return std::to_string(key);
  return std::string(buffer, write_int_text(static_cast<int64_t>(key), buffer));
}

double number_of_key(uint64_t key, NumberType type) noexcept {
  if (type == NumberType::boolean) return key != 0 ? 1.0 : 0.0;
  if (is_float(type)) return std::bit_cast<double>(key);
  if (is_unsigned(type)) return static_cast<double>(key);
  return static_cast<double>(static_cast<int64_t>(key));
}

class MaskedWork final : public ColumnWork {
 public:
  explicit MaskedWork(const NumberSource& source) : source_(source) {}

  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    bool any_missing = false;
    for (size_t r = 0; r < source_.rows && !any_missing; ++r)
      any_missing = source_.missing.missing(r);
    if (!any_missing && rule_ == LabelRule::automatic) {
      CATENC_TRY(write_numbers(source_, out, stride));
      return std::optional<LabelMap>();
    }
    CATENC_ASSIGN_OR_RETURN(
        const std::vector<uint64_t> keys,
        distinct_keys(
            source_.rows, [this](size_t row) { return raw_key(source_, row); }, out, stride));
    DictionarySource dictionary = indices_in_cells(out, stride, source_.rows);
    dictionary.missing = source_.missing;
    std::vector<DictionaryEntry> entries(keys.size() + 1);
    entries[0].text = "<NA>";
    for (size_t k = 0; k < keys.size(); ++k) {
      DictionaryEntry& entry = entries[k + 1];
      entry.is_number = true;
      entry.number = number_of_key(keys[k], source_.type);
      entry.text = str_of_key(keys[k], source_.type);
    }
    dictionary.entries = entries;
    dictionary.rule = rule_;
    return encode_dictionary(dictionary, out, stride, &leading_numbers_);
  }

 private:
  NumberSource source_;
};

}  // namespace

std::unique_ptr<ColumnWork> masked_work(const NumberSource& source) {
  return std::make_unique<MaskedWork>(source);
}

}  // namespace catenc
