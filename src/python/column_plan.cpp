#include "column_plan.hpp"

#include <algorithm>
#include <string_view>

#include "interpreter_reader.hpp"
#include "names.hpp"
#include "numpy_api.hpp"
#include "object_cells.hpp"
#include "str_text.hpp"

namespace catenc::py {

namespace {

std::optional<NumberType> number_type_of(PyArray_Descr* descr) {
  if (!PyArray_ISNBO(descr->byteorder)) return std::nullopt;
  const auto size = static_cast<size_t>(PyDataType_ELSIZE(descr));
  const auto integer = [size](bool is_signed) -> std::optional<NumberType> {
    switch (size) {
      case 1: return is_signed ? NumberType::i8 : NumberType::u8;
      case 2: return is_signed ? NumberType::i16 : NumberType::u16;
      case 4: return is_signed ? NumberType::i32 : NumberType::u32;
      case 8: return is_signed ? NumberType::i64 : NumberType::u64;
      default: return std::nullopt;
    }
  };
  switch (descr->type_num) {
    // A byte, not a C++ bool: NumPy lets any byte stand in a bool array (a view of uint8, say).
    case NPY_BOOL: return NumberType::boolean;
    case NPY_BYTE: case NPY_SHORT: case NPY_INT: case NPY_LONG: case NPY_LONGLONG: return integer(true);
    case NPY_UBYTE: case NPY_USHORT: case NPY_UINT: case NPY_ULONG: case NPY_ULONGLONG: return integer(false);
    case NPY_HALF: return NumberType::f16;
    case NPY_FLOAT: return NumberType::f32;
    case NPY_DOUBLE: return NumberType::f64;
    default: return std::nullopt;
  }
}

PyArray_Descr* descr_of(PyObject* array) { return PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array)); }

// The class name of a dtype of pandas' own, or nothing for any other: a class of someone else's
// may share a name with one of pandas'.
PyResult<std::string> pandas_type_name(PyObject* object) {
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
  if (!module) return fetched();
  if (!PyUnicode_Check(module.get())) return std::string();
  CATENC_ASSIGN_OR_RETURN(std::string_view name, utf8_view(module.get()));
  if (name != "pandas" && name.substr(0, 7) != "pandas.") return std::string();
  return type_name(Py_TYPE(object));
}

PyResult<Ref> call_method(PyObject* target, const char* name, PyObject* arg = nullptr) {
  return checked(arg == nullptr ? PyObject_CallMethod(target, name, nullptr)
                                : PyObject_CallMethod(target, name, "O", arg));
}

PyResult<Ref> attribute(PyObject* target, const char* name) { return checked(PyObject_GetAttrString(target, name)); }

// pandas' own nullable dtypes: their arrays hold numbers in `_data` and NA in `_mask`.
bool is_masked(std::string_view dtype_type) {
  static constexpr std::string_view known[] = {
      "BooleanDtype", "Int8Dtype",   "Int16Dtype",  "Int32Dtype",   "Int64Dtype",  "UInt8Dtype",
      "UInt16Dtype",  "UInt32Dtype", "UInt64Dtype", "Float32Dtype", "Float64Dtype",
  };
  return std::find(std::begin(known), std::end(known), dtype_type) != std::end(known);
}

