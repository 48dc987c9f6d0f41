#include "result_memory.hpp"

#include <optional>

#include "block_cache.hpp"
#include "numpy_api.hpp"
#include "once.hpp"

namespace catenc::py {

namespace {

void* allocate(void*, size_t bytes) noexcept {
  return block_cache::allocate(bytes);
}
void* allocate_zeroed(void*, size_t count, size_t size) noexcept {
  return block_cache::allocate_zeroed(count, size);
}
void* reallocate(void*, void* data, size_t bytes) noexcept {
  return block_cache::reallocate(data, bytes);
}
void release(void*, void* data, size_t) noexcept {
  block_cache::release(data);
}

PyDataMem_Handler handler = {
    "catenc_results", 1, {nullptr, allocate, allocate_zeroed, reallocate, release}};

// The handler's capsule, made once and never freed: every array made with it holds it to the end.
PyResult<PyObject*> handler_capsule() {
  static OnceCell<PyObject*> capsule;
  CATENC_ASSIGN_OR_RETURN(PyObject* const* made, capsule.get_or_init([]() -> PyResult<PyObject*> {
    PyObject* made = PyCapsule_New(&handler, "mem_handler", nullptr);
    if (made == nullptr) return fetched();
    return made;
  }));
  return *made;
}

}  // namespace

PyResult<Ref> new_result_array(size_t rows, size_t columns, Table::Layout layout) {
  CATENC_TRY(numpy_api());
  CATENC_ASSIGN_OR_RETURN(PyObject * capsule, handler_capsule());
  // The handler is a context variable: it changes for this thread's context alone, and only
  // around the one allocation.
  Ref previous = Ref::steal(PyDataMem_SetHandler(capsule));
  if (!previous) return fetched();
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
  const int fortran = layout == Table::Layout::column_major ? NPY_ARRAY_F_CONTIGUOUS : 0;
  // PyArray_NewFromDescr steals the descriptor's reference.
  Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 2,
                                              dims, nullptr, nullptr, fortran, nullptr));
  std::optional<Error> failed;
  if (!array) failed = Error::fetch();
  Ref ours = Ref::steal(PyDataMem_SetHandler(previous.get()));
  if (!ours && !failed) failed = Error::fetch();
  if (failed) return Unexpected<Error>{std::move(*failed)};
  return array;
}

}  // namespace catenc::py
