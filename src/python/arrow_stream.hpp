// Arrays handed over through the Arrow C stream interface (`__arrow_c_stream__`): a pyarrow-backed
// pandas column (a stream of string arrays), or a whole table such as a polars DataFrame (a
// stream of struct arrays, one child per column). Every array stays alive, its buffers in place,
// until this object goes, so labels may view them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "arrow_abi.hpp"
#include "error.hpp"

namespace catenc::py {

class ArrowStream {
 public:
  // Reads the whole stream of `exporter`, an object with `__arrow_c_stream__`.
  static PyResult<ArrowStream> open(PyObject* exporter);

  ArrowStream(ArrowStream&&) noexcept = default;
  ArrowStream& operator=(ArrowStream&&) noexcept = default;
  ~ArrowStream();

  size_t length() const noexcept { return length_; }
  const std::string& format() const noexcept { return format_; }
  // The arrays in row order.
  std::vector<const ArrowArray*> chunks() const;

  // For a stream of struct arrays: its fields, and the pieces of one of them in row order.
  struct Field {
    std::string name;
    std::string format;
    bool dictionary;  // dictionary-encoded: `format` is that of its indices
  };
  size_t field_count() const noexcept { return fields_.size(); }
  const Field& field(size_t index) const noexcept { return fields_[index]; }
  std::vector<const ArrowArray*> field_chunks(size_t field) const;

 private:
  struct ReleaseArray {
    void operator()(ArrowArray* array) const noexcept;
  };

  ArrowStream() = default;

  Ref capsule_;  // owns the stream; its destructor releases it
  std::string format_;
  std::vector<Field> fields_;  // the struct's children
  std::vector<std::unique_ptr<ArrowArray, ReleaseArray>> chunks_;
  size_t length_ = 0;
};

}  // namespace catenc::py
