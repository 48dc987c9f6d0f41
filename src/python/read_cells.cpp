#include "read_cells.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "encoding_info.hpp"
#include "label_encode.hpp"
#include "pool.hpp"
#include "float_text.hpp"
#include "column_cells.hpp"
#include "frame_columns.hpp"
#include "names.hpp"
#include "numpy_api.hpp"
#include "str_text.hpp"

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

// An Arrow utf8 or large_utf8 array as labels, read in place.
template <class Offset>
ArrowLabels<Offset> arrow_labels(const ArrowArray& chunk, size_t first_valid, Label leading, Label missing) {
  return ArrowLabels<Offset>{
      static_cast<const Offset*>(chunk.buffers[1]) + chunk.offset,
      static_cast<const char*>(chunk.buffers[2]),
      chunk.null_count != 0 ? static_cast<const uint8_t*>(chunk.buffers[0]) : nullptr,
      chunk.offset,
      static_cast<size_t>(chunk.length),
      first_valid,
      leading,
      missing,
  };
}

#ifdef Py_GIL_DISABLED
constexpr bool has_gil = false;
#else
constexpr bool has_gil = true;
#endif

// Reads the cells into the table (numeric columns) or into label lists (label columns).
class TableReader {
 public:
  explicit TableReader(Table& table) : table_(table), info_(table.columns()) {}

  PyStatus read_column(size_t column, ColumnCells& cells) {
    switch (cells.kind()) {
      case Direct::items:
      case Direct::objects:
        return read_object_column(column, cells);
      // A byte, not a C++ bool: NumPy lets any byte stand in a bool array (a view of uint8, say).
      case Direct::boolean: return read_numeric<uint8_t, false, true>(column, cells);
      case Direct::i8: return read_numeric<int8_t>(column, cells);
      case Direct::i16: return read_numeric<int16_t>(column, cells);
      case Direct::i32: return read_numeric<int32_t>(column, cells);
      case Direct::i64: return read_numeric<int64_t>(column, cells);
      case Direct::u8: return read_numeric<uint8_t>(column, cells);
      case Direct::u16: return read_numeric<uint16_t>(column, cells);
      case Direct::u32: return read_numeric<uint32_t>(column, cells);
      case Direct::u64: return read_numeric<uint64_t>(column, cells);
      case Direct::f16: return read_numeric<uint16_t, true>(column, cells);
      case Direct::f32: return read_numeric<float>(column, cells);
      case Direct::f64: return read_numeric<double>(column, cells);
    }
    return {};
  }

  // Reads an Arrow string column as if each null were the object `missing` (the column dtype's
  // missing value) and each valid row a str: the same labels and the same numeric-or-label
  // verdict that reading those objects cell by cell gives.
  PyStatus read_arrow_column(size_t column, const ArrowColumn& arrow, PyObject* missing) {
    const double missing_number = PyFloat_AsDouble(missing);
    bool missing_is_number = true;
    if (missing_number == -1.0 && PyErr_Occurred()) {
      CATENC_TRY(absorb_float_failure());
      missing_is_number = false;
    }
    Ref missing_str = Ref::steal(PyObject_Str(missing));
    if (!missing_str) return stop(failed_str, Error::fetch());
    CATENC_ASSIGN_OR_RETURN(const Label missing_text, str_text(missing_str));

    size_t first_valid = arrow.length();
    arrow.for_each([&](size_t row, Label) { first_valid = std::min(first_valid, row); }, [](size_t) {});
    if (first_valid == arrow.length() && missing_is_number) {
      for (size_t row = 0; row < table_.rows(); ++row) table_.at(row, column) = missing_number;
      return {};
    }
    // Nulls before the first str were numbers until then, and got the float text.
    std::string leading(missing_text);
    if (missing_is_number) leading = float_text(missing_number);

    double* out = &table_.at(0, column);
    Outcome<LabelMap> labels = Unexpected<Failure>{Failure::internal("")};
    if (const ArrowArray* chunk = arrow.only_chunk(); chunk != nullptr && arrow.format() == "U") {
      labels = label_encode_into(arrow_labels<int64_t>(*chunk, first_valid, leading, missing_text), out,
                                 table_.row_stride());
    } else if (chunk != nullptr && arrow.format() == "u") {
      labels = label_encode_into(arrow_labels<int32_t>(*chunk, first_valid, leading, missing_text), out,
                                 table_.row_stride());
    } else {
      BigVector<Label> views(table_.rows());
      arrow.for_each([&](size_t row, Label label) { views[row] = label; },
                     [&](size_t row) { views[row] = row < first_valid ? Label(leading) : missing_text; });
      labels = label_encode_into(std::move(views), out, table_.row_stride());
    }
    return record(column, std::move(labels));
  }

  // What the columns read so far taught.
  EncodingInfo take_info() && { return std::move(info_); }

 private:
  // float() of every NumPy scalar of these dtypes is the C conversion of its value; no object
  // needs to be made.
  template <class T, bool half = false, bool is_bool = false>
  PyStatus read_numeric(size_t column, const ColumnCells& cells) {
    for (size_t row = 0; row < table_.rows(); ++row) {
      T value;
      std::memcpy(&value, cells.address(row), sizeof value);
      if constexpr (half) {
        table_.at(row, column) = half_to_double(value);
      } else if constexpr (std::is_same_v<T, uint8_t> && is_bool) {
        table_.at(row, column) = value != 0 ? 1.0 : 0.0;
      } else {
        table_.at(row, column) = static_cast<double>(value);
      }
    }
    return {};
  }

