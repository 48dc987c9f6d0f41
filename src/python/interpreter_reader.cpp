#include "interpreter_reader.hpp"

#include "float_text.hpp"
#include "str_text.hpp"

namespace catenc::py {

namespace {

constexpr char failed_str[] = "cant convert to str";

#ifdef Py_GIL_DISABLED
constexpr bool has_gil = false;
#else
constexpr bool has_gil = true;
#endif

// Ctrl-C stays effective during a long read: every this many cells, pending signals run.
constexpr size_t signal_check_cells = 0x10000;
thread_local size_t cells_since_signal_check = 0;

}  // namespace

Unexpected<Error> stop_reading(Error cause, std::source_location where) {
  return Unexpected<Error>{Error::stopped(failed_read, std::move(cause), where)};
}

PyStatus absorb_float_failure() {
  Error error = Error::fetch();
  if (error.must_propagate()) return Unexpected<Error>{std::move(error)};
  return {};
}

PyResult<DictionaryEntry> interpreter_entry(PyObject* cell) {
  DictionaryEntry entry;
  if (PyFloat_CheckExact(cell)) {
    entry.is_number = true;
    entry.number = PyFloat_AS_DOUBLE(cell);
  } else {
    const double value = PyFloat_AsDouble(cell);
    if (value == -1.0 && PyErr_Occurred()) {
      CATENC_TRY(absorb_float_failure());
    } else {
      entry.is_number = true;
      entry.number = value;
    }
  }
  Ref str = Ref::steal(PyObject_Str(cell));
  if (!str) return Unexpected<Error>{Error::stopped(failed_str, Error::fetch())};
  CATENC_ASSIGN_OR_RETURN(std::string_view text, str_text(str));
  entry.text.assign(text);
  return entry;
}

PyResult<std::optional<PackedLabels>> InterpreterReader::read(ColumnCells& cells) {
  is_label_column_ = false;
  leading_numbers_ = false;
  if (rule_ == LabelRule::numbers_follow) start_labels(0);
  for (size_t row = 0; row < table_.rows(); ++row) {
    if (++cells_since_signal_check >= signal_check_cells) {
      cells_since_signal_check = 0;
      if (PyErr_CheckSignals() < 0) return fetched();
    }
    // Python code may have run since the last row (a cell's methods, a signal handler, a
    // collection's callbacks and finalizers) and changed the array under us.
    cells.revalidate();
    if (is_label_column_) {
      // The objects lie scattered over the heap: start fetching one well ahead, header and
      // the text after it.
      if (cells.kind() == Direct::objects && row + 16 < table_.rows()) {
        const char* ahead = reinterpret_cast<const char*>(cells.object_at(row + 16));
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
      }
      CATENC_ASSIGN_OR_RETURN(const bool taken, take_str_in_place(cells, row));
      if (taken) continue;
    }
    PyResult<Ref> cell = cells.cell(row);
    if (!cell) return stop_reading(std::move(cell).error());
    CATENC_TRY(take_cell(row, std::move(cell).value()));
  }
  if (!is_label_column_) {
    if (rule_ == LabelRule::automatic) return std::optional<PackedLabels>();
    start_labels(table_.rows());
  }
  return std::optional<PackedLabels>(std::move(labels_));
}

// The common cell of a label column, a str stored in an array we read: its bytes are copied
// straight from the array's object. With a GIL nothing else can run meanwhile to drop it, so it
// needs no reference of ours; free-threaded builds take the general way, which holds one.
PyResult<bool> InterpreterReader::take_str_in_place(ColumnCells& cells, size_t row) {
  if (!has_gil || cells.kind() != Direct::objects) return false;
  PyObject* object = cells.object_at(row);
  if (object == nullptr || !PyUnicode_CheckExact(object)) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    // Lone surrogates: the general way repairs them. The exception made here may have set off
    // a collection, so the array is checked again first.
    CATENC_TRY(discard_exception(PyExc_UnicodeEncodeError));
    cells.revalidate();
    return false;
  }
  labels_.push_back(Label(data, static_cast<size_t>(size)));
  return true;
}

PyStatus InterpreterReader::take_cell(size_t row, Ref cell) {
  PyObject* object = cell.get();
  if (is_label_column_) return append_text(object);
  if (PyFloat_CheckExact(object)) {
    table_.at(row, column_) = PyFloat_AS_DOUBLE(object);
    return {};
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    CATENC_TRY(absorb_float_failure());
    start_labels(row);
    return append_text(object);
  }
  table_.at(row, column_) = value;
  return {};
}

void InterpreterReader::start_labels(size_t row) {
  is_label_column_ = true;
  leading_numbers_ = row > 0;
  // Room enough for most columns' bytes; mapped pages cost nothing until written.
  labels_.reserve(table_.rows(), table_.rows() * 32);
  char buffer[float_text_capacity];
  for (size_t earlier = 0; earlier < row; ++earlier) {
    const size_t length = write_float_text(table_.at(earlier, column_), buffer);
    labels_.push_back(std::string_view(buffer, length));
  }
}

PyStatus InterpreterReader::append_text(PyObject* cell) {
  Ref str;
  if (PyUnicode_CheckExact(cell)) {
    str = Ref::borrow(cell);
  } else {
    str = Ref::steal(PyObject_Str(cell));
    if (!str) return Unexpected<Error>{Error::stopped(failed_str, Error::fetch())};
  }
  CATENC_ASSIGN_OR_RETURN(std::string_view text, str_text(str));
  // Copied while its bytes are at hand, so that no str has to outlive the encoding.
  labels_.push_back(text);
  return {};
}

}  // namespace catenc::py
