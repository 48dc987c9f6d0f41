#include "arrow_stream.hpp"

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
  return Error::deferred(PyExc_RuntimeError,
                         std::string("reading an Arrow stream failed (") + std::to_string(code) +
                             ")" + (detail != nullptr ? std::string(": ") + detail : ""));
}

}  // namespace

void ArrowStream::ReleaseArray::operator()(ArrowArray* array) const noexcept {
  if (array->release != nullptr) array->release(array);
  delete array;
}

ArrowStream::~ArrowStream() {
  // The arrays before the stream they came from; the capsule's own destructor releases the stream.
  chunks_.clear();
}

std::vector<const ArrowArray*> ArrowStream::chunks() const {
  std::vector<const ArrowArray*> arrays;
  arrays.reserve(chunks_.size());
  for (const auto& chunk : chunks_) arrays.push_back(chunk.get());
  return arrays;
}

std::vector<const ArrowArray*> ArrowStream::field_chunks(size_t field) const {
  std::vector<const ArrowArray*> arrays;
  arrays.reserve(chunks_.size());
  for (const auto& chunk : chunks_) {
    if (static_cast<size_t>(chunk->n_children) > field) arrays.push_back(chunk->children[field]);
  }
  return arrays;
}

PyResult<ArrowStream> ArrowStream::open(PyObject* exporter) {
  ArrowStream column;
  column.capsule_ = Ref::steal(PyObject_CallMethod(exporter, "__arrow_c_stream__", nullptr));
  if (!column.capsule_) return fetched();
  auto* stream = static_cast<ArrowArrayStream*>(
      PyCapsule_GetPointer(column.capsule_.get(), "arrow_array_stream"));
  if (stream == nullptr) return fetched();
  if (stream->release == nullptr)
    return fail(PyExc_ValueError, "the Arrow stream was already consumed");

  std::unique_ptr<ArrowSchema, ReleaseSchema> schema(new ArrowSchema{});
  if (const int code = stream->get_schema(stream, schema.get()); code != 0) {
    return Unexpected<Error>{stream_error(stream, code)};
  }
  column.format_ = schema->format != nullptr ? schema->format : "";
  for (int64_t i = 0; i < schema->n_children; ++i) {
    const ArrowSchema* child = schema->children[i];
    column.fields_.push_back(Field{child->name != nullptr ? child->name : "",
                                   child->format != nullptr ? child->format : "",
                                   child->dictionary != nullptr});
  }
  for (;;) {
    std::unique_ptr<ArrowArray, ReleaseArray> chunk(new ArrowArray{});
    if (const int code = stream->get_next(stream, chunk.get()); code != 0) {
      return Unexpected<Error>{stream_error(stream, code)};
    }
    if (chunk->release == nullptr) break;  // the end of the stream
    // A table's batches hand their fields over as they are: no offset or nulls of their own.
    if (chunk->n_children != static_cast<int64_t>(column.fields_.size()) ||
        (!column.fields_.empty() && (chunk->offset != 0 || chunk->null_count != 0))) {
      return fail(PyExc_ValueError, "an Arrow stream's array does not match its schema");
    }
    column.length_ += static_cast<size_t>(chunk->length);
    column.chunks_.push_back(std::move(chunk));
  }
  return column;
}

}  // namespace catenc::py
