// Columns whose codes follow from the set of 64-bit keys they hold (ColumnWork::key_cells): dates
// and durations. Their keys are found together, a block of rows at a time, so that a row-major
// table is read once for all of them rather than once per column; a second pass writes each cell
// the code of its key, looked up in a small table of the column's keys. Nothing records where a
// key was first seen: a column's codes depend on its keys alone, so no piece of rows, block size or
// thread count can show in them.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "column_work.hpp"
#include "result.hpp"
#include "table.hpp"

namespace catenc {

// A column of more distinct keys than this is left to its work's run(), which holds fewer tables
// at once: a column's key tables here take about 100 bytes a key, and every column's are built
// together. Up to this many, measured on 1M rows, finding keys here takes half run()'s time.
inline constexpr size_t key_column_max_keys = size_t{1} << 20;

// Encodes every column of `table` whose work has key cells, as run() would: writes its cells and
// outcome and drops its work. Columns left to run() (too many keys, long probes, codes that need
// more than the keys, cells that changed between the passes) keep their work, which writes every
// cell again.
Status encode_key_columns(std::span<std::unique_ptr<ColumnWork>> works,
                          std::span<ColumnOutcome> outcomes, Table& table);

}  // namespace catenc
