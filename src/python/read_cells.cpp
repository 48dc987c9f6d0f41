#include "read_cells.hpp"

#include <bit>
#include <cstring>
#include <vector>

#include "encode_columns.hpp"
#include "float_text.hpp"
#include "names.hpp"
#include "numpy_api.hpp"
#include "str_text.hpp"
#include "text_arena.hpp"

namespace catenc::py {

namespace {

// The stop message of the steps that read the table and are not expected to fail.
constexpr char failed_read[] = "failed to read the input table";
constexpr char failed_str[] = "cant convert to str";

Unexpected<Error> stop(const char* step, Error cause,
                       std::source_location where = std::source_location::current()) {
  return Unexpected<Error>{Error::stopped(step, std::move(cause), where)};
}

struct Shape {
  size_t rows;
  size_t columns;
};

PyResult<size_t> shape_item(PyObject* item) {
  Ref index = Ref::steal(PyNumber_Index(item));
  if (!index) return fetched();
  const size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<size_t>(-1) && PyErr_Occurred()) return fetched();
  return value;
}

PyResult<Shape> read_shape(PyObject* obj, const Names& n) {
  Ref shape = Ref::steal(PyObject_GetAttr(obj, n.shape));
  if (!shape) return stop(failed_read, Error::fetch());
  if (!PyTuple_Check(shape.get())) return stop(failed_read, not_an_instance(shape.get(), "tuple"));
  if (PyTuple_GET_SIZE(shape.get()) != 2) {
    return stop(failed_read,
                Error::deferred(PyExc_ValueError,
                                "expected a shape of 2 dimensions, got " +
                                    std::to_string(PyTuple_GET_SIZE(shape.get()))));
  }
  PyResult<size_t> rows = shape_item(PyTuple_GET_ITEM(shape.get(), 0));
  if (!rows) return stop(failed_read, std::move(rows).error());
  PyResult<size_t> columns = shape_item(PyTuple_GET_ITEM(shape.get(), 1));
  if (!columns) return stop(failed_read, std::move(columns).error());
  return Shape{rows.value(), columns.value()};
}

// How the cells of an exact ndarray or memmap can be read from its memory; `items` means through
// the interpreter's item access.
enum class Direct { items, objects, boolean, i8, i16, i32, i64, u8, u16, u32, u64, f16, f32, f64 };

Direct integer_kind(size_t size, bool is_signed) {
  switch (size) {
    case 1: return is_signed ? Direct::i8 : Direct::u8;
    case 2: return is_signed ? Direct::i16 : Direct::u16;
    case 4: return is_signed ? Direct::i32 : Direct::u32;
    case 8: return is_signed ? Direct::i64 : Direct::u64;
    default: return Direct::items;
  }
}

Direct direct_kind(PyArrayObject* array) {
  PyArray_Descr* descr = PyArray_DESCR(array);
  if (!PyArray_ISNBO(descr->byteorder)) return Direct::items;
  const auto size = static_cast<size_t>(PyDataType_ELSIZE(descr));
  switch (descr->type_num) {
    case NPY_OBJECT: return Direct::objects;
    case NPY_BOOL: return Direct::boolean;
    case NPY_BYTE: case NPY_SHORT: case NPY_INT: case NPY_LONG: case NPY_LONGLONG:
      return integer_kind(size, true);
    case NPY_UBYTE: case NPY_USHORT: case NPY_UINT: case NPY_ULONG: case NPY_ULONGLONG:
      return integer_kind(size, false);
    case NPY_HALF: return Direct::f16;
    case NPY_FLOAT: return Direct::f32;
    case NPY_DOUBLE: return Direct::f64;
    default: return Direct::items;
  }
}

// float() of a NumPy half: exact, NaN payloads kept.
double half_to_double(uint16_t half) {
  const uint64_t sign = static_cast<uint64_t>(half >> 15) << 63;
  const uint32_t exponent = (half >> 10) & 0x1F;
  const uint64_t mantissa = half & 0x3FF;
  if (exponent == 0x1F) return std::bit_cast<double>(sign | 0x7FF0000000000000ULL | (mantissa << 42));
  double magnitude;
  if (exponent == 0) {
    magnitude = static_cast<double>(mantissa) * 0x1p-24;
  } else {
    magnitude = static_cast<double>(mantissa | 0x400) * std::ldexp(1.0, static_cast<int>(exponent) - 25);
  }
  return sign ? -magnitude : magnitude;
}

// Where the cells come from. Cells of an exact ndarray or memmap whose shape is the table's are
// read from its memory; any other source, and any array that user code has reshaped, resized or
// reallocated while we read it, through item access with a (row, column) key.
class CellSource {
 public:
  static PyResult<CellSource> open(Ref source, Shape shape) {
    CellSource cells(std::move(source));
    CATENC_ASSIGN_OR_RETURN(PyObject* memmap, numpy_memmap_type());
    PyObject* object = cells.source_.get();
    const bool exact_array =
        Py_IS_TYPE(object, &PyArray_Type) || Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(memmap);
    if (!exact_array) return cells;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 2 || static_cast<size_t>(PyArray_DIM(array, 0)) != shape.rows ||
        static_cast<size_t>(PyArray_DIM(array, 1)) != shape.columns) {
      return cells;
    }
    cells.kind_ = direct_kind(array);
    cells.array_ = array;
    cells.data_ = PyArray_BYTES(array);
    cells.strides_[0] = PyArray_STRIDE(array, 0);
    cells.strides_[1] = PyArray_STRIDE(array, 1);
    cells.descr_ = PyArray_DESCR(array);
    cells.rows_ = shape.rows;
    cells.columns_ = shape.columns;
    return cells;
  }

