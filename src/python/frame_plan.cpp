#include "frame_plan.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "interpreter_reader.hpp"
#include "names.hpp"
#include "object_cells.hpp"
#include "str_text.hpp"

namespace catenc::py {

namespace {

// The class name of a dtype of pandas' own, or nothing for any other: a class of someone else's
// may share a name with one of pandas'.
PyResult<std::string> pandas_type_name(PyObject* object) {
  Ref module = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
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

PyResult<Ref> attribute(PyObject* target, const char* name) {
  return checked(PyObject_GetAttrString(target, name));
}

bool is_array_of(PyObject* object, int type_num, int ndim = 1) {
  return PyArray_Check(object) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) == ndim &&
         descr_of(object)->type_num == type_num;
}

// pandas' own nullable dtypes: their arrays hold numbers in `_data` and NA in `_mask`.
bool is_masked(std::string_view dtype_type) {
  static constexpr std::string_view known[] = {
      "BooleanDtype", "Int8Dtype",   "Int16Dtype",  "Int32Dtype",   "Int64Dtype",   "UInt8Dtype",
      "UInt16Dtype",  "UInt32Dtype", "UInt64Dtype", "Float32Dtype", "Float64Dtype",
  };
  return std::find(std::begin(known), std::end(known), dtype_type) != std::end(known);
}

// The unit of a datetime64 or timedelta64 dtype whose values pandas prints: seconds down to
// nanoseconds, with no multiplier.
std::optional<TimeUnit> pandas_time_unit(const PyArray_Descr* descr) {
  if (descr->type_num != NPY_DATETIME && descr->type_num != NPY_TIMEDELTA) return std::nullopt;
  const auto* meta = reinterpret_cast<const PyArray_DatetimeDTypeMetaData*>(
      PyDataType_C_METADATA(const_cast<PyArray_Descr*>(descr)));
  if (meta == nullptr || meta->meta.num != 1) return std::nullopt;
  switch (meta->meta.base) {
    case NPY_FR_s:
      return TimeUnit::s;
    case NPY_FR_ms:
      return TimeUnit::ms;
    case NPY_FR_us:
      return TimeUnit::us;
    case NPY_FR_ns:
      return TimeUnit::ns;
    default:
      return std::nullopt;
  }
}

// A column of the frame as pandas stores it, before it is planned.
struct FrameColumn {
  Ref array;  // pandas' `_get_column_array`
  Ref dtype;
  std::string dtype_type;  // the class name of a dtype of pandas' own, else ""
};

using Planned = std::optional<PlannedColumn>;

class FramePlanner {
 public:
  FramePlanner(PyObject* frame, size_t columns, TablePlan& plan)
      : frame_(frame), columns_(columns), plan_(plan) {}

  // False: the frame must be read through `values`.
  PyResult<bool> plan() {
    Ref getter = Ref::steal(PyObject_GetAttrString(frame_, "_get_column_array"));
    if (!getter) return fetched();
    std::vector<FrameColumn> stored;
    for (size_t i = 0; i < columns_; ++i) {
      FrameColumn column;
      CATENC_ASSIGN_OR_RETURN(column.array, checked(PyObject_CallFunction(
                                                getter.get(), "n", static_cast<Py_ssize_t>(i))));
      CATENC_ASSIGN_OR_RETURN(column.dtype, attribute(column.array.get(), "dtype"));
      if (!PyArray_DescrCheck(column.dtype.get())) {
        CATENC_ASSIGN_OR_RETURN(column.dtype_type, pandas_type_name(column.dtype.get()));
      }
      stored.push_back(std::move(column));
    }
    // A frame of one column that is not a NumPy array gives `values` as that array's own
    // to_numpy(), which depends on its cells for some (a nullable column with NA may give floats
    // or objects, a category its categories' dtype): those are read as they are. Text and zoned
    // dates give the objects astype(object) gives, as beside other columns.
    if (columns_ == 1 && !PyArray_DescrCheck(stored[0].dtype.get()) &&
        stored[0].dtype_type != "StringDtype" && stored[0].dtype_type != "DatetimeTZDtype") {
      return false;
    }
    CATENC_ASSIGN_OR_RETURN(Ref common, common_dtype(stored));
    if (!common || !PyArray_DescrCheck(common.get())) return false;
    common_ = reinterpret_cast<PyArray_Descr*>(common.get());
    if (std::string_view("biufO").find(common_->kind) == std::string_view::npos) return false;
    common_ref_ = std::move(common);
    for (FrameColumn& column : stored) {
      CATENC_ASSIGN_OR_RETURN(Planned planned, plan_column(column));
      if (!planned) return false;
      plan_.columns.push_back(std::move(*planned));
    }
    return true;
  }

