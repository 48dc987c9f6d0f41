// A string column handed over through the Arrow C stream interface (`__arrow_c_stream__`), as
// pyarrow-backed pandas columns offer it: its chunks stay alive, and their bytes in place, until
// this object goes, so labels may view them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow_abi.hpp"
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
  // The chunks in row order, alive as long as this object.
  std::vector<const ArrowArray*> chunks() const {
    std::vector<const ArrowArray*> arrays;
    arrays.reserve(chunks_.size());
    for (const auto& chunk : chunks_) arrays.push_back(chunk.get());
    return arrays;
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
