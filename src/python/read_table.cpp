#include "read_table.hpp"

#include <cerrno>
#include <cstring>
#include <optional>

#include "column_names.hpp"
#include "encode_table.hpp"
#include "names.hpp"
#include "numpy_api.hpp"
#include "write_all.hpp"

namespace catenc::py {

namespace {

// The name of a refused type goes to file descriptor 1 itself, not to sys.stdout.
PyStatus print_line_to_stdout(const std::string& name) {
  if (!write_all(1, name + "\n")) {
    return Unexpected<Error>{
        Error::internal(std::string("failed printing to stdout: ") + std::strerror(errno))};
  }
  return {};
}

bool is_2d_float64(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 2) return false;
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_FLOAT64);
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), float64) != 0;
  Py_DECREF(float64);
  return equivalent;
}

// One block copy when the array is contiguous in either axis order (the table keeps that order),
// otherwise an element-by-element copy into row-major order. No cell goes through the interpreter.
PyResult<ArrayTable> copy_float64(PyObject* obj) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const auto rows = static_cast<size_t>(PyArray_DIM(array, 0));
  const auto columns = static_cast<size_t>(PyArray_DIM(array, 1));
  const bool fortran = !PyArray_IS_C_CONTIGUOUS(array) && PyArray_IS_F_CONTIGUOUS(array);
  CATENC_ASSIGN_OR_RETURN(ArrayTable copy, new_array_table(rows, columns,
                                                           fortran ? Table::Layout::column_major
                                                                   : Table::Layout::row_major));
  const char* source = PyArray_BYTES(array);
  if (PyArray_IS_C_CONTIGUOUS(array) || fortran) {
    if (rows * columns > 0) std::memcpy(copy.table.data(), source, rows * columns * sizeof(double));
    return copy;
  }
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp column_stride = PyArray_STRIDE(array, 1);
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < columns; ++c) {
      std::memcpy(
          &copy.table.at(r, c),
          source + static_cast<npy_intp>(r) * row_stride + static_cast<npy_intp>(c) * column_stride,
          sizeof(double));
    }
  }
  return copy;
}

// The array's memory as a table, when it is one block in either axis order. The table's array
// is a plain ndarray over that memory, so that building the output calls no method of a
// subclass.
PyResult<std::optional<ArrayTable>> view_float64(PyObject* object) {
  auto* input = reinterpret_cast<PyArrayObject*>(object);
  if (!PyArray_ISALIGNED(input) || !PyArray_ISNOTSWAPPED(input) ||
      !(PyArray_IS_C_CONTIGUOUS(input) || PyArray_IS_F_CONTIGUOUS(input))) {
    return std::optional<ArrayTable>();
  }
  Ref array_ref = Ref::steal(PyArray_View(input, nullptr, &PyArray_Type));
  if (!array_ref) return fetched();
  auto* array = reinterpret_cast<PyArrayObject*>(array_ref.get());
  const Table::Layout layout =
      PyArray_IS_C_CONTIGUOUS(array) ? Table::Layout::row_major : Table::Layout::column_major;
  // Only read: the table is never written through.
  auto* data = static_cast<double*>(PyArray_DATA(array));
  Table table = Table::over(data, static_cast<size_t>(PyArray_DIM(array, 0)),
                            static_cast<size_t>(PyArray_DIM(array, 1)), layout);
  return std::optional<ArrayTable>(ArrayTable{std::move(array_ref), std::move(table)});
}

// Whether `object` has the attribute; an error other than AttributeError is passed on.
PyResult<bool> has_attribute(PyObject* object, const char* name) {
  Ref value = Ref::steal(PyObject_GetAttrString(object, name));
  if (value) return true;
  CATENC_TRY(discard_exception(PyExc_AttributeError));
  return false;
}

// A DataFrame with no `values` that offers the Arrow stream: read through that stream. Looked up on
// the class, so that a `values` property (pandas') is not run for the answer.
PyResult<bool> offers_only_arrow(PyObject* frame) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(frame));
  CATENC_ASSIGN_OR_RETURN(const bool has_values, has_attribute(type, "values"));
  if (has_values) return false;
  return has_attribute(type, "__arrow_c_stream__");
}

}  // namespace

PyResult<Conversion> pyany_to_vec(Borrowed obj, TableUse use) {
  CATENC_ASSIGN_OR_RETURN(const std::string name, type_name(Py_TYPE(obj.get())));
  OUT out;
  if (name == "DataFrame") {
    CATENC_ASSIGN_OR_RETURN(ColumnNames names, dataframe_column_names(obj));
    out.column_names = std::move(names.names);
    out.column_labels = std::move(names.labels);
    CATENC_ASSIGN_OR_RETURN(out.arrow_frame, offers_only_arrow(obj.get()));
  } else if (name != "ndarray" && name != "memmap") {
    CATENC_TRY(print_line_to_stdout(name));
    return fail(PyExc_TypeError, "Unsupported type: '" + name +
                                     "'. Supported types are: numpy.ndarray, pandas.DataFrame");
  }
  CATENC_TRY(numpy_api());
  if (is_2d_float64(obj.get())) {
    if (use == TableUse::read_only) {
      CATENC_ASSIGN_OR_RETURN(std::optional<ArrayTable> view, view_float64(obj.get()));
      if (view) return Conversion{std::move(out), std::move(*view), nullptr};
    }
    CATENC_ASSIGN_OR_RETURN(ArrayTable table, copy_float64(obj.get()));
    return Conversion{std::move(out), std::move(table), nullptr};
  }
  const TableKind kind = out.arrow_frame    ? TableKind::arrow_frame
                         : out.column_names ? TableKind::data_frame
                                            : TableKind::array;
  CATENC_ASSIGN_OR_RETURN(EncodedTable encoded, encode_object_array(obj, kind));
  return Conversion{std::move(out), std::move(encoded.table), std::move(encoded.info)};
}

}  // namespace catenc::py
