#include "number_column.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "label.hpp"
#include "pool.hpp"

namespace catenc {

namespace {

// Rows per task: enough that a task costs more than its scheduling.
constexpr size_t rows_per_task = 1 << 16;

double half_to_double(uint16_t half) noexcept {
  const uint64_t sign = static_cast<uint64_t>(half >> 15) << 63;
  const uint32_t exponent = (half >> 10) & 0x1F;
  const uint64_t mantissa = half & 0x3FF;
  if (exponent == 0x1F)
    return std::bit_cast<double>(sign | 0x7FF0000000000000ULL | (mantissa << 42));
  double magnitude;
  if (exponent == 0) {
    magnitude = static_cast<double>(mantissa) * 0x1p-24;
  } else {
    magnitude =
        static_cast<double>(mantissa | 0x400) * std::ldexp(1.0, static_cast<int>(exponent) - 25);
  }
  return sign ? -magnitude : magnitude;
}

template <class T>
T load(const char* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <NumberType type>
double convert(const char* p) noexcept {
  if constexpr (type == NumberType::boolean) return load<uint8_t>(p) != 0 ? 1.0 : 0.0;
  if constexpr (type == NumberType::i8) return static_cast<double>(load<int8_t>(p));
  if constexpr (type == NumberType::i16) return static_cast<double>(load<int16_t>(p));
  if constexpr (type == NumberType::i32) return static_cast<double>(load<int32_t>(p));
  if constexpr (type == NumberType::i64) return static_cast<double>(load<int64_t>(p));
  if constexpr (type == NumberType::u8) return static_cast<double>(load<uint8_t>(p));
  if constexpr (type == NumberType::u16) return static_cast<double>(load<uint16_t>(p));
  if constexpr (type == NumberType::u32) return static_cast<double>(load<uint32_t>(p));
  if constexpr (type == NumberType::u64) return static_cast<double>(load<uint64_t>(p));
  if constexpr (type == NumberType::f16) return half_to_double(load<uint16_t>(p));
  if constexpr (type == NumberType::f32) return static_cast<double>(load<float>(p));
  if constexpr (type == NumberType::f64) return load<double>(p);
  if constexpr (type == NumberType::bits) return 0;  // read a bit at a time, in convert_rows
}

template <NumberType type>
void convert_bytes(const NumberSource& source, size_t lo, size_t hi, double* out,
                   size_t out_stride) noexcept;

template <NumberType type>
void convert_rows(const NumberSource& source, size_t lo, size_t hi, double* out,
                  size_t out_stride) noexcept {
  if constexpr (type == NumberType::bits) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(source.data);
    const double missing = missing_code();
    for (size_t r = lo; r < hi; ++r) {
      const int64_t bit = source.bit_offset + static_cast<int64_t>(r);
      const double value = ((bytes[bit >> 3] >> (bit & 7)) & 1) != 0 ? 1.0 : 0.0;
      out[r * out_stride] = source.missing.missing(r) ? missing : value;
    }
  } else {
    convert_bytes<type>(source, lo, hi, out, out_stride);
  }
}

template <NumberType type>
void convert_bytes(const NumberSource& source, size_t lo, size_t hi, double* out,
                   size_t out_stride) noexcept {
  const char* data = source.data;
  const ptrdiff_t stride = source.stride;
  if (source.missing.kind == MissingRows::Kind::none) {
    // The common case, in a loop the compiler can vectorise when both sides are contiguous.
    if (out_stride == 1 && stride == static_cast<ptrdiff_t>(number_type_size(type))) {
      for (size_t r = lo; r < hi; ++r)
        out[r] = convert<type>(data + static_cast<ptrdiff_t>(r) * stride);
    } else {
      for (size_t r = lo; r < hi; ++r)
        out[r * out_stride] = convert<type>(data + static_cast<ptrdiff_t>(r) * stride);
    }
    return;
  }
  const double missing = missing_code();
  for (size_t r = lo; r < hi; ++r) {
    const double value = convert<type>(data + static_cast<ptrdiff_t>(r) * stride);
    out[r * out_stride] = source.missing.missing(r) ? missing : value;
  }
}

// Calls f(std::integral_constant<NumberType, type>{}) for the runtime `type`: the one place that
// turns the type into a template argument.
template <class F>
decltype(auto) with_type(NumberType type, F&& f) {
  using enum NumberType;
  switch (type) {
    case boolean:
      return f(std::integral_constant<NumberType, boolean>{});
    case i8:
      return f(std::integral_constant<NumberType, i8>{});
    case i16:
      return f(std::integral_constant<NumberType, i16>{});
    case i32:
      return f(std::integral_constant<NumberType, i32>{});
    case i64:
      return f(std::integral_constant<NumberType, i64>{});
    case u8:
      return f(std::integral_constant<NumberType, u8>{});
    case u16:
      return f(std::integral_constant<NumberType, u16>{});
    case u32:
      return f(std::integral_constant<NumberType, u32>{});
    case u64:
      return f(std::integral_constant<NumberType, u64>{});
    case f16:
      return f(std::integral_constant<NumberType, f16>{});
    case f32:
      return f(std::integral_constant<NumberType, f32>{});
    case f64:
      return f(std::integral_constant<NumberType, f64>{});
    case bits:
      return f(std::integral_constant<NumberType, bits>{});
  }
  return f(std::integral_constant<NumberType, f64>{});
}

using RowsFunction = void (*)(const NumberSource&, size_t, size_t, double*, size_t) noexcept;

RowsFunction rows_function(NumberType type) noexcept {
  return with_type(type, [](auto t) -> RowsFunction { return &convert_rows<decltype(t)::value>; });
}

}  // namespace

size_t number_type_size(NumberType type) noexcept {
  switch (type) {
    case NumberType::boolean:
    case NumberType::i8:
    case NumberType::u8:
      return 1;
    case NumberType::i16:
    case NumberType::u16:
    case NumberType::f16:
      return 2;
    case NumberType::i32:
    case NumberType::u32:
    case NumberType::f32:
      return 4;
    case NumberType::i64:
    case NumberType::u64:
    case NumberType::f64:
      return 8;
    case NumberType::bits:
      return 0;
  }
  return 8;
}

double number_at(const NumberSource& source, size_t row) noexcept {
  if (source.missing.missing(row)) return missing_code();
  if (source.type == NumberType::bits) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(source.data);
    const int64_t bit = source.bit_offset + static_cast<int64_t>(row);
    return ((bytes[bit >> 3] >> (bit & 7)) & 1) != 0 ? 1.0 : 0.0;
  }
  const char* p = source.data + static_cast<ptrdiff_t>(row) * source.stride;
  return with_type(source.type, [p](auto t) { return convert<decltype(t)::value>(p); });
}