// The unit of a datetime64 or timedelta64 dtype, when it is one pandas stores ("M8[ns]", ...).
std::optional<TimeUnit> time_unit(PyArray_Descr* descr) {
  Ref text = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(descr), "str"));
  if (!text || !PyUnicode_Check(text.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  const char* raw = PyUnicode_AsUTF8(text.get());
  if (raw == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  const std::string_view str(raw);
  const size_t open = str.find('[');
  if (open == std::string_view::npos) return std::nullopt;
  const std::string_view unit = str.substr(open + 1, str.size() - open - 2);
  if (unit == "s") return TimeUnit::s;
  if (unit == "ms") return TimeUnit::ms;
  if (unit == "us") return TimeUnit::us;
  if (unit == "ns") return TimeUnit::ns;
  return std::nullopt;
}

PlannedColumn numbers_column(Ref array, NumberType type) {
  PlannedColumn column;
  column.kind = PlannedColumn::Kind::numbers;
  column.array = std::move(array);
  column.number_type = type;
  return column;
}

PlannedColumn objects_column(Ref array) {
  PlannedColumn column;
  column.kind = PlannedColumn::Kind::objects;
  column.array = std::move(array);
  return column;
}

// Reads a DataFrame's columns where they lie, as `values` would give their cells.
class FramePlanner {
 public:
  FramePlanner(PyObject* frame, size_t rows, size_t columns, TablePlan& plan)
      : frame_(frame), rows_(rows), columns_(columns), plan_(plan) {}

  // False: the frame must be read through `values`.
  PyResult<bool> plan() {
    Ref getter = Ref::steal(PyObject_GetAttrString(frame_, "_get_column_array"));
    if (!getter) return fetched();
    std::vector<Ref> arrays;
    std::vector<Ref> dtypes;
    std::vector<std::string> dtype_types;  // the class names of pandas' own dtypes, else ""
    for (size_t i = 0; i < columns_; ++i) {
      CATENC_ASSIGN_OR_RETURN(Ref array, checked(PyObject_CallFunction(getter.get(), "n", static_cast<Py_ssize_t>(i))));
      CATENC_ASSIGN_OR_RETURN(Ref dtype, attribute(array.get(), "dtype"));
      std::string dtype_type;
      if (!PyArray_DescrCheck(dtype.get())) {
        CATENC_ASSIGN_OR_RETURN(dtype_type, pandas_type_name(dtype.get()));
      }
      arrays.push_back(std::move(array));
      dtypes.push_back(std::move(dtype));
      dtype_types.push_back(std::move(dtype_type));
    }
    // A frame of one column that is not a NumPy array gives `values` as that array's own
    // to_numpy(), which depends on its cells for some (a nullable column with NA may give floats
    // or objects, a category its categories' dtype): those are read as they are. Text and zoned
    // dates give the objects astype(object) gives, as beside other columns.
    if (columns_ == 1 && !PyArray_DescrCheck(dtypes[0].get()) && dtype_types[0] != "StringDtype" &&
        dtype_types[0] != "DatetimeTZDtype") {
      return false;
    }
    CATENC_ASSIGN_OR_RETURN(Ref common, common_dtype(dtypes, dtype_types));
    if (!common || !PyArray_DescrCheck(common.get())) return false;
    common_ = reinterpret_cast<PyArray_Descr*>(common.get());
    if (std::string_view("biufO").find(common_->kind) == std::string_view::npos) return false;
    common_ref_ = std::move(common);
    for (size_t i = 0; i < columns_; ++i) {
      CATENC_ASSIGN_OR_RETURN(std::optional<PlannedColumn> column,
                              plan_column(std::move(arrays[i]), dtypes[i].get(), dtype_types[i]));
      if (!column) return false;
      plan_.columns.push_back(std::move(*column));
    }
    return true;
  }

 private:
  bool objects_wanted() const { return common_->type_num == NPY_OBJECT; }

  // The dtype of `values`, as pandas picks it for the frame's blocks (an extension dtype there
  // stands for objects). The common cases follow from the dtypes alone; pandas decides the others.
  PyResult<Ref> common_dtype(const std::vector<Ref>& dtypes, const std::vector<std::string>& dtype_types) {
    bool numpy_only = true;
    bool same = true;
    bool objects = false;
    for (size_t i = 0; i < dtypes.size(); ++i) {
      PyObject* dtype = dtypes[i].get();
      if (!PyArray_DescrCheck(dtype)) {
        numpy_only = same = false;
        // Text, nullable numbers and zoned dates have no common type with anything else but
        // objects: beside any other dtype they make `values` hold objects.
        const std::string& type = dtype_types[i];
        objects = objects || type == "StringDtype" || type == "DatetimeTZDtype" || is_masked(type);
        continue;
      }
      objects = objects || reinterpret_cast<PyArray_Descr*>(dtype)->type_num == NPY_OBJECT;
      if (same && i > 0) {
        const int equal = PyObject_RichCompareBool(dtype, dtypes[0].get(), Py_EQ);
        if (equal < 0) return fetched();
        same = equal == 1;
      }
    }
    if (same) return dtypes[0].clone();
    if (objects) return checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
    if (numpy_only) {
      // Numbers: NumPy's promotion, but for bools beside numbers, which pandas keeps as objects.
      bool bools = false;
      bool numbers = false;
      std::vector<PyArray_Descr*> descrs;
      for (const Ref& dtype : dtypes) {
        auto* descr = reinterpret_cast<PyArray_Descr*>(dtype.get());
        if (std::string_view("biuf").find(descr->kind) == std::string_view::npos) {
          descrs.clear();
          break;
        }
        bools = bools || descr->kind == 'b';
        numbers = numbers || descr->kind != 'b';
        descrs.push_back(descr);
      }
      if (bools && numbers) return checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
      if (!descrs.empty()) {
        return checked(reinterpret_cast<PyObject*>(
            PyArray_ResultType(0, nullptr, static_cast<npy_intp>(descrs.size()), descrs.data())));
      }
    }
    Ref managers = Ref::steal(PyImport_ImportModule("pandas.core.internals.managers"));
    if (!managers) return fetched();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(dtypes.size())));
    if (!list) return fetched();
    for (size_t i = 0; i < dtypes.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dtypes[i].clone().release());
    }
    CATENC_ASSIGN_OR_RETURN(Ref interleaved, call_method(managers.get(), "interleaved_dtype", list.get()));
    return call_method(managers.get(), "ensure_np_dtype", interleaved.get());
  }

  PyResult<std::optional<PlannedColumn>> plan_column(Ref array, PyObject* dtype, const std::string& dtype_type) {
    if (PyArray_Check(array.get())) return numpy_column(std::move(array));
    if (dtype_type == "CategoricalDtype") return category_column(array.get(), dtype);
    // Everything else makes `values` hold objects.
    if (!objects_wanted()) return std::optional<PlannedColumn>();
    if (dtype_type == "StringDtype") return string_column(std::move(array), dtype);
    if (is_masked(dtype_type)) return masked_column(array.get());
    if (dtype_type == "DatetimeTZDtype") {
      // Its cells print their zone's offset at that moment: pandas writes each distinct one.
      CATENC_ASSIGN_OR_RETURN(Ref categorical, checked(PyObject_CallMethod(array.get(), "astype", "s", "category")));
      CATENC_ASSIGN_OR_RETURN(Ref category_dtype, attribute(categorical.get(), "dtype"));
      return category_column(categorical.get(), category_dtype.get());
    }
    if (PyArray_DescrCheck(dtype)) {
      const char kind = reinterpret_cast<PyArray_Descr*>(dtype)->kind;
      if (kind == 'M' || kind == 'm') return date_column(array.get(), reinterpret_cast<PyArray_Descr*>(dtype));
    }
    return as_objects(array.get());
  }

  // `values` holds the column's astype(object) cells when it holds objects.
  PyResult<std::optional<PlannedColumn>> as_objects(PyObject* array) {
    CATENC_ASSIGN_OR_RETURN(Ref objects, call_method(array, "astype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!PyArray_Check(objects.get()) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(objects.get())) != 1 ||
        descr_of(objects.get())->type_num != NPY_OBJECT) {
      return std::optional<PlannedColumn>();
    }
    return std::optional<PlannedColumn>(objects_column(std::move(objects)));
  }

  PyResult<std::optional<PlannedColumn>> numpy_column(Ref array) {
    PyArray_Descr* descr = descr_of(array.get());
    if (descr->type_num == NPY_OBJECT) return std::optional<PlannedColumn>(objects_column(std::move(array)));
    if (objects_wanted()) {
      // Numbers become Python numbers, and float() of one is the number itself.
      if (const std::optional<NumberType> type = number_type_of(descr)) {
        return std::optional<PlannedColumn>(numbers_column(std::move(array), *type));
      }
      if (descr->kind == 'M' || descr->kind == 'm') return date_column(array.get(), descr);
      return as_objects(array.get());
    }
    // `values` holds the common number type: a column of that type, or one every value of which
    // that type and a double hold exactly, reads where it lies; NumPy converts any other (half
    // floats, whose NaNs it may quiet on the way) as `values` would.
    const std::optional<NumberType> type = number_type_of(descr);
    const bool exact = type && (descr->type_num == common_->type_num || descr->kind == 'i' || descr->kind == 'u' ||
                                descr->kind == 'b' || descr->type_num == NPY_FLOAT);
    if (exact) return std::optional<PlannedColumn>(numbers_column(std::move(array), *type));
    Py_INCREF(common_);
    Ref cast = Ref::steal(PyArray_CastToType(reinterpret_cast<PyArrayObject*>(array.get()), common_, 0));
    if (!cast) return fetched();
    const std::optional<NumberType> cast_type = number_type_of(descr_of(cast.get()));
    if (!cast_type) return std::optional<PlannedColumn>();
    return std::optional<PlannedColumn>(numbers_column(std::move(cast), *cast_type));
  }

  PyResult<std::optional<PlannedColumn>> date_column(PyObject* array, PyArray_Descr* descr) {
    const std::optional<TimeUnit> unit = time_unit(descr);
    if (!unit) return as_objects(array);
    Ref values;
    if (PyArray_Check(array)) {
      values = Ref::steal(PyArray_View(reinterpret_cast<PyArrayObject*>(array), PyArray_DescrFromType(NPY_INT64), nullptr));
      if (!values) return fetched();
    } else {
      CATENC_ASSIGN_OR_RETURN(values, attribute(array, "asi8"));
    }
    if (!PyArray_Check(values.get()) || descr_of(values.get())->type_num != NPY_INT64) return as_objects(array);
    PlannedColumn column;
    column.kind = PlannedColumn::Kind::dates;
    column.array = std::move(values);
    column.unit = *unit;
    column.duration = descr->kind == 'm';
    return std::optional<PlannedColumn>(std::move(column));
  }

  PyResult<std::optional<PlannedColumn>> masked_column(PyObject* array) {
    CATENC_ASSIGN_OR_RETURN(Ref data, attribute(array, "_data"));
    CATENC_ASSIGN_OR_RETURN(Ref mask, attribute(array, "_mask"));
    if (!PyArray_Check(data.get()) || !PyArray_Check(mask.get()) || descr_of(mask.get())->type_num != NPY_BOOL) {
      return as_objects(array);
    }
    const std::optional<NumberType> type = number_type_of(descr_of(data.get()));
    if (!type) return as_objects(array);
    PlannedColumn column;
    column.kind = PlannedColumn::Kind::masked;
    column.array = std::move(data);
    column.mask = std::move(mask);
    column.number_type = *type;
    return std::optional<PlannedColumn>(std::move(column));
  }

  PyResult<std::optional<PlannedColumn>> string_column(Ref array, PyObject* dtype) {
    CATENC_ASSIGN_OR_RETURN(Ref storage, attribute(dtype, "storage"));
    if (!PyUnicode_Check(storage.get())) return as_objects(array.get());
    CATENC_ASSIGN_OR_RETURN(std::string_view kind, utf8_view(storage.get()));
    if (kind == "python") {
      // Its cells are kept as the objects astype(object) gives: str and the dtype's missing value.
      CATENC_ASSIGN_OR_RETURN(Ref cells, attribute(array.get(), "_ndarray"));
      if (!PyArray_Check(cells.get()) || descr_of(cells.get())->type_num != NPY_OBJECT) return as_objects(array.get());
      return std::optional<PlannedColumn>(objects_column(std::move(cells)));
    }
    if (kind.substr(0, 7) != "pyarrow") return as_objects(array.get());
    CATENC_ASSIGN_OR_RETURN(Ref chunked, call_method(array.get(), "__arrow_array__"));
    CATENC_ASSIGN_OR_RETURN(ArrowStream arrow, ArrowStream::open(chunked.get()));
    const std::string& format = arrow.format();
    if ((format != "u" && format != "U" && format != "vu") || arrow.length() != rows_) return as_objects(array.get());
    CATENC_ASSIGN_OR_RETURN(Ref missing, attribute(dtype, "na_value"));
    CATENC_ASSIGN_OR_RETURN(const DictionaryEntry null, interpreter_entry(missing.get()));
    PlannedColumn column;
    column.kind = PlannedColumn::Kind::arrow_text;
    column.chunks = arrow.chunks();
    column.arrow_format = format;
    column.arrow.emplace(std::move(arrow));
    column.null_is_number = null.is_number;
    column.null_text = null.text;
    column.array = std::move(chunked);
    return std::optional<PlannedColumn>(std::move(column));
  }

  // A category's cells as `values` holds them, each distinct one converted once: as objects, the
  // objects astype(object) gives for each category and for the missing cell; as numbers, the
  // categories' numbers (a missing cell stays missing where pandas would squeeze NaN into an
  // integer or a bool).
  PyResult<std::optional<PlannedColumn>> category_column(PyObject* categorical, PyObject* dtype) {
    CATENC_ASSIGN_OR_RETURN(Ref code_attr, attribute(categorical, "codes"));
    CATENC_ASSIGN_OR_RETURN(Ref categories, attribute(dtype, "categories"));
    const Py_ssize_t count = PyObject_Length(categories.get());
    if (count < 0) return fetched();
    if (!PyArray_Check(code_attr.get()) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(code_attr.get())) != 1 ||
        descr_of(code_attr.get())->kind != 'i') {
      return std::optional<PlannedColumn>();
    }
    PlannedColumn column;
    column.kind = PlannedColumn::Kind::dictionary;
    column.array = std::move(code_attr);
    column.entries.resize(static_cast<size_t>(count) + 1);
    if (!objects_wanted()) {
      CATENC_ASSIGN_OR_RETURN(Ref values, call_method(categories.get(), "to_numpy"));
      Ref numbers = Ref::steal(PyArray_FROM_OTF(values.get(), NPY_DOUBLE, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
      if (!numbers) return fetched();
      auto* array = reinterpret_cast<PyArrayObject*>(numbers.get());
      if (PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) != count) return std::optional<PlannedColumn>();
      const auto* data = static_cast<const double*>(PyArray_DATA(array));
      column.entries[0].is_number = true;
      column.entries[0].number = missing_code();
      for (Py_ssize_t k = 0; k < count; ++k) {
        column.entries[static_cast<size_t>(k) + 1].is_number = true;
        column.entries[static_cast<size_t>(k) + 1].number = data[k];
      }
      return std::optional<PlannedColumn>(std::move(column));
    }
    Ref all_codes = Ref::steal(PyArray_Arange(-1.0, static_cast<double>(count), 1.0, NPY_INT64));
    if (!all_codes) return fetched();
    CATENC_ASSIGN_OR_RETURN(Ref from_codes,
                            attribute(reinterpret_cast<PyObject*>(Py_TYPE(categorical)), "from_codes"));
    Ref args = Ref::steal(PyTuple_Pack(1, all_codes.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "dtype", dtype));
    if (!args || !kwargs) return fetched();
    CATENC_ASSIGN_OR_RETURN(Ref each, checked(PyObject_Call(from_codes.get(), args.get(), kwargs.get())));
    // astype, not to_numpy: the missing cell must not turn integer categories into floats.
    CATENC_ASSIGN_OR_RETURN(Ref lookup, call_method(each.get(), "astype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!PyArray_Check(lookup.get()) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(lookup.get())) != 1 ||
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(lookup.get()), 0) != count + 1 ||
        descr_of(lookup.get())->type_num != NPY_OBJECT) {
      return std::optional<PlannedColumn>();
    }
    CATENC_ASSIGN_OR_RETURN(Ref categories_dtype, attribute(categories.get(), "dtype"));
    // Categories of NumPy's object dtype may be anyone's objects, with methods of their own;
    // those of any other dtype are made by pandas and NumPy.
    const bool anyones = PyArray_DescrCheck(categories_dtype.get()) &&
                         reinterpret_cast<PyArray_Descr*>(categories_dtype.get())->type_num == NPY_OBJECT;
    auto** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(lookup.get())));
    for (Py_ssize_t k = 0; k <= count; ++k) {
      PyObject* cell = cells[k] != nullptr ? cells[k] : Py_None;
      DictionaryEntry& entry = column.entries[static_cast<size_t>(k)];
      if (plain_entry(cell, plan_.na.get(), entry)) continue;
      if (anyones) {
        column.entry_objects = std::move(lookup);
        break;
      }
      CATENC_ASSIGN_OR_RETURN(entry, interpreter_entry(cell));
    }
    return std::optional<PlannedColumn>(std::move(column));
  }

  PyObject* frame_;
  size_t rows_;
  size_t columns_;
  TablePlan& plan_;
  PyArray_Descr* common_ = nullptr;
  Ref common_ref_;
};