 private:
  bool objects_wanted() const { return common_->type_num == NPY_OBJECT; }

  // The dtype of `values`, as pandas picks it for the frame's blocks (an extension dtype there
  // stands for objects). The common cases follow from the dtypes alone; pandas decides the others.
  PyResult<Ref> common_dtype(const std::vector<FrameColumn>& stored) {
    bool numpy_only = true;
    bool same = true;
    bool objects = false;
    for (size_t i = 0; i < stored.size(); ++i) {
      PyObject* dtype = stored[i].dtype.get();
      if (!PyArray_DescrCheck(dtype)) {
        numpy_only = same = false;
        // Text, nullable numbers and zoned dates have no common type with anything else but
        // objects: beside any other dtype they make `values` hold objects.
        const std::string& type = stored[i].dtype_type;
        objects = objects || type == "StringDtype" || type == "DatetimeTZDtype" || is_masked(type);
        continue;
      }
      objects = objects || reinterpret_cast<PyArray_Descr*>(dtype)->type_num == NPY_OBJECT;
      if (same && i > 0) {
        const int equal = PyObject_RichCompareBool(dtype, stored[0].dtype.get(), Py_EQ);
        if (equal < 0) return fetched();
        same = equal == 1;
      }
    }
    if (same) return stored[0].dtype.clone();
    if (objects) return checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
    if (numpy_only) {
      // Numbers: NumPy's promotion, but for bools beside numbers, which pandas keeps as objects.
      bool bools = false;
      bool numbers = false;
      std::vector<PyArray_Descr*> descrs;
      for (const FrameColumn& column : stored) {
        auto* descr = reinterpret_cast<PyArray_Descr*>(column.dtype.get());
        if (std::string_view("biuf").find(descr->kind) == std::string_view::npos) {
          descrs.clear();
          break;
        }
        bools = bools || descr->kind == 'b';
        numbers = numbers || descr->kind != 'b';
        descrs.push_back(descr);
      }
      if (bools && numbers)
        return checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
      if (!descrs.empty()) {
        return checked(reinterpret_cast<PyObject*>(
            PyArray_ResultType(0, nullptr, static_cast<npy_intp>(descrs.size()), descrs.data())));
      }
    }
    Ref managers = Ref::steal(PyImport_ImportModule("pandas.core.internals.managers"));
    if (!managers) return fetched();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(stored.size())));
    if (!list) return fetched();
    for (size_t i = 0; i < stored.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), stored[i].dtype.clone().release());
    }
    CATENC_ASSIGN_OR_RETURN(Ref interleaved,
                            call_method(managers.get(), "interleaved_dtype", list.get()));
    return call_method(managers.get(), "ensure_np_dtype", interleaved.get());
  }

  PyResult<Planned> plan_column(FrameColumn& column) {
    PyObject* array = column.array.get();
    PyObject* dtype = column.dtype.get();
    const std::string& type = column.dtype_type;
    if (PyArray_Check(array)) return numpy_column(std::move(column.array));
    if (type == "CategoricalDtype") return category_column(array, dtype);
    // Everything else makes `values` hold objects.
    if (!objects_wanted()) return Planned();
    if (type == "StringDtype") return string_column(std::move(column.array), dtype);
    if (is_masked(type)) return masked_column(array);
    if (type == "DatetimeTZDtype") {
      // Its cells print their zone's offset at that moment: pandas writes each distinct one.
      CATENC_ASSIGN_OR_RETURN(Ref categorical,
                              checked(PyObject_CallMethod(array, "astype", "s", "category")));
      CATENC_ASSIGN_OR_RETURN(Ref category_dtype, attribute(categorical.get(), "dtype"));
      return category_column(categorical.get(), category_dtype.get());
    }
    if (PyArray_DescrCheck(dtype)) {
      auto* descr = reinterpret_cast<PyArray_Descr*>(dtype);
      if (descr->kind == 'M' || descr->kind == 'm') return date_column(array, descr);
    }
    return as_objects(array);
  }

  // `values` holds the column's astype(object) cells when it holds objects.
  PyResult<Planned> as_objects(PyObject* array) {
    CATENC_ASSIGN_OR_RETURN(
        Ref objects, call_method(array, "astype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!is_array_of(objects.get(), NPY_OBJECT)) return Planned();
    return Planned(PlannedObjects{ArraySlot{std::move(objects)}});
  }

  PyResult<Planned> numpy_column(Ref array) {
    PyArray_Descr* descr = descr_of(array.get());
    if (descr->type_num == NPY_OBJECT) return Planned(PlannedObjects{ArraySlot{std::move(array)}});
    if (objects_wanted()) {
      // Numbers become Python numbers, and float() of one is the number itself.
      if (const std::optional<NumberType> type = number_type_of(descr)) {
        return Planned(PlannedNumbers{ArraySlot{std::move(array)}, *type});
      }
      if (descr->kind == 'M' || descr->kind == 'm') return date_column(array.get(), descr);
      return as_objects(array.get());
    }
    // `values` holds the common number type: a column of that type, or one every value of which
    // that type and a double hold exactly, reads where it lies; NumPy converts any other (half
    // floats, whose NaNs it may quiet on the way) as `values` would.
    const std::optional<NumberType> type = number_type_of(descr);
    const bool exact =
        type && (descr->type_num == common_->type_num || descr->kind == 'i' || descr->kind == 'u' ||
                 descr->kind == 'b' || descr->type_num == NPY_FLOAT);
    if (exact) return Planned(PlannedNumbers{ArraySlot{std::move(array)}, *type});
    Py_INCREF(common_);
    Ref cast =
        Ref::steal(PyArray_CastToType(reinterpret_cast<PyArrayObject*>(array.get()), common_, 0));
    if (!cast) return fetched();
    const std::optional<NumberType> cast_type = number_type_of(descr_of(cast.get()));
    if (!cast_type) return Planned();
    return Planned(PlannedNumbers{ArraySlot{std::move(cast)}, *cast_type});
  }

  PyResult<Planned> date_column(PyObject* array, const PyArray_Descr* descr) {
    const std::optional<TimeUnit> unit = pandas_time_unit(descr);
    if (!unit) return as_objects(array);
    Ref values;
    if (PyArray_Check(array)) {
      values = Ref::steal(PyArray_View(reinterpret_cast<PyArrayObject*>(array),
                                       PyArray_DescrFromType(NPY_INT64), nullptr));
      if (!values) return fetched();
    } else {
      CATENC_ASSIGN_OR_RETURN(values, attribute(array, "asi8"));
    }
    if (!is_array_of(values.get(), NPY_INT64)) return as_objects(array);
    return Planned(PlannedDates{ArraySlot{std::move(values)}, *unit, descr->kind == 'm'});
  }

  PyResult<Planned> masked_column(PyObject* array) {
    CATENC_ASSIGN_OR_RETURN(Ref data, attribute(array, "_data"));
    CATENC_ASSIGN_OR_RETURN(Ref mask, attribute(array, "_mask"));
    if (!PyArray_Check(data.get()) || !is_array_of(mask.get(), NPY_BOOL)) {
      return as_objects(array);
    }
    const std::optional<NumberType> type = number_type_of(descr_of(data.get()));
    if (!type) return as_objects(array);
    return Planned(PlannedMasked{ArraySlot{std::move(data)}, ArraySlot{std::move(mask)}, *type});
  }

  PyResult<Planned> string_column(Ref array, PyObject* dtype) {
    CATENC_ASSIGN_OR_RETURN(Ref storage, attribute(dtype, "storage"));
    if (!PyUnicode_Check(storage.get())) return as_objects(array.get());
    CATENC_ASSIGN_OR_RETURN(std::string_view kind, utf8_view(storage.get()));
    if (kind == "python") {
      // Its cells are kept as the objects astype(object) gives: str and the dtype's missing value.
      CATENC_ASSIGN_OR_RETURN(Ref cells, attribute(array.get(), "_ndarray"));
      if (!is_array_of(cells.get(), NPY_OBJECT)) return as_objects(array.get());
      return Planned(PlannedObjects{ArraySlot{std::move(cells)}});
    }
    if (kind.substr(0, 7) != "pyarrow") return as_objects(array.get());
    CATENC_ASSIGN_OR_RETURN(Ref chunked, call_method(array.get(), "__arrow_array__"));
    CATENC_ASSIGN_OR_RETURN(ArrowStream arrow, ArrowStream::open(chunked.get()));
    const std::string& format = arrow.format();
    if ((format != "u" && format != "U" && format != "vu") || arrow.length() != plan_.rows) {
      return as_objects(array.get());
    }
    CATENC_ASSIGN_OR_RETURN(Ref missing, attribute(dtype, "na_value"));
    CATENC_ASSIGN_OR_RETURN(const DictionaryEntry null, interpreter_entry(missing.get()));
    PlannedArrowText column;
    column.source.format = format;
    column.source.chunks = arrow.chunks();
    column.source.rows = plan_.rows;
    column.source.null_is_number = null.is_number;
    column.source.null_text = null.text;
    plan_.streams.push_back(std::move(arrow));
    plan_.keep.push_back(std::move(chunked));
    return Planned(std::move(column));
  }

  // A category's cells as `values` holds them, each distinct one converted once: as objects, the
  // objects astype(object) gives for each category and for the missing cell; as numbers, the
  // categories' numbers (a missing cell stays missing where pandas would squeeze NaN into an
  // integer or a bool).
  PyResult<Planned> category_column(PyObject* categorical, PyObject* dtype) {
    CATENC_ASSIGN_OR_RETURN(Ref codes, attribute(categorical, "codes"));
    CATENC_ASSIGN_OR_RETURN(Ref categories, attribute(dtype, "categories"));
    const Py_ssize_t count = PyObject_Length(categories.get());
    if (count < 0) return fetched();
    if (!PyArray_Check(codes.get()) ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(codes.get())) != 1 ||
        descr_of(codes.get())->kind != 'i') {
      return Planned();
    }
    PlannedCategory column;
    column.codes = ArraySlot{std::move(codes)};
    column.entries.resize(static_cast<size_t>(count) + 1);
    if (!objects_wanted()) {
      CATENC_ASSIGN_OR_RETURN(Ref values, call_method(categories.get(), "to_numpy"));
      Ref numbers = Ref::steal(
          PyArray_FROM_OTF(values.get(), NPY_DOUBLE, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
      if (!numbers) return fetched();
      auto* array = reinterpret_cast<PyArrayObject*>(numbers.get());
      if (PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) != count) return Planned();
      const auto* data = static_cast<const double*>(PyArray_DATA(array));
      column.entries[0].is_number = true;
      column.entries[0].number = missing_code();
      for (Py_ssize_t k = 0; k < count; ++k) {
        column.entries[static_cast<size_t>(k) + 1].is_number = true;
        column.entries[static_cast<size_t>(k) + 1].number = data[k];
      }
      return Planned(std::move(column));
    }
    Ref all_codes = Ref::steal(PyArray_Arange(-1.0, static_cast<double>(count), 1.0, NPY_INT64));
    if (!all_codes) return fetched();
    CATENC_ASSIGN_OR_RETURN(
        Ref from_codes, attribute(reinterpret_cast<PyObject*>(Py_TYPE(categorical)), "from_codes"));
    Ref args = Ref::steal(PyTuple_Pack(1, all_codes.get()));
    if (!args) return fetched();
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "dtype", dtype));
    if (!kwargs) return fetched();
    CATENC_ASSIGN_OR_RETURN(Ref each,
                            checked(PyObject_Call(from_codes.get(), args.get(), kwargs.get())));
    // astype, not to_numpy: the missing cell must not turn integer categories into floats.
    CATENC_ASSIGN_OR_RETURN(
        Ref lookup,
        call_method(each.get(), "astype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!is_array_of(lookup.get(), NPY_OBJECT) ||
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(lookup.get()), 0) != count + 1) {
      return Planned();
    }
    CATENC_ASSIGN_OR_RETURN(Ref categories_dtype, attribute(categories.get(), "dtype"));
    // Categories of NumPy's object dtype may be anyone's objects, with methods of their own;
    // those of any other dtype are made by pandas and NumPy.
    const bool anyones =
        PyArray_DescrCheck(categories_dtype.get()) &&
        reinterpret_cast<PyArray_Descr*>(categories_dtype.get())->type_num == NPY_OBJECT;
    auto** cells =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(lookup.get())));
    for (Py_ssize_t k = 0; k <= count; ++k) {
      PyObject* cell = cells[k] != nullptr ? cells[k] : Py_None;
      DictionaryEntry& entry = column.entries[static_cast<size_t>(k)];
      if (plain_entry(cell, plan_.na.get(), entry)) continue;
      if (anyones) {
        column.entries.clear();
        column.entry_objects = std::move(lookup);
        break;
      }
      CATENC_ASSIGN_OR_RETURN(entry, interpreter_entry(cell));
    }
    return Planned(std::move(column));
  }

  PyObject* frame_;
  size_t columns_;
  TablePlan& plan_;
  PyArray_Descr* common_ = nullptr;
  Ref common_ref_;
};