void write_number_rows(const NumberSource& source, size_t lo, size_t hi, double* out,
                       size_t out_stride) noexcept {
  rows_function(source.type)(source, lo, hi, out, out_stride);
}

Status write_numbers(const NumberSource& source, double* out, size_t out_stride) {
  const RowsFunction rows = rows_function(source.type);
  return pool::for_range(source.rows, rows_per_task, [&](size_t lo, size_t hi) -> Status {
    rows(source, lo, hi, out, out_stride);
    return {};
  });
}

namespace {

class NumberWork final : public ColumnWork {
 public:
  explicit NumberWork(const NumberSource& source) : source_(source) {}
  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    CATENC_TRY(write_numbers(source_, out, stride));
    return std::optional<LabelMap>();
  }
  const NumberSource* numbers() const noexcept override { return &source_; }
  bool takes_rules() const noexcept override { return false; }

 private:
  NumberSource source_;
};

class NumberChunksWork final : public ColumnWork {
 public:
  explicit NumberChunksWork(std::vector<NumberSource> pieces) : pieces_(std::move(pieces)) {}
  bool takes_rules() const noexcept override { return false; }
  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    size_t start = 0;
    for (const NumberSource& piece : pieces_) {
      CATENC_TRY(write_numbers(piece, out + start * stride, stride));
      start += piece.rows;
    }
    return std::optional<LabelMap>();
  }

 private:
  std::vector<NumberSource> pieces_;
};

}  // namespace

std::unique_ptr<ColumnWork> number_work(const NumberSource& source) {
  return std::make_unique<NumberWork>(source);
}

std::unique_ptr<ColumnWork> number_chunks_work(std::vector<NumberSource> pieces) {
  return std::make_unique<NumberChunksWork>(std::move(pieces));
}

}  // namespace catenc