// pandas, if it is loaded; not importing it is the point, and an object of its DataFrame class
// cannot exist without it.
PyResult<Ref> loaded_pandas() {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  Ref pandas = Ref::steal(PyImport_GetModule(n->pandas));
  if (!pandas && PyErr_Occurred()) return fetched();
  if (pandas.get() == Py_None) return Ref();
  return pandas;
}

// The frame's own columns, or nothing when it must be read through `values`: it is not an exact
// pandas.DataFrame (a subclass may give its cells a meaning of its own), or a column is stored in
// a way the plan cannot read as `values` would.
PyResult<bool> plan_frame(PyObject* frame, size_t rows, size_t columns, TablePlan& plan) {
  CATENC_ASSIGN_OR_RETURN(Ref pandas, loaded_pandas());
  if (!pandas) return false;
  Ref data_frame = Ref::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (!data_frame) {
    Error error = Error::fetch();
    if (error.must_propagate()) return Unexpected<Error>{std::move(error)};
    return false;
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(frame)) != data_frame.get()) return false;
  plan.na = Ref::steal(PyObject_GetAttrString(pandas.get(), "NA"));
  if (!plan.na) PyErr_Clear();
  if (columns == 0) return true;
  FramePlanner planner(frame, rows, columns, plan);
  PyResult<bool> planned = planner.plan();
  if (planned) return planned;
  // Reading columns one by one only saves time: when pandas refuses, `values` still reads them.
  if (planned.error().must_propagate()) return planned;
  return false;
}

