// NumPy's C interface: the table of functions NumPy publishes as the capsule `_ARRAY_API`, looked
// up once per process at the first array operation. Include this instead of NumPy's headers.
#pragma once

#include "error.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL catenc_ARRAY_API
#ifndef CATENC_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace catenc::py {

// Makes the interface table available; every other NumPy call must come after a success here.
PyStatus numpy_api();

// The `numpy.memmap` class, for telling exact arrays and memory maps from other subclasses.
PyResult<PyObject*> numpy_memmap_type();

// The release of the NumPy in use, for the few results that differ between releases.
struct NumpyVersion {
  int major;
  int minor;
  bool at_least(int wanted_major, int wanted_minor) const noexcept {
    return major > wanted_major || (major == wanted_major && minor >= wanted_minor);
  }
};
PyResult<NumpyVersion> numpy_version();

}  // namespace catenc::py
