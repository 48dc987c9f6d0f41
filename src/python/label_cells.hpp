// The Python objects of decoded cells: each label's str, made once per encoder and shared by every
// cell with that label and by later decodes, or the object that stands for a missing cell.
#pragma once

#include <vector>

#include "decode.hpp"
#include "learned.hpp"
#include "table.hpp"

namespace catenc::py {

class LabelCells {
 public:
  // The cells of encoded column `column`; `missing` stands for a cell that decodes as missing.
  static PyResult<LabelCells> of(const Learned& learned, size_t column, PyObject* missing);

  // A new reference to the object of a cell's code.
  PyResult<PyObject*> cell(double code) const {
    const std::optional<uint64_t> key = decode_code(code, map_);
    if (!key) return Py_NewRef(missing_);
    PyObject* str = strs_.made(*key);
    if (str == nullptr) {
      CATENC_ASSIGN_OR_RETURN(str, strs_.get(*key));
    }
    return Py_NewRef(str);
  }

 private:
  LabelCells(Learned::ColumnStrs strs, PyObject* missing)
      : strs_(strs), map_(strs.map()), missing_(missing) {}

  Learned::ColumnStrs strs_;
  const LabelMap& map_;
  PyObject* missing_;
};

// Puts a new reference into a slot of an object array, letting go of whatever the slot held:
// a new array's slots are null as NumPy makes them today, but an array filled with None (as
// numpy.empty fills them) would otherwise leak a reference to None per cell.
inline void store(PyObject** slot, PyObject* value) {
  PyObject* old = *slot;
  *slot = value;
  Py_XDECREF(old);
}

// Every column's values in an array of its own: the labels (str, or None for missing) of an
// encoded column in an object array, the floats of any other in a float64 one. They are taken out
// of the table before any code of pandas' or polars' runs: the table may be the caller's own
// array, read in place, and that code may run callbacks (a collection's, another thread's) that
// change or free it.
PyResult<std::vector<Ref>> decoded_columns(const Table& table, const Learned& learned);

}  // namespace catenc::py
