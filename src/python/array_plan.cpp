#include "array_plan.hpp"

#include <cstring>

#include "column_cells.hpp"
#include "interpreter_reader.hpp"
#include "object_cells.hpp"

namespace catenc::py {

namespace {

// NumPy's text of variable width, through the functions of its C interface that NumPy 2 added:
// they are called by their place in the interface table, since the module is built to import
// under NumPy 1 too, which has no such dtype.
struct StringApi {
  using Load = int (*)(npy_string_allocator*, const npy_packed_static_string*, npy_static_string*);
  using Acquire = npy_string_allocator* (*)(const PyArray_StringDTypeObject*);
  using Release = void (*)(npy_string_allocator*);
  Load load;
  Acquire acquire;
  Release release;
};

StringApi string_api() noexcept {
  return StringApi{reinterpret_cast<StringApi::Load>(PyArray_API[313]),
                   reinterpret_cast<StringApi::Acquire>(PyArray_API[316]),
                   reinterpret_cast<StringApi::Release>(PyArray_API[318])};
}

constexpr int vstring_type = 2056;  // NPY_VSTRING, of NumPy 2's headers

// The start of a StringDType descriptor as NumPy 2 lays it out: the headers give the full layout
// of a descriptor only to modules built for NumPy 2 alone.
struct StringDescr {
  _PyArray_DescrNumPy2 base;
  PyObject* na_object;
};

// What a null row of a StringDType stands for: its na_object, when that is one of the plain kinds
// whose float() and str() run no code of the user's.
bool string_null(const PyArray_Descr* descr, PyObject* na, DictionaryEntry& entry) {
  PyObject* na_object = reinterpret_cast<const StringDescr*>(descr)->na_object;
  // Without an na_object NumPy holds no null.
  if (na_object == nullptr) return true;
  return plain_entry(na_object, na, entry);
}

}  // namespace

PyResult<TextViewsSource> load_string_text(const PlannedStringText& column, size_t rows) {
  const std::optional<ColumnMemory> memory = column.slot.memory(rows);
  if (!memory) return stop_reading(Error::deferred(PyExc_RuntimeError, "the table changed while it was read"));
  const PyArray_Descr* descr = descr_of(column.slot.array.get());
  const StringApi api = string_api();
  TextViewsSource source;
  source.null = column.null;
  source.views.resize(rows);
  npy_string_allocator* allocator = api.acquire(reinterpret_cast<const PyArray_StringDTypeObject*>(descr));
  bool failed = false;
  for (size_t r = 0; r < rows && !failed; ++r) {
    const auto* packed = reinterpret_cast<const npy_packed_static_string*>(memory->data + static_cast<ptrdiff_t>(r) * memory->stride);
    npy_static_string text{0, nullptr};
    const int is_null = api.load(allocator, packed, &text);
    if (is_null < 0) {
      failed = true;
    } else if (is_null == 1) {
      if (source.nulls.empty()) source.nulls.resize(rows, 0);
      source.nulls[r] = 1;
    } else {
      source.views[r] = Label(text.buf != nullptr ? text.buf : "", text.size);
    }
  }
#ifdef Py_GIL_DISABLED
  // Without a GIL another thread may write the array meanwhile and free the texts we view: the
  // column gets copies of its own, taken while NumPy's lock keeps the texts in place.
  size_t total = 0;
  for (const Label& view : source.views) total += view.size();
  source.bytes.resize(total);
  size_t at = 0;
  for (Label& view : source.views) {
    if (!view.empty()) std::memcpy(source.bytes.data() + at, view.data(), view.size());
    view = Label(source.bytes.data() + at, view.size());
    at += view.size();
  }
#endif
  api.release(allocator);
  if (failed) {
    return stop_reading(Error::deferred(PyExc_MemoryError, "NumPy could not unpack a string of the array"));
  }
  return source;
}

PyStatus plan_array(Ref source, size_t columns, TablePlan& plan) {
  CATENC_ASSIGN_OR_RETURN(const bool plain, is_plain_array(source.get()));
  auto* array = reinterpret_cast<PyArrayObject*>(source.get());
  // Memory stands in for item access only where the key (row, column) reaches the same cell.
  const bool direct = plain && PyArray_NDIM(array) == 2 && static_cast<size_t>(PyArray_DIM(array, 0)) == plan.rows &&
                      static_cast<size_t>(PyArray_DIM(array, 1)) == columns;
  for (size_t c = 0; c < columns; ++c) {
    ArraySlot slot{source.clone(), static_cast<Py_ssize_t>(c)};
    if (direct) {
      const PyArray_Descr* descr = PyArray_DESCR(array);
      if (const std::optional<NumberType> type = number_type_of(descr)) {
        plan.columns.emplace_back(PlannedNumbers{std::move(slot), *type});
        continue;
      }
      if (descr->type_num == NPY_OBJECT) {
        plan.columns.emplace_back(PlannedObjects{std::move(slot)});
        continue;
      }
      DictionaryEntry null;
      if (descr->type_num == vstring_type && string_null(descr, plan.na.get(), null)) {
        plan.columns.emplace_back(PlannedStringText{std::move(slot), std::move(null)});
        continue;
      }
    }
    plan.columns.emplace_back(PlannedItems{std::move(slot)});
  }
  return {};
}

}  // namespace catenc::py