  Direct kind() const noexcept { return kind_; }

  const char* address(size_t row, size_t column) const noexcept {
    return data_ + static_cast<npy_intp>(row) * strides_[0] + static_cast<npy_intp>(column) * strides_[1];
  }

  // The cell, as a reference of our own taken before any method of it can run.
  PyResult<Ref> cell(size_t row, size_t column) {
    if (kind_ == Direct::objects) {
      PyObject* object;
      std::memcpy(&object, address(row, column), sizeof object);
      // NumPy reads a null slot of an object array as None.
      return Ref::borrow(object != nullptr ? object : Py_None);
    }
    Ref key = Ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(row), static_cast<Py_ssize_t>(column)));
    if (!key) return fetched();
    Ref cell = Ref::steal(PyObject_GetItem(source_.get(), key.get()));
    if (!cell) return stop(failed_read, Error::fetch());
    return cell;
  }

  // After user code has run: it may have changed the array under us. Item access gives the
  // answer the array gives now; memory we remembered might no longer be there.
  void after_user_code() noexcept {
    if (kind_ != Direct::objects) return;
    if (PyArray_BYTES(array_) != data_ || PyArray_NDIM(array_) != 2 ||
        static_cast<size_t>(PyArray_DIM(array_, 0)) != rows_ ||
        static_cast<size_t>(PyArray_DIM(array_, 1)) != columns_ ||
        PyArray_STRIDE(array_, 0) != strides_[0] || PyArray_STRIDE(array_, 1) != strides_[1] ||
        PyArray_DESCR(array_) != descr_) {
      kind_ = Direct::items;
    }
  }

 private:
  explicit CellSource(Ref source) : source_(std::move(source)) {}

  Ref source_;
  Direct kind_ = Direct::items;
  PyArrayObject* array_ = nullptr;
  const char* data_ = nullptr;
  npy_intp strides_[2] = {0, 0};
  PyArray_Descr* descr_ = nullptr;
  size_t rows_ = 0;
  size_t columns_ = 0;
};

// True when converting or printing the object cannot run code of the user's.
bool is_plain(PyObject* object) {
  return PyFloat_CheckExact(object) || PyLong_CheckExact(object) || PyUnicode_CheckExact(object) ||
         PyBool_Check(object) || object == Py_None;
}

// Reads the cells into the table (numeric columns) or into label lists (label columns).
class TableReader {
 public:
  TableReader(Table& table, CellSource& source) : table_(table), source_(source) {}

  PyStatus read_column(size_t column) {
    switch (source_.kind()) {
      case Direct::items:
      case Direct::objects:
        return read_object_column(column);
      case Direct::boolean: return read_numeric<bool>(column);
      case Direct::i8: return read_numeric<int8_t>(column);
      case Direct::i16: return read_numeric<int16_t>(column);
      case Direct::i32: return read_numeric<int32_t>(column);
      case Direct::i64: return read_numeric<int64_t>(column);
      case Direct::u8: return read_numeric<uint8_t>(column);
      case Direct::u16: return read_numeric<uint16_t>(column);
      case Direct::u32: return read_numeric<uint32_t>(column);
      case Direct::u64: return read_numeric<uint64_t>(column);
      case Direct::f16: return read_numeric<uint16_t, true>(column);
      case Direct::f32: return read_numeric<float>(column);
      case Direct::f64: return read_numeric<double>(column);
    }
    return {};
  }

  std::vector<LabelColumn>& label_columns() noexcept { return label_columns_; }