// The Arrow type of a field as the kernels take it.
enum class ArrowKind { numbers, text, missing, cast_to_text, duration, cast_to_float, other };

ArrowKind arrow_kind(const ArrowStream::Field& field, std::optional<NumberType>& number_type) {
  if (field.dictionary) return ArrowKind::cast_to_text;  // categories: their labels, as text
  const std::string& f = field.format;
  static constexpr std::pair<std::string_view, NumberType> numbers[] = {
      {"c", NumberType::i8},  {"s", NumberType::i16}, {"i", NumberType::i32}, {"l", NumberType::i64},
      {"C", NumberType::u8},  {"S", NumberType::u16}, {"I", NumberType::u32}, {"L", NumberType::u64},
      {"e", NumberType::f16}, {"f", NumberType::f32}, {"g", NumberType::f64}, {"b", NumberType::bits},
  };
  for (const auto& [format, type] : numbers) {
    if (f == format) {
      number_type = type;
      return ArrowKind::numbers;
    }
  }
  if (f == "u" || f == "U" || f == "vu") return ArrowKind::text;
  if (f == "n") return ArrowKind::missing;
  if (f.substr(0, 2) == "tD") return ArrowKind::duration;
  if (f.substr(0, 1) == "t") return ArrowKind::cast_to_text;  // dates, datetimes, times
  if (f.substr(0, 2) == "d:") return ArrowKind::cast_to_float;
  return ArrowKind::other;
}

