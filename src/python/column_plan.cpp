#include "column_plan.hpp"

#include <type_traits>

#include "array_plan.hpp"
#include "arrow_plan.hpp"
#include "frame_plan.hpp"
#include "interpreter_reader.hpp"
#include "names.hpp"
#include "object_cells.hpp"

namespace catenc::py {

std::optional<ColumnMemory> ArraySlot::memory(size_t rows) const {
  if (!array || !PyArray_Check(array.get())) return std::nullopt;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (column < 0) {
    if (PyArray_NDIM(a) != 1 || static_cast<size_t>(PyArray_DIM(a, 0)) != rows) return std::nullopt;
    return ColumnMemory{PyArray_BYTES(a), PyArray_STRIDE(a, 0)};
  }
  if (PyArray_NDIM(a) != 2 || static_cast<size_t>(PyArray_DIM(a, 0)) != rows ||
      PyArray_DIM(a, 1) <= column) {
    return std::nullopt;
  }
  return ColumnMemory{PyArray_BYTES(a) + column * PyArray_STRIDE(a, 1), PyArray_STRIDE(a, 0)};
}

const ArraySlot* slot_of(const PlannedColumn& column) noexcept {
  return std::visit(
      [](const auto& planned) -> const ArraySlot* {
        using T = std::decay_t<decltype(planned)>;
        if constexpr (std::is_same_v<T, PlannedMasked>) {
          return &planned.values;
        } else if constexpr (std::is_same_v<T, PlannedCategory>) {
          return nullptr;  // its codes are no cells
        } else if constexpr (requires { planned.slot; }) {
          return &planned.slot;
        } else {
          return nullptr;
        }
      },
      column);
}

std::optional<NumberType> number_type_of(const PyArray_Descr* descr) noexcept {
  if (!PyArray_ISNBO(descr->byteorder)) return std::nullopt;
  const auto size = static_cast<size_t>(PyDataType_ELSIZE(descr));
  const auto integer = [size](bool is_signed) -> std::optional<NumberType> {
    switch (size) {
      case 1:
        return is_signed ? NumberType::i8 : NumberType::u8;
      case 2:
        return is_signed ? NumberType::i16 : NumberType::u16;
      case 4:
        return is_signed ? NumberType::i32 : NumberType::u32;
      case 8:
        return is_signed ? NumberType::i64 : NumberType::u64;
      default:
        return std::nullopt;
    }
  };
  switch (descr->type_num) {
    // A byte, not a C++ bool: NumPy lets any byte stand in a bool array (a view of uint8, say).
    case NPY_BOOL:
      return NumberType::boolean;
    case NPY_BYTE:
    case NPY_SHORT:
    case NPY_INT:
    case NPY_LONG:
    case NPY_LONGLONG:
      return integer(true);
    case NPY_UBYTE:
    case NPY_USHORT:
    case NPY_UINT:
    case NPY_ULONG:
    case NPY_ULONGLONG:
      return integer(false);
    case NPY_HALF:
      return NumberType::f16;
    case NPY_FLOAT:
      return NumberType::f32;
    case NPY_DOUBLE:
      return NumberType::f64;
    default:
      return std::nullopt;
  }
}

PyResult<Ref> pandas_na() {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  Ref pandas = Ref::steal(PyImport_GetModule(n->pandas));
  if (!pandas) {
    if (PyErr_Occurred()) return fetched();
    return Ref();
  }
  Ref na = Ref::steal(PyObject_GetAttrString(pandas.get(), "NA"));
  // A pandas half initialised, or not pandas at all, has no NA; then no cell is it.
  if (!na) CATENC_TRY(discard_exception(PyExc_AttributeError));
  return na;
}

bool runs_code(const PlannedColumn& column, size_t rows, PyObject* na) {
  if (std::holds_alternative<PlannedItems>(column)) return true;
  if (const auto* category = std::get_if<PlannedCategory>(&column))
    return static_cast<bool>(category->entry_objects);
  const auto* objects = std::get_if<PlannedObjects>(&column);
  if (objects == nullptr) return false;
  const std::optional<ColumnMemory> memory = objects->slot.memory(rows);
  if (!memory || descr_of(objects->slot.array.get())->type_num != NPY_OBJECT) return true;
  return first_foreign_cell(ObjectSlots{memory->data, memory->stride, rows, na}) < rows;
}

PyResult<TablePlan> plan_table(Borrowed obj, TableKind kind, size_t rows, size_t columns) {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  TablePlan plan;
  plan.rows = rows;
  if (kind == TableKind::arrow_frame) {
    CATENC_TRY(plan_arrow_frame(obj.get(), columns, plan));
    return plan;
  }
  CATENC_ASSIGN_OR_RETURN(plan.na, pandas_na());
  Ref source = Ref::borrow(obj);
  if (kind == TableKind::data_frame) {
    CATENC_ASSIGN_OR_RETURN(const bool planned, plan_frame(obj.get(), columns, plan));
    if (planned) return plan;
    Ref na = std::move(plan.na);
    plan = TablePlan{};
    plan.rows = rows;
    plan.na = std::move(na);
    source = Ref::steal(PyObject_GetAttr(obj.get(), n->values));
    if (!source) return stop_reading(Error::fetch());
    plan.keep.push_back(source.clone());
  }
  CATENC_TRY(plan_array(std::move(source), columns, plan));
  return plan;
}

}  // namespace catenc::py
