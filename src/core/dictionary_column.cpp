#include "dictionary_column.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <span>

#include "float_text.hpp"
#include "label.hpp"
#include "label_encode.hpp"
#include "pool.hpp"

namespace catenc {

namespace {

constexpr size_t rows_per_task = 1 << 16;

// Index into the entries of a row: its code plus one, or 0 for a missing row.
template <class Code>
size_t entry_of(const DictionarySource& source, size_t row) noexcept {
  if (source.missing.missing(row)) return 0;
  Code code;
  std::memcpy(&code, source.codes + static_cast<ptrdiff_t>(row) * source.stride, sizeof code);
  // -1 becomes 0; any other negative code wraps to a huge index, which the range check refuses.
  return static_cast<size_t>(static_cast<int64_t>(code)) + 1;
}

// Every row is a label, and every code's text one of them: the texts are encoded once, and the
// rows only look their code's up.
template <class Code>
Outcome<std::optional<LabelMap>> encode_used_texts(const DictionarySource& source, double* out,
                                                   size_t out_stride) {
  const size_t entries = source.entries.size();
  std::vector<Label> labels(entries - 1);
  for (size_t e = 1; e < entries; ++e) labels[e - 1] = source.entries[e].text;
  std::vector<double> code_of_entry(entries);
  CATENC_ASSIGN_OR_RETURN(
      LabelMap map, label_encode_into(std::span<const Label>(labels), code_of_entry.data() + 1, 1,
                                      source.vocabulary));
  std::atomic<bool> out_of_range{false};
  CATENC_TRY(pool::for_range(source.rows, rows_per_task, [&](size_t lo, size_t hi) -> Status {
    for (size_t r = lo; r < hi; ++r) {
      const size_t e = entry_of<Code>(source, r);
      if (e == 0 || e >= entries) {
        out_of_range.store(true, std::memory_order_relaxed);
        break;
      }
      out[r * out_stride] = code_of_entry[e];
    }
    return {};
  }));
  if (out_of_range.load())
    return unexpected(Failure::internal("a row's code has no entry in its dictionary"));
  return std::optional<LabelMap>(std::move(map));
}

template <class Code>
Outcome<std::optional<LabelMap>> encode_with(const DictionarySource& source, double* out,
                                             size_t out_stride, bool& leading_numbers) {
  const size_t entries = source.entries.size();
  if (source.every_code_used && source.rows > 0 && source.missing.kind == MissingRows::Kind::none &&
      std::none_of(source.entries.begin() + 1, source.entries.end(),
                   [](const DictionaryEntry& e) { return e.is_number; })) {
    return encode_used_texts<Code>(source, out, out_stride);
  }
  // The first row whose cell is no number, and whether any code lies outside the entries.
  std::atomic<size_t> first_label{source.rows};
  std::atomic<bool> out_of_range{false};
  CATENC_TRY(pool::for_range(source.rows, rows_per_task, [&](size_t lo, size_t hi) -> Status {
    size_t first_here = hi;
    bool bad = false;
    for (size_t r = lo; r < hi; ++r) {
      const size_t e = entry_of<Code>(source, r);
      bad = bad || e >= entries;
      if (!bad && first_here == hi && !source.entries[e].is_number) first_here = r;
    }
    if (bad) out_of_range.store(true, std::memory_order_relaxed);
    size_t seen = first_label.load(std::memory_order_relaxed);
    while (first_here < seen &&
           !first_label.compare_exchange_weak(seen, first_here, std::memory_order_relaxed)) {
    }
    return {};
  }));
  if (out_of_range.load())
    return unexpected(Failure::internal("a row's code has no entry in its dictionary"));
  const std::optional<size_t> split = label_split(source.rule, first_label.load(), source.rows);
  if (!split) {
    CATENC_TRY(pool::for_range(source.rows, rows_per_task, [&](size_t lo, size_t hi) -> Status {
      for (size_t r = lo; r < hi; ++r)
        out[r * out_stride] = source.entries[entry_of<Code>(source, r)].number;
      return {};
    }));
    return std::optional<LabelMap>();
  }
  leading_numbers = *split > 0;
  // The labels are those of the (entry, side) pairs the rows use: a number before the split
  // takes its float text, one after it str(); any other cell has one text on both sides.
  const size_t first = *split;
  const auto side_of = [&](size_t e, size_t r) -> size_t {
    return source.entries[e].is_number && r < first ? 0 : 1;
  };
  std::vector<std::atomic<uint8_t>> used(2 * entries);
  CATENC_TRY(pool::for_range(source.rows, rows_per_task, [&](size_t lo, size_t hi) -> Status {
    if (2 * entries > hi - lo) {
      // More entries than rows in this piece: marking each row's pair costs less than a table.
      for (size_t r = lo; r < hi; ++r) {
        const size_t e = entry_of<Code>(source, r);
        used[2 * e + side_of(e, r)].store(1, std::memory_order_relaxed);
      }
      return {};
    }
    std::vector<uint8_t> seen(2 * entries, 0);
    for (size_t r = lo; r < hi; ++r) {
      const size_t e = entry_of<Code>(source, r);
      seen[2 * e + side_of(e, r)] = 1;
    }
    for (size_t i = 0; i < seen.size(); ++i) {
      if (seen[i] != 0) used[i].store(1, std::memory_order_relaxed);
    }
    return {};
  }));
  std::vector<std::string> float_texts;
  std::vector<size_t> pair_of_label;
  std::vector<uint32_t> label_of_pair(2 * entries, 0);
  for (size_t i = 0; i < used.size(); ++i) {
    if (used[i].load(std::memory_order_relaxed) == 0) continue;
    label_of_pair[i] = static_cast<uint32_t>(pair_of_label.size());
    pair_of_label.push_back(i);
    if (i % 2 == 0) float_texts.push_back(float_text(source.entries[i / 2].number));
  }
  std::vector<Label> labels(pair_of_label.size());
  for (size_t k = 0, before = 0; k < pair_of_label.size(); ++k) {
    const size_t i = pair_of_label[k];
    labels[k] = i % 2 == 0 ? Label(float_texts[before++]) : Label(source.entries[i / 2].text);
  }
  std::vector<double> code_of_label(labels.size());
  CATENC_ASSIGN_OR_RETURN(LabelMap map,
                          label_encode_into(std::span<const Label>(labels), code_of_label.data(), 1,
                                            source.vocabulary));
  CATENC_TRY(pool::for_range(source.rows, rows_per_task, [&](size_t lo, size_t hi) -> Status {
    for (size_t r = lo; r < hi; ++r) {
      const size_t e = entry_of<Code>(source, r);
      out[r * out_stride] = code_of_label[label_of_pair[2 * e + side_of(e, r)]];
    }
    return {};
  }));
  return std::optional<LabelMap>(std::move(map));
}

}  // namespace

Outcome<std::optional<LabelMap>> encode_dictionary(const DictionarySource& source, double* out,
                                                   size_t out_stride, bool* leading_numbers) {
  bool leading = false;
  if (leading_numbers == nullptr) leading_numbers = &leading;
  *leading_numbers = false;
  try {
    switch (source.code_size) {
      case 1:
        return source.code_signed ? encode_with<int8_t>(source, out, out_stride, *leading_numbers)
                                  : encode_with<uint8_t>(source, out, out_stride, *leading_numbers);
      case 2:
        return source.code_signed
                   ? encode_with<int16_t>(source, out, out_stride, *leading_numbers)
                   : encode_with<uint16_t>(source, out, out_stride, *leading_numbers);
      case 4:
        return source.code_signed
                   ? encode_with<int32_t>(source, out, out_stride, *leading_numbers)
                   : encode_with<uint32_t>(source, out, out_stride, *leading_numbers);
      case 8:
        return source.code_signed
                   ? encode_with<int64_t>(source, out, out_stride, *leading_numbers)
                   : encode_with<uint64_t>(source, out, out_stride, *leading_numbers);
      default:
        return unexpected(Failure::internal("unsupported dictionary code size"));
    }
  } catch (const std::bad_alloc&) {
    return unexpected(Failure::no_memory());
  }
}

namespace {

class DictionaryWork final : public ColumnWork {
 public:
  explicit DictionaryWork(DictionarySource source) : source_(std::move(source)) {}
  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    source_.rule = rule_;
    source_.vocabulary = vocabulary_;
    return encode_dictionary(source_, out, stride, &leading_numbers_);
  }

 private:
  DictionarySource source_;
};

}  // namespace

DictionarySource indices_in_cells(const double* out, size_t out_stride, size_t rows) {
  DictionarySource source;
  source.codes = reinterpret_cast<const char*>(out);
  source.stride = static_cast<ptrdiff_t>(out_stride * sizeof(double));
  source.rows = rows;
  source.code_size = sizeof(uint64_t);
  source.code_signed = false;
  return source;
}

std::unique_ptr<ColumnWork> dictionary_work(DictionarySource source) {
  return std::make_unique<DictionaryWork>(std::move(source));
}

}  // namespace catenc