// Asks polars for the columns the kernels cannot read as they are: dates and times as the text its
// cast to String writes, durations as ISO 8601 text (it has no cast of them to String), decimals
// as floats, categories as their labels.
PyResult<Ref> cast_for_reading(PyObject* frame, const ArrowStream& stream) {
  Ref name = Ref::steal(PyUnicode_FromString("polars"));
  if (!name) return fetched();
  Ref polars = Ref::steal(PyImport_GetModule(name.get()));
  std::vector<Ref> expressions;
  for (size_t i = 0; i < stream.field_count(); ++i) {
    std::optional<NumberType> unused;
    const ArrowKind kind = arrow_kind(stream.field(i), unused);
    if (kind != ArrowKind::cast_to_text && kind != ArrowKind::duration && kind != ArrowKind::cast_to_float) continue;
    if (!polars) {
      if (PyErr_Occurred()) return fetched();
      return fail(PyExc_TypeError, "column '" + stream.field(i).name + "' needs polars to be read as text");
    }
    CATENC_ASSIGN_OR_RETURN(Ref column, checked(PyObject_CallMethod(polars.get(), "col", "s", stream.field(i).name.c_str())));
    Ref expression;
    if (kind == ArrowKind::duration) {
      CATENC_ASSIGN_OR_RETURN(Ref dt, attribute(column.get(), "dt"));
      CATENC_ASSIGN_OR_RETURN(expression, checked(PyObject_CallMethod(dt.get(), "to_string", "s", "iso")));
    } else {
      CATENC_ASSIGN_OR_RETURN(Ref type, attribute(polars.get(), kind == ArrowKind::cast_to_float ? "Float64" : "String"));
      CATENC_ASSIGN_OR_RETURN(expression, call_method(column.get(), "cast", type.get()));
    }
    expressions.push_back(std::move(expression));
  }
  if (expressions.empty()) return Ref();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(expressions.size())));
  if (!list) return fetched();
  for (size_t i = 0; i < expressions.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), expressions[i].release());
  }
  return call_method(frame, "with_columns", list.get());
}

