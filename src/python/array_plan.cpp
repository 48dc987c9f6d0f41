#include "array_plan.hpp"

#include "column_cells.hpp"

namespace catenc::py {

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
    }
    plan.columns.emplace_back(PlannedItems{std::move(slot)});
  }
  return {};
}

}  // namespace catenc::py
