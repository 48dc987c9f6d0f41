#include "label_set_objects.hpp"

#include <cstring>
#include <span>

#include "numpy_api.hpp"

namespace catenc::py {

PyResult<ReceivedSet> received_set(PyObject* pair, bool labels_checked) {
  CATENC_TRY(numpy_api());
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
    return Unexpected<Error>{not_an_instance(pair, "tuple")};
  PyObject* bytes = PyTuple_GET_ITEM(pair, 0);
  if (!PyBytes_Check(bytes)) return Unexpected<Error>{not_an_instance(bytes, "bytes")};
  Ref offsets =
      Ref::steal(PyArray_FROM_OTF(PyTuple_GET_ITEM(pair, 1), NPY_INT64, NPY_ARRAY_IN_ARRAY));
  if (!offsets) return fetched();
  auto* array = reinterpret_cast<PyArrayObject*>(offsets.get());
  if (PyArray_NDIM(array) != 1) return fail(PyExc_ValueError, "a label set's offsets must be 1-D");
  const std::span<const char> data(PyBytes_AS_STRING(bytes),
                                   static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
  const std::span<const int64_t> ends(static_cast<const int64_t*>(PyArray_DATA(array)),
                                      static_cast<size_t>(PyArray_DIM(array, 0)));
  if (!(labels_checked ? LabelSpan::valid(data, ends) : LabelSpan::valid_layout(data, ends))) {
    return fail(PyExc_ValueError, "a label set must hold distinct UTF-8 labels in ascending order");
  }
  return ReceivedSet{Ref::borrow(bytes), std::move(offsets), LabelSpan(data, ends)};
}

namespace {

// (bytes, offsets) of `labels` labels, of which fill(bytes, offsets) writes every byte and every
// offset after the first.
template <class Fill>
PyResult<Ref> new_set_object(size_t byte_count, size_t labels, Fill fill) {
  CATENC_TRY(numpy_api());
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(byte_count)));
  if (!bytes) return fetched();
  npy_intp length = static_cast<npy_intp>(labels + 1);
  Ref offsets = Ref::steal(PyArray_SimpleNew(1, &length, NPY_INT64));
  if (!offsets) return fetched();
  auto* ends = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(offsets.get())));
  ends[0] = 0;
  fill(PyBytes_AS_STRING(bytes.get()), ends);
  return checked(PyTuple_Pack(2, bytes.get(), offsets.get()));
}

}  // namespace

PyResult<Ref> set_object(const LabelMap& map) {
  const std::span<const char> bytes = map.bytes();
  return new_set_object(bytes.size(), map.size(), [&](char* to_bytes, int64_t* ends) {
    if (!bytes.empty()) std::memcpy(to_bytes, bytes.data(), bytes.size());
    for (size_t i = 1; i <= map.size(); ++i) ends[i] = static_cast<int64_t>(map.offset(i));
  });
}

PyResult<Ref> set_object(const LabelSetBuffers& set) {
  const size_t labels = set.offsets.empty() ? 0 : set.offsets.size() - 1;
  return new_set_object(set.bytes.size(), labels, [&](char* to_bytes, int64_t* ends) {
    if (!set.bytes.empty()) std::memcpy(to_bytes, set.bytes.data(), set.bytes.size());
    if (labels > 0) std::memcpy(ends + 1, set.offsets.data() + 1, labels * sizeof(int64_t));
  });
}

}  // namespace catenc::py
