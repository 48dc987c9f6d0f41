#include "encode_table.hpp"

#include <bit>
#include <optional>
#include <vector>

#include "arrow_text_column.hpp"
#include "column_plan.hpp"
#include "column_work.hpp"
#include "date_column.hpp"
#include "interpreter_reader.hpp"
#include "masked_column.hpp"
#include "names.hpp"
#include "numpy_api.hpp"
#include "object_cells.hpp"
#include "pool.hpp"

namespace catenc::py {

namespace {

// Below this many cells a table is encoded on the calling thread: handing it to the pool would
// cost more than its cells.
constexpr size_t inline_cells = 1 << 14;

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
  if (!shape) return stop_reading(Error::fetch());
  if (!PyTuple_Check(shape.get())) return stop_reading(not_an_instance(shape.get(), "tuple"));
  if (PyTuple_GET_SIZE(shape.get()) != 2) {
    return stop_reading(Error::deferred(PyExc_ValueError, "expected a shape of 2 dimensions, got " +
                                                              std::to_string(PyTuple_GET_SIZE(shape.get()))));
  }
  PyResult<size_t> rows = shape_item(PyTuple_GET_ITEM(shape.get(), 0));
  if (!rows) return stop_reading(std::move(rows).error());
  PyResult<size_t> columns = shape_item(PyTuple_GET_ITEM(shape.get(), 1));
  if (!columns) return stop_reading(std::move(columns).error());
  return Shape{rows.value(), columns.value()};
}

// A cell that is always missing: an Arrow column of nulls reads it for every row.
constexpr double missing_cell = std::bit_cast<double>(missing_code_bits);

std::unique_ptr<ColumnWork> arrow_numbers_work(const PlannedColumn& column, size_t rows) {
  std::vector<NumberSource> pieces;
  if (column.chunks.empty()) {
    pieces.push_back(NumberSource{reinterpret_cast<const char*>(&missing_cell), 0, rows, NumberType::f64, {}});
  }
  for (const ArrowArray* chunk : column.chunks) {
    NumberSource piece;
    piece.rows = static_cast<size_t>(chunk->length);
    piece.type = column.number_type;
    if (piece.type == NumberType::bits) {
      piece.data = static_cast<const char*>(chunk->buffers[1]);
      piece.bit_offset = chunk->offset;
    } else {
      const auto size = static_cast<ptrdiff_t>(number_type_size(piece.type));
      piece.data = static_cast<const char*>(chunk->buffers[1]) + chunk->offset * size;
      piece.stride = size;
    }
    if (chunk->null_count != 0 && chunk->buffers[0] != nullptr) {
      piece.missing.kind = MissingRows::Kind::bits;
      piece.missing.data = static_cast<const uint8_t*>(chunk->buffers[0]);
      piece.missing.bit_offset = chunk->offset;
    }
    pieces.push_back(piece);
  }
  return number_chunks_work(std::move(pieces));
}

Unexpected<Error> changed_while_read() {
  return stop_reading(Error::deferred(PyExc_RuntimeError, "the table changed while it was read"));
}

// One call's reading of a planned table.
class TableReading {
 public:
  TableReading(TablePlan& plan, Table& table)
      : plan_(plan), table_(table), works_(plan.columns.size()), maps_(plan.columns.size()) {}

  // Reads every column that needs the interpreter and prepares the work on every other, in an
  // order that gives each cell as the table's semantics say (see TablePlan::as_found).
  PyStatus read() {
    if (plan_.as_found) return read_as_found();
    // As item access would: a column is read in full before the next one's cells run any code.
    // Columns prepared for the pool are read at once when a later column must run code.
    std::vector<size_t> pending;
    for (size_t c = 0; c < plan_.columns.size(); ++c) {
      PlannedColumn& column = plan_.columns[c];
      if (!column.needs_interpreter() && !holds_foreign_cells(plan_, column)) {
        PyResult<std::unique_ptr<ColumnWork>> work = bind(column);
        if (work) {
          works_[c] = std::move(work).value();
          pending.push_back(c);
          continue;
        }
        // Code that ran before changed the array: item access now reads what it holds now.
        column.kind = PlannedColumn::Kind::interpreter;
      }
      CATENC_TRY(run_now(pending));
      pending.clear();
      CATENC_TRY(read_through_interpreter(c));
    }
    return {};
  }

  // Runs the prepared work: on the pool, or on this thread for a small table.
  PyResult<std::unique_ptr<EncodingInfo>> finish() {
    // Every encoding reaches the pool, whatever its columns hold: it starts here at the latest,
    // once every cell that could run code has been read.
    if (Outcome<pool::ThreadPool*> started = pool::global_pool(); !started) {
      return Unexpected<Error>{Error::from(std::move(started).error())};
    }
    auto info = std::make_unique<EncodingInfo>(plan_.columns.size());
    Status done = [&] {
      if (plan_.rows * plan_.columns.size() <= inline_cells) {
        pool::Inline here;
        return run_column_works(works_, maps_, table_, *info);
      }
      return run_column_works(works_, maps_, table_, *info);
    }();
    if (!done) return Unexpected<Error>{Error::from(std::move(done).error())};
    return info;
  }

