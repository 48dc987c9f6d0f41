#include "fixed_text_column.hpp"

#include <atomic>
#include <bit>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "dictionary_column.hpp"
#include "distinct_set.hpp"
#include "label_encode.hpp"
#include "label_hash.hpp"
#include "pool.hpp"
#include "row_ids.hpp"

namespace catenc {

namespace {

// A cell of at most 8 bytes, or of at most 8 code points all below U+0100, is packed into a
// 64-bit key, one byte per byte or code point: packing is one-to-one within a column, and
// numbering 64-bit keys costs less than hashing and comparing views.
constexpr size_t max_packed = 8;

uint32_t load_unit(const char* at, bool big) noexcept {
  uint32_t unit;
  std::memcpy(&unit, at, sizeof unit);
  return big == (std::endian::native == std::endian::little) ? __builtin_bswap32(unit) : unit;
}

// Rows looked at before packing UCS-4 cells: a column whose text is not Latin-1 shows it early,
// and packing it would be started only to be given up.
constexpr size_t packing_sample_rows = 256;

class FixedTextWork final : public ColumnWork {
 public:
  explicit FixedTextWork(const FixedTextSource& source) : source_(source) {}

  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    if (source_.rows == 0) return std::optional<LabelMap>();
    try {
      if (packable()) {
        bool packed = true;
        CATENC_ASSIGN_OR_RETURN(std::vector<uint64_t> keys, packed_keys(out, stride, packed));
        if (packed) {
          std::vector<char> cell(source_.itemsize);
          return encode_texts(keys.size(), out, stride, [&](size_t k, char* text) {
            unpack(keys[k], cell.data());
            return write_fixed_cell_text(cell.data(), source_.itemsize, source_.kind, text);
          });
        }
      }
      const auto cell_at = [this](size_t row) { return Label(cell(row), source_.itemsize); };
      CATENC_ASSIGN_OR_RETURN(const std::vector<Label> cells,
                              distinct_rows<DistinctViewSet>(source_.rows, cell_at, out, stride));
      return encode_texts(cells.size(), out, stride, [&](size_t k, char* text) {
        return write_fixed_cell_text(cells[k].data(), source_.itemsize, source_.kind, text);
      });
    } catch (const std::bad_alloc&) {
      return unexpected(Failure::no_memory());
    }
  }

 private:
  bool is_bytes() const noexcept { return source_.kind == FixedTextKind::bytes; }
  bool big() const noexcept { return source_.kind == FixedTextKind::ucs4_big; }
  size_t units() const noexcept { return is_bytes() ? source_.itemsize : source_.itemsize / 4; }
  const char* cell(size_t row) const noexcept {
    return source_.data + static_cast<ptrdiff_t>(row) * source_.stride;
  }

  bool packable() const noexcept {
    if (units() > max_packed) return false;
    if (is_bytes()) return true;
    const size_t sample = std::min(source_.rows, packing_sample_rows);
    for (size_t r = 0; r < sample; ++r) {
      for (size_t i = 0; i < units(); ++i) {
        if (load_unit(cell(r) + 4 * i, big()) > 0xFF) return false;
      }
    }
    return true;
  }

  // Each row's index among the distinct packed keys, or `packed` false when a UCS-4 cell turned
  // out to hold a code point from U+0100 up (the indices are then meaningless).
  Outcome<std::vector<uint64_t>> packed_keys(double* out, size_t stride, bool& packed) const {
    const size_t units = this->units();
    if (is_bytes()) {
      return distinct_keys(
          source_.rows,
          [&](size_t row) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(cell(row));
            uint64_t key = 0;
            for (size_t i = 0; i < units; ++i) key |= uint64_t{bytes[i]} << (8 * i);
            return key;
          },
          out, stride);
    }
    std::atomic<bool> wide{false};
    const auto run_with = [&](auto big_order) {
      return distinct_keys(
          source_.rows,
          [&](size_t row) {
            const char* at = cell(row);
            uint64_t key = 0;
            uint32_t high = 0;
            for (size_t i = 0; i < units; ++i) {
              const uint32_t unit = load_unit(at + 4 * i, decltype(big_order)::value);
              high |= unit;
              key |= uint64_t{unit & 0xFF} << (8 * i);
            }
            if (high > 0xFF) [[unlikely]]
              wide.store(true, std::memory_order_relaxed);
            return key;
          },
          out, stride);
    };
    auto keys = big() ? run_with(std::true_type{}) : run_with(std::false_type{});
    packed = !wide.load();
    return keys;
  }

  // The cell that a packed key stands for, in the source's layout.
  void unpack(uint64_t key, char* out) const noexcept {
    if (is_bytes()) {
      for (size_t i = 0; i < source_.itemsize; ++i) out[i] = static_cast<char>(key >> (8 * i));
      return;
    }
    for (size_t i = 0; i < units(); ++i) {
      uint32_t unit = static_cast<uint32_t>(key >> (8 * i)) & 0xFF;
      if (big() == (std::endian::native == std::endian::little)) unit = __builtin_bswap32(unit);
      std::memcpy(out + 4 * i, &unit, sizeof unit);
    }
  }

  // The distinct cells' labels, written by text(k, buffer), encoded together; each row then takes
  // its cell's code.
  template <class TextOf>
  Outcome<std::optional<LabelMap>> encode_texts(size_t count, double* out, size_t stride,
                                                TextOf text) const {
    const size_t capacity = fixed_cell_text_capacity(source_.itemsize, source_.kind);
    std::string bytes;
    std::vector<size_t> ends(count);
    std::vector<char> buffer(capacity);
    for (size_t k = 0; k < count; ++k) {
      bytes.append(buffer.data(), text(k, buffer.data()));
      ends[k] = bytes.size();
    }
    std::vector<Label> labels(count);
    for (size_t k = 0; k < count; ++k) {
      const size_t begin = k == 0 ? 0 : ends[k - 1];
      labels[k] = Label(bytes.data() + begin, ends[k] - begin);
    }
    std::vector<double> code_of_cell(count);
    CATENC_ASSIGN_OR_RETURN(
        LabelMap map, label_encode_into(std::span<const Label>(labels), code_of_cell.data(), 1));
    const RowIds ids(out, stride);
    CATENC_TRY(pool::for_range(source_.rows, 1 << 16, [&](size_t lo, size_t hi) -> Status {
      ids.to_codes(lo, hi, code_of_cell.data());
      return {};
    }));
    return std::optional<LabelMap>(std::move(map));
  }

  FixedTextSource source_;
};

}  // namespace

std::unique_ptr<ColumnWork> fixed_text_work(const FixedTextSource& source) {
  return std::make_unique<FixedTextWork>(source);
}

}  // namespace catenc
