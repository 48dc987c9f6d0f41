#include "build_output.hpp"

#include <string>

#include "result_builders.hpp"

namespace catenc::py {

PyStatus check_width(const EncodingInfo& info, size_t columns, const OUT& out) {
  if (info.encoded_columns().empty()) return {};
  const size_t needed = info.encoded_columns().back() + 1;
  if (columns < needed) {
    return fail(PyExc_ValueError, "cannot decode a table of " + std::to_string(columns) +
                                      " columns: the encoder learned column index " +
                                      std::to_string(needed - 1) + ", so at least " +
                                      std::to_string(needed) + " columns are needed");
  }
  if (out.column_names && out.column_names->size() < needed) {
    return fail(PyExc_ValueError, "cannot decode a DataFrame with " +
                                      std::to_string(out.column_names->size()) +
                                      " column names: the encoder learned column index " +
                                      std::to_string(needed - 1) + ", so at least " +
                                      std::to_string(needed) + " names are needed");
  }
  return {};
}

PyResult<Ref> arr_to_out(ArrayTable table, OUT out, const Learned* learned) {
  if (learned != nullptr) CATENC_TRY(check_width(learned->info(), table.table.columns(), out));
  if (!out.column_names) return array_result(std::move(table), learned);
  if (out.arrow_frame) return polars_result(std::move(table), *out.column_names, learned);
  return pandas_result(std::move(table), *out.column_names, out.column_labels.get(), learned);
}

}  // namespace catenc::py