 private:
  // float() of every NumPy scalar of these dtypes is the C conversion of its value; no object
  // needs to be made.
  template <class T, bool half = false>
  PyStatus read_numeric(size_t column) {
    for (size_t row = 0; row < table_.rows(); ++row) {
      T value;
      std::memcpy(&value, source_.address(row, column), sizeof value);
      if constexpr (half) {
        table_.at(row, column) = half_to_double(value);
      } else if constexpr (std::is_same_v<T, bool>) {
        table_.at(row, column) = value ? 1.0 : 0.0;
      } else {
        table_.at(row, column) = static_cast<double>(value);
      }
    }
    return {};
  }

  PyStatus read_object_column(size_t column) {
    labels_ = nullptr;
    for (size_t row = 0; row < table_.rows(); ++row) {
      // A long read stays interruptible with Ctrl-C.
      if ((++cells_read_ & 0xFFFF) == 0 && PyErr_CheckSignals() < 0) return fetched();
      CATENC_ASSIGN_OR_RETURN(Ref cell, source_.cell(row, column));
      const bool plain = is_plain(cell.get());
      CATENC_TRY(take_cell(row, column, std::move(cell)));
      if (!plain) source_.after_user_code();
    }
    return {};
  }

  PyStatus take_cell(size_t row, size_t column, Ref cell) {
    if (labels_ != nullptr) return append_text(std::move(cell));
    PyObject* object = cell.get();
    if (PyFloat_CheckExact(object)) {
      table_.at(row, column) = PyFloat_AS_DOUBLE(object);
      return {};
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
      Error error = Error::fetch();
      // A cell that is not a number makes a label column. Only ordinary exceptions say that:
      // KeyboardInterrupt and the like must reach the user.
      if (error.kind() == Error::Kind::internal || !error.matches(PyExc_Exception)) {
        return Unexpected<Error>{std::move(error)};
      }
      start_labels(row, column);
      return append_text(std::move(cell));
    }
    table_.at(row, column) = value;
    return {};
  }

  // The column holds labels from now on: the numbers read so far become their float texts.
  void start_labels(size_t rows_read, size_t column) {
    label_columns_.push_back({column, {}});
    labels_ = &label_columns_.back().labels;
    labels_->reserve(table_.rows());
    char buffer[float_text_capacity];
    for (size_t row = 0; row < rows_read; ++row) {
      const size_t length = write_float_text(table_.at(row, column), buffer);
      labels_->push_back(arena_.store(std::string_view(buffer, length)));
    }
  }

  PyStatus append_text(Ref cell) {
    Ref str;
    if (PyUnicode_CheckExact(cell.get())) {
      str = std::move(cell);
    } else {
      str = Ref::steal(PyObject_Str(cell.get()));
      if (!str) return stop(failed_str, Error::fetch());
    }
    CATENC_ASSIGN_OR_RETURN(std::string_view text, str_text(str));
    // The label views the str's own UTF-8 buffer, so the str must outlive the encoding.
    holders_.push_back(std::move(str));
    labels_->push_back(text);
    return {};
  }

  Table& table_;
  CellSource& source_;
  TextArena arena_;
  std::vector<Ref> holders_;
  std::vector<LabelColumn> label_columns_;
  std::vector<Label>* labels_ = nullptr;  // of the column being read, once it holds labels
  size_t cells_read_ = 0;
};

}  // namespace

PyResult<EncodedTable> encode_object_array(Borrowed obj, bool is_dataframe) {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  CATENC_ASSIGN_OR_RETURN(const Shape shape, read_shape(obj.get(), *n));
  CATENC_ASSIGN_OR_RETURN(ArrayTable result,
                          new_array_table(shape.rows, shape.columns, Table::Layout::row_major));
  Ref source;
  if (is_dataframe) {
    source = Ref::steal(PyObject_GetAttr(obj.get(), n->values));
    if (!source) return stop(failed_read, Error::fetch());
  } else {
    source = Ref::borrow(obj);
  }
  CATENC_ASSIGN_OR_RETURN(CellSource cells, CellSource::open(std::move(source), shape));
  TableReader reader(result.table, cells);
  if (shape.rows > 0) {
    for (size_t column = 0; column < shape.columns; ++column) CATENC_TRY(reader.read_column(column));
  }
  Outcome<EncodingInfo> info = encode_label_columns(reader.label_columns(), result.table);
  if (!info) return Unexpected<Error>{Error::from(std::move(info).error())};
  return EncodedTable{std::move(result), std::make_unique<EncodingInfo>(std::move(info).value())};
}

}  // namespace catenc::py
