#include "array_plan.hpp"

#include <bit>
#include <cstring>

#include "column_cells.hpp"
#include "interpreter_reader.hpp"
#include "object_cells.hpp"

namespace catenc::py {

namespace {

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

// A column of fixed-width text, or nothing for cells of no width.
std::optional<PlannedFixedText> fixed_text(ArraySlot slot, const PyArray_Descr* descr) {
  const auto itemsize = static_cast<size_t>(PyDataType_ELSIZE(descr));
  PlannedFixedText column{std::move(slot), itemsize, FixedTextKind::bytes};
  if (descr->type_num == NPY_UNICODE) {
    static_assert(std::endian::native == std::endian::little,
                  "native UCS-4 is taken for little-endian");
    column.kind = descr->byteorder == '>' ? FixedTextKind::ucs4_big : FixedTextKind::ucs4_little;
  }
  if (itemsize == 0) return std::nullopt;
  return column;
}

// A datetime64 or timedelta64 column every cell of which NumPy can print, else nothing.
PyResult<std::optional<PlannedNumpyDates>> numpy_dates(ArraySlot slot, const PyArray_Descr* descr,
                                                       size_t rows) {
  const auto* meta = reinterpret_cast<const PyArray_DatetimeDTypeMetaData*>(
      PyDataType_C_METADATA(const_cast<PyArray_Descr*>(descr)));
  if (meta == nullptr || !PyArray_ISNBO(descr->byteorder) || meta->meta.num < 1 ||
      meta->meta.base == 3 || meta->meta.base > static_cast<int>(NumpyTimeUnit::generic)) {
    return std::optional<PlannedNumpyDates>();
  }
  CATENC_ASSIGN_OR_RETURN(const NumpyVersion version, numpy_version());
  PlannedNumpyDates column{
      std::move(slot), NumpyTimeType{static_cast<NumpyTimeUnit>(meta->meta.base), meta->meta.num},
      descr->type_num == NPY_TIMEDELTA,
      version.at_least(2, 2) ? NumpyRelease::from_2_2 : NumpyRelease::before_2_2};
  const std::optional<ColumnMemory> memory = column.slot.memory(rows);
  if (!memory) return std::optional<PlannedNumpyDates>();
  if (!numpy_dates_have_texts(source_of(column, *memory, rows)))
    return std::optional<PlannedNumpyDates>();
  return std::optional<PlannedNumpyDates>(std::move(column));
}

}  // namespace

NumpyDateSource source_of(const PlannedNumpyDates& column, const ColumnMemory& memory,
                          size_t rows) {
  return NumpyDateSource{memory.data, memory.stride,   rows,
                         column.type, column.duration, column.release};
}

PyStatus plan_array(Ref source, size_t columns, TablePlan& plan) {
  CATENC_ASSIGN_OR_RETURN(const bool plain, is_plain_array(source.get()));
  auto* array = reinterpret_cast<PyArrayObject*>(source.get());
  // Memory stands in for item access only where the key (row, column) reaches the same cell.
  const bool direct = plain && PyArray_NDIM(array) == 2 &&
                      static_cast<size_t>(PyArray_DIM(array, 0)) == plan.rows &&
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
      if (descr->type_num == NPY_UNICODE || descr->type_num == NPY_STRING) {
        if (std::optional<PlannedFixedText> text =
                fixed_text(ArraySlot{slot.array.clone(), slot.column}, descr)) {
          plan.columns.emplace_back(std::move(*text));
          continue;
        }
      }
      if (descr->type_num == NPY_DATETIME || descr->type_num == NPY_TIMEDELTA) {
        CATENC_ASSIGN_OR_RETURN(
            std::optional<PlannedNumpyDates> dates,
            numpy_dates(ArraySlot{slot.array.clone(), slot.column}, descr, plan.rows));
        if (dates) {
          plan.columns.emplace_back(std::move(*dates));
          continue;
        }
      }
    }
    plan.columns.emplace_back(PlannedItems{std::move(slot)});
  }
  return {};
}

}  // namespace catenc::py
