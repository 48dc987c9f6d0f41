#include "string_text_column.hpp"

#include <vector>

#include "distinct_set.hpp"

namespace catenc::py {

namespace {

// The functions of NumPy's C interface for its variable-width text, which NumPy 2 added: called by
// their place in the interface table, since the module is built to import under NumPy 1 too,
// which has no such dtype.
using Load = int (*)(npy_string_allocator*, const npy_packed_static_string*, npy_static_string*);
using Acquire = npy_string_allocator* (*)(const PyArray_StringDTypeObject*);
using Release = void (*)(npy_string_allocator*);

constexpr size_t packed_size = 16;

class StringTextWork final : public ColumnWork {
 public:
  explicit StringTextWork(const StringTextSource& source) : source_(source) {}

  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    try {
      const auto cell_at = [data = source_.data, step = source_.stride](size_t row) {
        return Label(data + static_cast<ptrdiff_t>(row) * step, packed_size);
      };
      CATENC_ASSIGN_OR_RETURN(const std::vector<Label> cells,
                              distinct_rows<DistinctViewSet>(source_.rows, cell_at, out, stride));
      std::vector<DictionaryEntry> entries(cells.size() + 1);
      if (!unpack(cells, entries))
        return unexpected(Failure::internal("NumPy could not unpack a string of the array"));
      DictionarySource dictionary = indices_in_cells(out, stride, source_.rows);
      dictionary.every_code_used = true;
      dictionary.entries = entries;
      dictionary.rule = rule_;
      return encode_dictionary(dictionary, out, stride, &leading_numbers_);
    } catch (const std::bad_alloc&) {
      return unexpected(Failure::no_memory());
    }
  }

 private:
  // The entry of each distinct cell, under NumPy's lock; nothing else is waited for meanwhile.
  bool unpack(const std::vector<Label>& cells, std::vector<DictionaryEntry>& entries) const {
    const auto load = reinterpret_cast<Load>(PyArray_API[313]);
    const auto acquire = reinterpret_cast<Acquire>(PyArray_API[316]);
    const auto release = reinterpret_cast<Release>(PyArray_API[318]);
    npy_string_allocator* allocator =
        acquire(reinterpret_cast<const PyArray_StringDTypeObject*>(source_.descr));
    bool unpacked = true;
    try {
      for (size_t k = 0; k < cells.size() && unpacked; ++k) {
        npy_static_string text{0, nullptr};
        const int is_null = load(
            allocator, reinterpret_cast<const npy_packed_static_string*>(cells[k].data()), &text);
        if (is_null < 0) {
          unpacked = false;
        } else if (is_null == 1) {
          entries[k + 1] = source_.null;
        } else {
          entries[k + 1].text.assign(text.buf != nullptr ? text.buf : "", text.size);
        }
      }
    } catch (...) {
      release(allocator);
      throw;
    }
    release(allocator);
    return unpacked;
  }

  StringTextSource source_;
};

}  // namespace

std::unique_ptr<ColumnWork> string_text_work(const StringTextSource& source) {
  return std::make_unique<StringTextWork>(source);
}

}  // namespace catenc::py