PyStatus plan_arrow_frame(PyObject* frame, size_t rows, size_t columns, TablePlan& plan) {
  CATENC_ASSIGN_OR_RETURN(ArrowStream stream, ArrowStream::open(frame));
  CATENC_ASSIGN_OR_RETURN(Ref cast, cast_for_reading(frame, stream));
  if (cast) {
    CATENC_ASSIGN_OR_RETURN(stream, ArrowStream::open(cast.get()));
  }
  if (stream.field_count() != columns || stream.length() != rows) {
    return stop_reading(Error::deferred(PyExc_ValueError, "the Arrow stream of the frame does not match its shape"));
  }
  // Every column's chunks belong to the one stream, which the first column keeps.
  std::optional<ArrowStream> owner(std::move(stream));
  const ArrowStream& read = *owner;
  for (size_t i = 0; i < columns; ++i) {
    PlannedColumn column;
    std::optional<NumberType> number_type;
    const ArrowKind kind = arrow_kind(read.field(i), number_type);
    column.chunks = read.field_chunks(i);
    switch (kind) {
      case ArrowKind::numbers:
        column.kind = PlannedColumn::Kind::arrow_numbers;
        column.number_type = *number_type;
        break;
      case ArrowKind::missing:
        column.kind = PlannedColumn::Kind::arrow_numbers;
        column.chunks.clear();
        break;
      case ArrowKind::text:
        // A text column holds labels whatever its cells; a null is missing.
        column.kind = PlannedColumn::Kind::arrow_text;
        column.arrow_format = read.field(i).format;
        column.null_is_number = false;
        column.null_text = "<NA>";
        break;
      default:
        return fail(PyExc_TypeError, "cannot encode column '" + read.field(i).name + "' of Arrow type '" +
                                         read.field(i).format + "': only numbers, booleans, text, categories, "
                                         "dates, times and durations are");
    }
    plan.columns.push_back(std::move(column));
  }
  if (!plan.columns.empty()) plan.columns[0].arrow = std::move(owner);
  return {};
}

