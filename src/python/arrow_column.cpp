#include "arrow_column.hpp"

namespace catenc::py {

namespace {

struct ReleaseSchema {
  void operator()(ArrowSchema* schema) const noexcept {
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
  }
};

Error stream_error(ArrowArrayStream* stream, int code) {
  const char* detail = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
  return Error::deferred(PyExc_RuntimeError, std::string("reading an Arrow stream failed (") +
                                                 std::to_string(code) + ")" +
                                                 (detail != nullptr ? std::string(": ") + detail : ""));
}

}  // namespace

void ArrowColumn::ReleaseArray::operator()(ArrowArray* array) const noexcept {
  if (array->release != nullptr) array->release(array);
  delete array;
}

ArrowColumn::~ArrowColumn() {
  // The arrays before the stream they came from; the capsule's own destructor releases the stream.
  chunks_.clear();
}

PyResult<std::optional<ArrowColumn>> ArrowColumn::open(PyObject* exporter) {
  ArrowColumn column;
  column.capsule_ = Ref::steal(PyObject_CallMethod(exporter, "__arrow_c_stream__", nullptr));
  if (!column.capsule_) return fetched();
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(column.capsule_.get(), "arrow_array_stream"));
  if (stream == nullptr) return fetched();
  if (stream->release == nullptr) return std::optional<ArrowColumn>();

  std::unique_ptr<ArrowSchema, ReleaseSchema> schema(new ArrowSchema{});
  if (const int code = stream->get_schema(stream, schema.get()); code != 0) {
    return Unexpected<Error>{stream_error(stream, code)};
  }
  const std::string_view format(schema->format != nullptr ? schema->format : "");
  if (format != "u" && format != "U" && format != "vu") return std::optional<ArrowColumn>();
  column.format_ = schema->format;
  for (;;) {
    std::unique_ptr<ArrowArray, ReleaseArray> chunk(new ArrowArray{});
    if (const int code = stream->get_next(stream, chunk.get()); code != 0) {
      return Unexpected<Error>{stream_error(stream, code)};
    }
    if (chunk->release == nullptr) break;  // the end of the stream
    column.length_ += static_cast<size_t>(chunk->length);
    column.chunks_.push_back(std::move(chunk));
  }
  return std::optional<ArrowColumn>(std::move(column));
}

}  // namespace catenc::py
