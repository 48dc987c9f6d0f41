// Object columns whose cells are all of the few plain kinds (str, float, small int, bool, None,
// pandas.NA), read straight from the objects' fields on a worker of the pool: no interpreter call
// per cell, and no object's method runs, so the result is what float() and str() would give.
//
// Why reading fields off the calling thread is safe:
// - With a GIL, the calling thread holds it for the whole call and waits for the pool without
//   releasing it, so no Python code runs anywhere while workers read: nothing can replace a cell
//   of the array, free an object, or resize the array. The array itself is held by the caller.
// - Without a GIL, other threads do run. The objects read are immutable (the fields read are set
//   when the object is made and never change: a str's length, kind and text, a float's value, an
//   int's digits) and each is held by the array, which the caller holds. Another thread that
//   writes cells of the same array while it is being encoded races with us exactly as it races
//   with any NumPy operation on that array; that is the caller's race, not a new one.
#pragma once

#include <cstddef>
#include <memory>

#include "column_work.hpp"
#include "dictionary_column.hpp"
#include "error.hpp"

namespace catenc::py {

struct ObjectSlots {
  const char* data = nullptr;  // the first row's slot
  ptrdiff_t stride = 0;        // bytes between rows' slots
  size_t rows = 0;
  PyObject* na = nullptr;  // pandas.NA, when pandas is loaded: a cell whose str is "<NA>"

  PyObject* at(size_t row) const noexcept {
    PyObject* object;
    __builtin_memcpy(&object, data + static_cast<ptrdiff_t>(row) * stride, sizeof object);
    return object;
  }
};

// The first row whose cell is of any other kind (its float() or str() may run code, or needs the
// interpreter), or rows when there is none. Reads only the cells' types; runs no code.
size_t first_foreign_cell(const ObjectSlots& slots) noexcept;

// The work on a column whose cells are all plain (first_foreign_cell found none).
std::unique_ptr<ColumnWork> plain_objects_work(const ObjectSlots& slots);

// What float() and str() give of a plain cell, or false for a cell of any other kind.
bool plain_entry(PyObject* cell, PyObject* na, DictionaryEntry& entry);

}  // namespace catenc::py