PyStatus plan_array(Ref source, size_t rows, size_t columns, TablePlan& plan) {
  CATENC_ASSIGN_OR_RETURN(const bool plain, is_plain_array(source.get()));
  auto* array = reinterpret_cast<PyArrayObject*>(source.get());
  // Memory stands in for item access only where the key (row, column) reaches the same cell.
  const bool direct = plain && PyArray_NDIM(array) == 2 && static_cast<size_t>(PyArray_DIM(array, 0)) == rows &&
                      static_cast<size_t>(PyArray_DIM(array, 1)) == columns;
  for (size_t c = 0; c < columns; ++c) {
    PlannedColumn column;
    column.array = source.clone();
    column.column = static_cast<Py_ssize_t>(c);
    if (direct) {
      PyArray_Descr* descr = PyArray_DESCR(array);
      if (const std::optional<NumberType> type = number_type_of(descr)) {
        column.kind = PlannedColumn::Kind::numbers;
        column.number_type = *type;
      } else if (descr->type_num == NPY_OBJECT) {
        column.kind = PlannedColumn::Kind::objects;
      }
    }
    plan.columns.push_back(std::move(column));
  }
  return {};
}

}  // namespace

PyResult<TablePlan> plan_table(Borrowed obj, TableKind kind, size_t rows, size_t columns) {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  TablePlan plan;
  plan.rows = rows;
  if (kind == TableKind::arrow_frame) {
    CATENC_TRY(plan_arrow_frame(obj.get(), rows, columns, plan));
    return plan;
  }
  Ref source = Ref::borrow(obj);
  if (kind == TableKind::data_frame) {
    CATENC_ASSIGN_OR_RETURN(const bool planned, plan_frame(obj.get(), rows, columns, plan));
    if (planned) {
      plan.as_found = true;
      return plan;
    }
    plan.columns.clear();
    source = Ref::steal(PyObject_GetAttr(obj.get(), n->values));
    if (!source) return stop_reading(Error::fetch());
    plan.keep = source.clone();
  } else if (!plan.na) {
    CATENC_ASSIGN_OR_RETURN(Ref pandas, loaded_pandas());
    if (pandas) {
      plan.na = Ref::steal(PyObject_GetAttrString(pandas.get(), "NA"));
      if (!plan.na) PyErr_Clear();
    }
  }
  CATENC_TRY(plan_array(std::move(source), rows, columns, plan));
  return plan;
}

