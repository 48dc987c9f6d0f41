// A string column handed over through the Arrow C stream interface (`__arrow_c_stream__`), as
// pyarrow-backed pandas columns offer it: its chunks stay alive, and their bytes in place, until
// this object goes, so labels may view them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow_strings.hpp"
#include "error.hpp"

namespace catenc::py {

class ArrowColumn {
 public:
  // The chunks of `exporter` (an object with `__arrow_c_stream__`); nothing when its type is not
  // one of the string types we read.
  static PyResult<std::optional<ArrowColumn>> open(PyObject* exporter);

  ArrowColumn(ArrowColumn&&) noexcept = default;
  ArrowColumn& operator=(ArrowColumn&&) noexcept = default;
  ~ArrowColumn();

  size_t length() const noexcept { return length_; }
  const std::string& format() const noexcept { return format_; }
  // The array, when the column is one chunk.
  const ArrowArray* only_chunk() const noexcept { return chunks_.size() == 1 ? chunks_[0].get() : nullptr; }

  // visit(row, label) for every valid row and visit_null(row) for every null one, in row order.
  template <class Visit, class VisitNull>
  void for_each(Visit visit, VisitNull visit_null) const {
    size_t base = 0;
    for (const auto& chunk : chunks_) {
      for_each_arrow_string(
          format_.c_str(), *chunk, [&](size_t row, Label label) { visit(base + row, label); },
          [&](size_t row) { visit_null(base + row); });
      base += static_cast<size_t>(chunk->length);
    }
  }

 private:
  struct ReleaseArray {
    void operator()(ArrowArray* array) const noexcept;
  };

  ArrowColumn() = default;

  Ref capsule_;  // owns the stream; its destructor releases it
  std::string format_;
  std::vector<std::unique_ptr<ArrowArray, ReleaseArray>> chunks_;
  size_t length_ = 0;
};

}  // namespace catenc::py