// A copy of the array a slot reads, made before any cell runs code, so that the code cannot
// change or free what the plan reads.
PyStatus take_private_copy(ArraySlot& slot) {
  if (!slot.array || !PyArray_Check(slot.array.get())) return {};
  CATENC_ASSIGN_OR_RETURN(
      slot.array,
      checked(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(slot.array.get()), NPY_ANYORDER)));
  return {};
}

PyStatus take_private_copies(PlannedColumn& column) {
  return std::visit(
      [](auto& planned) -> PyStatus {
        using T = std::decay_t<decltype(planned)>;
        if constexpr (std::is_same_v<T, PlannedMasked>) {
          CATENC_TRY(take_private_copy(planned.values));
          return take_private_copy(planned.mask);
        } else if constexpr (std::is_same_v<T, PlannedCategory>) {
          return take_private_copy(planned.codes);
        } else if constexpr (std::is_same_v<T, PlannedNumbers> ||
                             std::is_same_v<T, PlannedObjects> || std::is_same_v<T, PlannedDates>) {
          return take_private_copy(planned.slot);
        } else {
          return {};  // Arrow buffers belong to the plan's streams; no user code reaches them
        }
      },
      column);
}

}  // namespace

PyResult<bool> plan_frame(PyObject* frame, size_t columns, TablePlan& plan) {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  Ref pandas = Ref::steal(PyImport_GetModule(n->pandas));
  if (!pandas) {
    // An object of pandas' DataFrame class cannot exist without pandas.
    if (PyErr_Occurred()) return fetched();
    return false;
  }
  Ref data_frame = Ref::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (!data_frame) {
    CATENC_TRY(discard_exception(PyExc_AttributeError));
    return false;
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(frame)) != data_frame.get()) return false;
  plan.as_found = true;
  if (columns == 0) return true;
  FramePlanner planner(frame, columns, plan);
  PyResult<bool> planned = planner.plan();
  if (!planned || !planned.value()) {
    plan.columns.clear();
    plan.keep.clear();
    plan.streams.clear();
    plan.as_found = false;
    // Reading columns one by one only saves time: when pandas refuses, `values` still reads them.
    if (!planned && planned.error().must_propagate()) return planned;
    return false;
  }
  const bool any_runs_code = std::any_of(
      plan.columns.begin(), plan.columns.end(),
      [&](const PlannedColumn& column) { return runs_code(column, plan.rows, plan.na.get()); });
  // Copies taken before any cell runs code read as `values` would, which is made first.
  if (any_runs_code) {
    for (PlannedColumn& column : plan.columns) CATENC_TRY(take_private_copies(column));
  }
  return true;
}

}  // namespace catenc::py