 private:
  PyStatus read_as_found() {
    bool runs_code = false;
    for (const PlannedColumn& column : plan_.columns) {
      runs_code = runs_code || column.needs_interpreter() || holds_foreign_cells(plan_, column);
    }
    if (runs_code) {
      // Copies taken before any cell runs code read as `values` would: made before it runs.
      for (PlannedColumn& column : plan_.columns) CATENC_TRY(take_private_copy(column));
      for (size_t c = 0; c < plan_.columns.size(); ++c) {
        PlannedColumn& column = plan_.columns[c];
        if (column.needs_interpreter() || holds_foreign_cells(plan_, column)) CATENC_TRY(read_through_interpreter(c));
      }
    }
    for (size_t c = 0; c < plan_.columns.size(); ++c) {
      if (works_[c] || plan_.columns[c].kind == PlannedColumn::Kind::interpreter) continue;
      PyResult<std::unique_ptr<ColumnWork>> work = bind(plan_.columns[c]);
      // Only a collection's callback or another thread can have reshaped what the frame owns.
      if (!work) return changed_while_read();
      works_[c] = std::move(work).value();
    }
    return {};
  }

  // Reads the columns whose work is prepared, on this thread, before code may change them.
  PyStatus run_now(const std::vector<size_t>& columns) {
    if (columns.empty()) return {};
    pool::Inline here;
    for (size_t c : columns) {
      double* out = table_.data() + c * table_.column_stride();
      Outcome<std::optional<LabelMap>> map = works_[c]->run(out, table_.row_stride());
      if (!map) return Unexpected<Error>{Error::from(std::move(map).error())};
      maps_[c] = std::move(map).value();
      works_[c].reset();
    }
    return {};
  }

  PyStatus read_through_interpreter(size_t c) {
    PlannedColumn& column = plan_.columns[c];
    if (column.entry_objects) {
      auto** cells = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(column.entry_objects.get())));
      for (size_t k = 0; k < column.entries.size(); ++k) {
        PyObject* cell = cells[k] != nullptr ? cells[k] : Py_None;
        Ref held = Ref::borrow(cell);
        CATENC_ASSIGN_OR_RETURN(column.entries[k], interpreter_entry(held.get()));
      }
      column.entry_objects.reset();
      PyResult<std::unique_ptr<ColumnWork>> work = bind(column);
      if (!work) return changed_while_read();
      works_[c] = std::move(work).value();
      return {};
    }
    column.kind = PlannedColumn::Kind::interpreter;
    CATENC_ASSIGN_OR_RETURN(ColumnCells cells, interpreter_cells(plan_, column));
    InterpreterReader reader(table_, c);
    CATENC_ASSIGN_OR_RETURN(std::optional<PackedLabels> labels, reader.read(cells));
    if (labels) works_[c] = packed_labels_work(std::move(*labels));
    return {};
  }

  // The work on a column, from its memory as it is now; an error when that no longer has the
  // shape the plan saw.
  PyResult<std::unique_ptr<ColumnWork>> bind(PlannedColumn& column) {
    using Kind = PlannedColumn::Kind;
    const size_t rows = plan_.rows;
    if (column.kind == Kind::arrow_text) {
      ArrowTextSource source;
      source.format = column.arrow_format;
      source.chunks = column.chunks;
      source.rows = rows;
      source.null_is_number = column.null_is_number;
      source.null_text = column.null_text;
      return arrow_text_work(std::move(source));
    }
    if (column.kind == Kind::arrow_numbers) return arrow_numbers_work(column, rows);
    const std::optional<ColumnMemory> memory = column_memory(column.array.get(), column.column, rows);
    if (!memory) return changed_while_read();
    switch (column.kind) {
      case Kind::numbers: {
        NumberSource source{memory->data, memory->stride, rows, column.number_type, {}};
        return number_work(source);
      }
      case Kind::objects:
        return plain_objects_work(ObjectSlots{memory->data, memory->stride, rows, plan_.na.get()});
      case Kind::dates:
        return date_work(DateSource{memory->data, memory->stride, rows, column.unit, column.duration});
      case Kind::masked: {
        const std::optional<ColumnMemory> mask = column_memory(column.mask.get(), -1, rows);
        if (!mask) return changed_while_read();
        NumberSource source{memory->data, memory->stride, rows, column.number_type, {}};
        source.missing.kind = MissingRows::Kind::bytes;
        source.missing.data = reinterpret_cast<const uint8_t*>(mask->data);
        source.missing.byte_stride = mask->stride;
        return masked_work(source);
      }
      case Kind::dictionary: {
        DictionarySource source;
        source.codes = memory->data;
        source.stride = memory->stride;
        source.rows = rows;
        source.code_size = static_cast<unsigned>(PyArray_ITEMSIZE(reinterpret_cast<PyArrayObject*>(column.array.get())));
        source.code_signed = true;
        source.entries = std::move(column.entries);
        return dictionary_work(std::move(source));
      }
      default: return changed_while_read();
    }
  }

  TablePlan& plan_;
  Table& table_;
  std::vector<std::unique_ptr<ColumnWork>> works_;
  std::vector<std::optional<LabelMap>> maps_;
};

}  // namespace

PyResult<EncodedTable> encode_object_array(Borrowed obj, TableKind kind) {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  CATENC_ASSIGN_OR_RETURN(const Shape shape, read_shape(obj.get(), *n));
  CATENC_ASSIGN_OR_RETURN(
      ArrayTable result,
      new_array_table(shape.rows, shape.columns,
                      kind == TableKind::array ? Table::Layout::row_major : Table::Layout::column_major));
  CATENC_ASSIGN_OR_RETURN(TablePlan plan, plan_table(obj, kind, shape.rows, shape.columns));
  TableReading reading(plan, result.table);
  CATENC_TRY(reading.read());
  CATENC_ASSIGN_OR_RETURN(std::unique_ptr<EncodingInfo> info, reading.finish());
  return EncodedTable{std::move(result), std::move(info)};
}

}  // namespace catenc::py