  PyStatus read_object_column(size_t column, ColumnCells& cells) {
    is_label_column_ = false;
    for (size_t row = 0; row < table_.rows(); ++row) {
      // A long read stays interruptible with Ctrl-C.
      if ((++cells_read_ & 0xFFFF) == 0 && PyErr_CheckSignals() < 0) return fetched();
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
        if (take_str_in_place(cells, row)) continue;
      }
      PyResult<Ref> cell = cells.cell(row);
      if (!cell) return stop(failed_read, std::move(cell).error());
      CATENC_TRY(take_cell(row, column, std::move(cell).value()));
    }
    if (!is_label_column_) return {};
    // Encoded as soon as it has been read, so that one column's labels are held at a time.
    Outcome<LabelMap> labels = label_encode_into(std::move(labels_), &table_.at(0, column), table_.row_stride());
    labels_ = PackedLabels();
    return record(column, std::move(labels));
  }

  // The common cell of a label column, a str stored in an array we read: its bytes are copied
  // straight from the array's object. With a GIL nothing else can run meanwhile to drop it, so it
  // needs no reference of ours; free-threaded builds take the general way, which holds one.
  bool take_str_in_place(ColumnCells& cells, size_t row) {
    if (!has_gil || cells.kind() != Direct::objects) return false;
    PyObject* object = cells.object_at(row);
    if (object == nullptr || !PyUnicode_CheckExact(object)) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
      // Lone surrogates: the general way repairs them. The exception made here may have set off
      // a collection, so the array is checked again first.
      PyErr_Clear();
      cells.revalidate();
      return false;
    }
    labels_.push_back(Label(data, static_cast<size_t>(size)));
    return true;
  }

  PyStatus record(size_t column, Outcome<LabelMap> labels) {
    if (!labels) return Unexpected<Error>{Error::from(std::move(labels).error())};
    info_.add_column(column, std::move(labels).value());
    return {};
  }

  PyStatus take_cell(size_t row, size_t column, Ref cell) {
    PyObject* object = cell.get();
    if (is_label_column_) return append_text(object);
    if (PyFloat_CheckExact(object)) {
      table_.at(row, column) = PyFloat_AS_DOUBLE(object);
      return {};
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
      CATENC_TRY(absorb_float_failure());
      is_label_column_ = true;
      // Room enough for most columns' bytes; mapped pages cost nothing until written.
      labels_.reserve(table_.rows(), table_.rows() * 32);
      char buffer[float_text_capacity];
      for (size_t earlier = 0; earlier < row; ++earlier) {
        const size_t length = write_float_text(table_.at(earlier, column), buffer);
        labels_.push_back(std::string_view(buffer, length));
      }
      return append_text(object);
    }
    table_.at(row, column) = value;
    return {};
  }

  // A cell that is not a number makes a label column, whatever its float conversion raised, but
  // for KeyboardInterrupt and SystemExit, which must reach the user, and PanicException, which
  // goes on as ours.
  static PyStatus absorb_float_failure() {
    Error error = Error::fetch();
    if (error.must_propagate()) return Unexpected<Error>{std::move(error)};
    return {};
  }

  PyStatus append_text(PyObject* cell) {
    Ref str;
    if (PyUnicode_CheckExact(cell)) {
      str = Ref::borrow(cell);
    } else {
      str = Ref::steal(PyObject_Str(cell));
      if (!str) return stop(failed_str, Error::fetch());
    }
    CATENC_ASSIGN_OR_RETURN(std::string_view text, str_text(str));
    // Copied while its bytes are at hand, so that no str has to outlive the encoding.
    labels_.push_back(text);
    return {};
  }

  Table& table_;
  EncodingInfo info_;
  // The column being read, once it holds labels: one per row.
  bool is_label_column_ = false;
  PackedLabels labels_;
  size_t cells_read_ = 0;
};

}  // namespace

PyResult<EncodedTable> encode_object_array(Borrowed obj, bool is_dataframe) {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  CATENC_ASSIGN_OR_RETURN(const Shape shape, read_shape(obj.get(), *n));
  CATENC_ASSIGN_OR_RETURN(ArrayTable result,
                          new_array_table(shape.rows, shape.columns, Table::Layout::row_major));
  TableReader reader(result.table);
  // Kept until the label columns are encoded: labels view memory they own.
  std::optional<std::vector<FrameColumn>> frame;
  if (is_dataframe) {
    CATENC_ASSIGN_OR_RETURN(frame, frame_columns(obj.get(), shape.rows, shape.columns));
  }
  if (frame) {
    for (size_t column = 0; column < shape.columns; ++column) {
      FrameColumn& source = (*frame)[column];
      if (source.arrow) {
        CATENC_TRY(reader.read_arrow_column(column, *source.arrow, source.missing.get()));
      } else {
        CATENC_TRY(reader.read_column(column, *source.cells));
      }
    }
  } else {
    Ref source;
    if (is_dataframe) {
      source = Ref::steal(PyObject_GetAttr(obj.get(), n->values));
      if (!source) return stop(failed_read, Error::fetch());
    } else {
      source = Ref::borrow(obj);
    }
    for (size_t column = 0; shape.rows > 0 && column < shape.columns; ++column) {
      CATENC_ASSIGN_OR_RETURN(ColumnCells cells,
                              ColumnCells::of_table(source.clone(), shape.rows, shape.columns, column));
      CATENC_TRY(reader.read_column(column, cells));
    }
  }
  // Every run of the cell path reaches the worker pool, numeric columns only or not: the pool
  // starts here at the latest, with the environment as it is now.
  if (Outcome<size_t> threads = pool::current_num_threads(); !threads) {
    return Unexpected<Error>{Error::from(std::move(threads).error())};
  }
  return EncodedTable{std::move(result), std::make_unique<EncodingInfo>(std::move(reader).take_info())};
}

}  // namespace catenc::py