std::optional<ColumnMemory> column_memory(PyObject* object, Py_ssize_t column, size_t rows) {
  if (!PyArray_Check(object)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (column < 0) {
    if (PyArray_NDIM(array) != 1 || static_cast<size_t>(PyArray_DIM(array, 0)) != rows) return std::nullopt;
    return ColumnMemory{PyArray_BYTES(array), PyArray_STRIDE(array, 0)};
  }
  if (PyArray_NDIM(array) != 2 || static_cast<size_t>(PyArray_DIM(array, 0)) != rows ||
      PyArray_DIM(array, 1) <= column) {
    return std::nullopt;
  }
  return ColumnMemory{PyArray_BYTES(array) + column * PyArray_STRIDE(array, 1), PyArray_STRIDE(array, 0)};
}

bool holds_foreign_cells(const TablePlan& plan, const PlannedColumn& column) {
  if (column.kind != PlannedColumn::Kind::objects) return false;
  const std::optional<ColumnMemory> memory = column_memory(column.array.get(), column.column, plan.rows);
  if (!memory || descr_of(column.array.get())->type_num != NPY_OBJECT) return true;
  const ObjectSlots slots{memory->data, memory->stride, plan.rows, plan.na.get()};
  return first_foreign_cell(slots) < plan.rows;
}

PyStatus take_private_copy(PlannedColumn& column) {
  const auto copy = [](Ref& array) -> PyStatus {
    if (!array || !PyArray_Check(array.get())) return {};
    array = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(array.get()), NPY_ANYORDER));
    if (!array) return fetched();
    return {};
  };
  if (column.kind == PlannedColumn::Kind::arrow_text || column.kind == PlannedColumn::Kind::interpreter) return {};
  CATENC_TRY(copy(column.array));
  return copy(column.mask);
}

PyResult<ColumnCells> interpreter_cells(const TablePlan& plan, PlannedColumn& column) {
  if (column.column >= 0) {
    return ColumnCells::of_table(column.array.clone(), plan.rows, plan.columns.size(),
                                 static_cast<size_t>(column.column));
  }
  return ColumnCells::of_column(column.array.clone(), plan.rows);
}

}  // namespace catenc::py
