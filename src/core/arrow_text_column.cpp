#include "arrow_text_column.hpp"

#include <algorithm>
#include <cstring>

#include "arrow_string_array.hpp"
#include "float_text.hpp"
#include "label_encode.hpp"
#include "pool.hpp"

namespace catenc {

namespace {

// Bytes that are not UTF-8, or that cannot be located: the same stop for both, as reading the
// column's strings through `values` fails on either.
Unexpected<Failure> not_utf8() {
  return unexpected(
      Failure::internal("failed to read the input table: UnicodeDecodeError: an Arrow string "
                        "column holds bytes that are not UTF-8"));
}

int width_of(const std::string& format) noexcept {
  if (format == "u") return 4;
  if (format == "U") return 8;
  return 0;
}

}  // namespace

ArrowTextLabels::ArrowTextLabels(const ArrowTextSource& source, Label leading, Label missing)
    : width_(width_of(source.format)), rows_(source.rows), leading_(leading), missing_(missing) {
  size_t start = 0;
  for (const ArrowArray* array : source.chunks) {
    if (array->length == 0) continue;
    chunks_.push_back(Chunk{array, start});
    start += static_cast<size_t>(array->length);
  }
  first_valid_ = rows_;
  for (const Chunk& chunk : chunks_) {
    const auto length = static_cast<size_t>(chunk.array->length);
    const size_t first = arrow::Validity::of(*chunk.array).run_end(0, length, false);
    if (first < length) {
      first_valid_ = chunk.start + first;
      return;
    }
  }
}

const ArrowTextLabels::Chunk& ArrowTextLabels::chunk_of(size_t row) const noexcept {
  if (chunks_.size() == 1) return chunks_[0];
  const auto after = std::upper_bound(chunks_.begin(), chunks_.end(), row,
                                      [](size_t r, const Chunk& chunk) { return r < chunk.start; });
  return *(after - 1);
}

Label ArrowTextLabels::at(size_t row) const noexcept {
  const Chunk& chunk = chunk_of(row);
  const size_t index = row - chunk.start;
  if (!arrow::Validity::of(*chunk.array).valid(index))
    return row < first_valid_ ? leading_ : missing_;
  if (width_ == 4) return offset_label<int32_t>(*chunk.array, index);
  if (width_ == 8) return offset_label<int64_t>(*chunk.array, index);
  Label label;
  if (!arrow::view_string(*chunk.array, index, label)) {
    mark_unlocatable();
    return Label();
  }
  return label;
}

void ArrowTextLabels::prefetch_index(size_t row) const noexcept {
  const Chunk& chunk = chunk_of(row);
  const size_t index = static_cast<size_t>(chunk.array->offset) + row - chunk.start;
  const size_t entry = width_ == 0 ? 16 : static_cast<size_t>(width_);
  __builtin_prefetch(static_cast<const char*>(chunk.array->buffers[1]) + entry * index);
}

size_t ArrowTextLabels::first_valid() const noexcept {
  return first_valid_;
}

Outcome<std::optional<LabelMap>> encode_arrow_text(const ArrowTextSource& source, double* out,
                                                   size_t stride, LabelRule rule,
                                                   bool& leading_numbers,
                                                   const VocabularyIndex* vocabulary) {
  char buffer[float_text_capacity];
  // Nulls before the first str were numbers until then, and got the float text of NaN.
  const std::string nan_text(buffer, write_float_text(missing_code(), buffer));
  const std::string missing = source.null_is_number ? std::string("nan") : source.null_text;
  // A label column needs a cell that is no number: a str, or a null that stands for none.
  const ArrowTextLabels probe(source, Label(), Label());
  const size_t first = source.null_is_number ? probe.first_valid() : 0;
  const std::optional<size_t> split = label_split(rule, std::min(first, source.rows), source.rows);
  leading_numbers = split.has_value() && *split > 0;
  if (!split) {
    const double nan = missing_code();
    CATENC_TRY(pool::for_range(source.rows, 1 << 16, [&](size_t lo, size_t hi) -> Status {
      for (size_t r = lo; r < hi; ++r) out[r * stride] = nan;
      return {};
    }));
    return std::optional<LabelMap>();
  }
  // Null rows before the split take the leading text; those rows are all before the first valid
  // one, so the labels can tell them by that alone.
  const std::string leading = source.null_is_number && *split > 0 ? nan_text : missing;
  const ArrowTextLabels labels(source, leading, missing);
  CATENC_ASSIGN_OR_RETURN(LabelMap map, label_encode_into(labels, out, stride, vocabulary));
  if (labels.unlocatable()) return not_utf8();
  return std::optional<LabelMap>(std::move(map));
}

namespace {

class ArrowTextWork final : public ColumnWork {
 public:
  explicit ArrowTextWork(ArrowTextSource source) : source_(std::move(source)) {}
  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    CATENC_ASSIGN_OR_RETURN(
        std::optional<LabelMap> map,
        encode_arrow_text(source_, out, stride, rule_, leading_numbers_, vocabulary_));
    // Each row's label is one of the distinct ones: checking those checks every row, and costs a
    // pass over the distinct labels instead of one over every row's bytes.
    if (map && !map->holds_utf8()) return not_utf8();
    return map;
  }

 private:
  ArrowTextSource source_;
};

}  // namespace

std::unique_ptr<ColumnWork> arrow_text_work(ArrowTextSource source) {
  return std::make_unique<ArrowTextWork>(std::move(source));
}

}  // namespace catenc
