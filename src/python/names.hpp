// Interned strings for the attribute, method and keyword names the module looks up often: made
// once per process, compared by pointer first.
#pragma once

#include "error.hpp"

namespace catenc::py {

struct Names {
  PyObject* obj;
  PyObject* encoding;
  PyObject* all;  // "__all__"
  PyObject* add_note;
  PyObject* shape;
  PyObject* values;
  PyObject* columns;
  PyObject* tolist;
  PyObject* pandas;
  PyObject* version;  // "__version__"
};

// The names; fails only if the interpreter cannot make them.
PyResult<const Names*> names();

}  // namespace catenc::py
