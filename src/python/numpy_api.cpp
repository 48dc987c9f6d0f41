#define CATENC_DEFINE_NUMPY_API
#include "numpy_api.hpp"

#include "names.hpp"
#include "once.hpp"
#include "str_text.hpp"

namespace catenc::py {

namespace {

struct NumpyApi {
  void** table;
  PyObject* memmap_type;
  NumpyVersion version;
};

OnceCell<NumpyApi> numpy_cell;

// The release in numpy.__version__: "2.2.6" gives {2, 2}.
PyResult<NumpyVersion> installed_version(PyObject* numpy) {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  Ref version = Ref::steal(PyObject_GetAttr(numpy, n->version));
  if (!version) return fetched();
  if (!PyUnicode_Check(version.get()))
    return Unexpected<Error>{not_an_instance(version.get(), "str")};
  CATENC_ASSIGN_OR_RETURN(std::string_view text, utf8_view(version.get()));
  long parts[2] = {0, 0};
  size_t part = 0;
  for (char ch : text) {
    if (ch == '.' && part == 0) {
      part = 1;
      continue;
    }
    if (ch < '0' || ch > '9') break;
    if (parts[part] < 1000) parts[part] = parts[part] * 10 + (ch - '0');
  }
  return NumpyVersion{static_cast<int>(parts[0]), static_cast<int>(parts[1])};
}

PyResult<NumpyApi> load() {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return fetched();
  CATENC_ASSIGN_OR_RETURN(const NumpyVersion version, installed_version(numpy.get()));
  // NumPy 2 moved its core to `numpy._core`; the old name still imports there, with a warning.
  Ref core = Ref::steal(PyImport_ImportModule(version.major >= 2 ? "numpy._core.multiarray"
                                                                 : "numpy.core.multiarray"));
  if (!core) return fetched();
  Ref capsule = Ref::steal(PyObject_GetAttrString(core.get(), "_ARRAY_API"));
  if (!capsule) return fetched();
  if (!PyCapsule_CheckExact(capsule.get())) {
    return fail(PyExc_RuntimeError, "numpy's _ARRAY_API is not a capsule");
  }
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return fetched();
  Ref memmap = Ref::steal(PyObject_GetAttrString(numpy.get(), "memmap"));
  if (!memmap) return fetched();

  // The checks NumPy's own import routine makes, on the table before it is published.
  PyArray_API = table;
  if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
    return fail(PyExc_RuntimeError,
                "catenc was built against an older NumPy ABI than the one installed");
  }
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
    return fail(PyExc_RuntimeError,
                "the installed NumPy is older than catenc needs (1.23 or newer)");
  }
  // Both live as long as the process: NumPy is never unloaded.
  return NumpyApi{table, memmap.release(), version};
}

}  // namespace

PyStatus numpy_api() {
  CATENC_ASSIGN_OR_RETURN(const NumpyApi* api, numpy_cell.get_or_init(load));
  (void)api;
  return {};
}

PyResult<PyObject*> numpy_memmap_type() {
  CATENC_ASSIGN_OR_RETURN(const NumpyApi* api, numpy_cell.get_or_init(load));
  return api->memmap_type;
}

PyResult<NumpyVersion> numpy_version() {
  CATENC_ASSIGN_OR_RETURN(const NumpyApi* api, numpy_cell.get_or_init(load));
  return api->version;
}

}  // namespace catenc::py
