#include "label_set_objects.hpp"

#include <cstring>
#include <span>

#include "numpy_api.hpp"

namespace catenc::py {

PyResult<ReceivedSet> received_set(PyObject* pair) {
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
  if (!LabelSpan::valid(data, ends)) {
    return fail(PyExc_ValueError, "a label set must hold distinct UTF-8 labels in ascending order");
  }
  return ReceivedSet{Ref::borrow(bytes), std::move(offsets), LabelSpan(data, ends)};
}

PyResult<Ref> set_object(const LabelSetBuffers& set) {
  CATENC_TRY(numpy_api());
  Ref bytes = Ref::steal(
      PyBytes_FromStringAndSize(set.bytes.data(), static_cast<Py_ssize_t>(set.bytes.size())));
  if (!bytes) return fetched();
  npy_intp length = static_cast<npy_intp>(set.offsets.size());
  Ref offsets = Ref::steal(PyArray_SimpleNew(1, &length, NPY_INT64));
  if (!offsets) return fetched();
  if (!set.offsets.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(offsets.get())), set.offsets.data(),
                set.offsets.size() * sizeof(int64_t));
  }
  return checked(PyTuple_Pack(2, bytes.get(), offsets.get()));
}

}  // namespace catenc::py
