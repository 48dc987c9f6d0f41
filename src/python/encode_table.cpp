#include "encode_table.hpp"

#include <optional>
#include <span>
#include <vector>

#include "arrow_text_column.hpp"
#include "column_cells.hpp"
#include "column_work.hpp"
#include "date_column.hpp"
#include "interpreter_reader.hpp"
#include "masked_column.hpp"
#include "names.hpp"
#include "numpy_api.hpp"
#include "object_cells.hpp"
#include "once.hpp"
#include "pool.hpp"
#include "string_text_column.hpp"

namespace catenc::py {

namespace {

// Below this many cells a table is encoded on the calling thread: handing it to the pool would
// cost more than its cells.
constexpr size_t inline_cells = 1 << 14;

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

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
    return stop_reading(Error::deferred(
        PyExc_ValueError,
        "expected a shape of 2 dimensions, got " + std::to_string(PyTuple_GET_SIZE(shape.get()))));
  }
  PyResult<size_t> rows = shape_item(PyTuple_GET_ITEM(shape.get(), 0));
  if (!rows) return stop_reading(std::move(rows).error());
  PyResult<size_t> columns = shape_item(PyTuple_GET_ITEM(shape.get(), 1));
  if (!columns) return stop_reading(std::move(columns).error());
  return Shape{rows.value(), columns.value()};
}

Unexpected<Error> changed_while_read() {
  return stop_reading(Error::deferred(PyExc_RuntimeError, "the table changed while it was read"));
}

// One call's reading of a planned table. The plan is only read: what the reading learns on the
// way (which columns it read through the interpreter, entries it converted there) is its own.
class TableReading {
 public:
  // `rules` holds a rule per column, or is empty for a whole table; so does `vocabularies`.
  TableReading(const TablePlan& plan, Table& table, std::span<const LabelRule> rules = {},
               std::span<const VocabularyIndex* const> vocabularies = {})
      : plan_(plan),
        table_(table),
        rules_(rules),
        vocabularies_(vocabularies),
        works_(plan.columns.size()),
        outcomes_(plan.columns.size()),
        entries_(plan.columns.size()) {}

  // Once finished: whether numbers led the labels of column `c`.
  bool leading_numbers(size_t c) const noexcept { return outcomes_[c].leading_numbers; }

  // Reads every column that needs the interpreter and prepares the work on every other, in an
  // order that gives each cell as the table's semantics say (see TablePlan::as_found).
  PyStatus read() {
    if (plan_.as_found) return read_as_found();
    // As item access would: a column is read in full before the next one's cells run any code.
    // Columns prepared for the pool are read at once when a later column must run code.
    std::vector<size_t> pending;
    for (size_t c = 0; c < plan_.columns.size(); ++c) {
      if (!runs_code(plan_.columns[c], plan_.rows, plan_.na.get())) {
        PyResult<std::unique_ptr<ColumnWork>> work = bind(c);
        if (work) {
          works_[c] = std::move(work).value();
          pending.push_back(c);
          continue;
        }
        if (work.error().must_propagate()) return std::move(work).pass();
        // Code that ran before changed the array: item access now reads what it holds now.
      }
      CATENC_TRY(run_now(pending));
      pending.clear();
      CATENC_TRY(read_through_interpreter(c));
    }
    return {};
  }

  // Runs the prepared work: on the pool, or on this thread for a small table.
  // `detached`: the calling thread lets go of the interpreter while the pool runs, so that the
  // process's other Python threads go on (a Dask worker's own, which serve its data to the others).
  // Nothing the kernels read can then be changed under them but by the caller's own race, as on an
  // interpreter without a GIL.
  PyResult<std::unique_ptr<EncodingInfo>> finish(bool detached = false) {
    // Every encoding reaches the pool, whatever its columns hold: it starts here at the latest,
    // once every cell that could run code has been read.
    if (Outcome<pool::ThreadPool*> started = pool::global_pool(); !started) {
      return Unexpected<Error>{Error::from(std::move(started).error())};
    }
    auto info = std::make_unique<EncodingInfo>(plan_.columns.size());
    const auto run = [&] {
      if (plan_.rows * plan_.columns.size() <= inline_cells) {
        pool::Inline here;
        return run_column_works(works_, outcomes_, table_, *info);
      }
      return run_column_works(works_, outcomes_, table_, *info);
    };
    Status done = [&] {
      if (!detached) return run();
      Detached away;
      return run();
    }();
    if (!done) return Unexpected<Error>{Error::from(std::move(done).error())};
    return info;
  }

 private:
  // The plan took private copies of the frame's memory wherever a cell can run code (frame_plan):
  // those cells are read first, through the interpreter, and the rest after, from the copies.
  PyStatus read_as_found() {
    std::vector<bool> read(plan_.columns.size(), false);
    for (size_t c = 0; c < plan_.columns.size(); ++c) {
      if (!runs_code(plan_.columns[c], plan_.rows, plan_.na.get())) continue;
      CATENC_TRY(read_through_interpreter(c));
      read[c] = true;
    }
    for (size_t c = 0; c < plan_.columns.size(); ++c) {
      if (read[c]) continue;
      // Only a collection's callback or another thread can have reshaped what the frame owns.
      PyResult<std::unique_ptr<ColumnWork>> work = bind(c);
      if (!work) return std::move(work).pass();
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
      outcomes_[c].map = std::move(map).value();
      outcomes_[c].leading_numbers = works_[c]->leading_numbers();
      works_[c].reset();
    }
    return {};
  }

  PyStatus read_through_interpreter(size_t c) {
    const PlannedColumn& column = plan_.columns[c];
    if (const auto* category = std::get_if<PlannedCategory>(&column);
        category && category->entry_objects) {
      auto* array = reinterpret_cast<PyArrayObject*>(category->entry_objects.get());
      auto** cells = static_cast<PyObject**>(PyArray_DATA(array));
      const auto count = static_cast<size_t>(PyArray_DIM(array, 0));
      entries_[c].reserve(count);
      for (size_t k = 0; k < count; ++k) {
        Ref held = Ref::borrow(cells[k] != nullptr ? cells[k] : Py_None);
        CATENC_ASSIGN_OR_RETURN(DictionaryEntry entry, interpreter_entry(held.get()));
        entries_[c].push_back(std::move(entry));
      }
      PyResult<std::unique_ptr<ColumnWork>> work = bind(c);
      if (!work) return std::move(work).pass();
      works_[c] = std::move(work).value();
      return {};
    }
    const ArraySlot* slot = slot_of(column);
    if (slot == nullptr)
      return stop_reading(Error::internal("a column without cells was read through item access"));
    PyResult<ColumnCells> cells =
        slot->column >= 0
            ? ColumnCells::of_table(slot->array.clone(), plan_.rows, plan_.columns.size(),
                                    static_cast<size_t>(slot->column))
            : ColumnCells::of_column(slot->array.clone(), plan_.rows);
    if (!cells) return Unexpected<Error>{std::move(cells).error()};
    InterpreterReader reader(table_, c, rule(c));
    CATENC_ASSIGN_OR_RETURN(std::optional<PackedLabels> labels, reader.read(cells.value()));
    if (labels) {
      works_[c] = packed_labels_work(std::move(*labels), reader.leading_numbers());
      works_[c]->set_vocabulary(vocabulary(c));
    }
    return {};
  }

  LabelRule rule(size_t c) const noexcept {
    return rules_.empty() ? LabelRule::automatic : rules_[c];
  }
  const VocabularyIndex* vocabulary(size_t c) const noexcept {
    return vocabularies_.empty() ? nullptr : vocabularies_[c];
  }

  // The work on a column by its rule, from its memory as it is now; an error when that no longer
  // has the shape the plan saw.
  PyResult<std::unique_ptr<ColumnWork>> bind(size_t c) {
    CATENC_ASSIGN_OR_RETURN(std::unique_ptr<ColumnWork> work, bind_memory(c));
    const LabelRule by = rule(c);
    if (by != LabelRule::automatic) {
      if (!work->takes_rules()) {
        const NumberSource* numbers = work->numbers();
        if (numbers == nullptr) {
          return Unexpected<Error>{
              Error::internal("this column's storage cannot be read as part of a larger table")};
        }
        work = masked_work(*numbers);
      }
      work->set_rule(by);
    }
    work->set_vocabulary(vocabulary(c));
    return work;
  }

  PyResult<std::unique_ptr<ColumnWork>> bind_memory(size_t c) {
    const size_t rows = plan_.rows;
    using Work = PyResult<std::unique_ptr<ColumnWork>>;
    return std::visit(
        Overloaded{
            [&](const PlannedNumbers& column) -> Work {
              const std::optional<ColumnMemory> memory = column.slot.memory(rows);
              if (!memory) return changed_while_read();
              return number_work(
                  NumberSource{memory->data, memory->stride, rows, column.type, {}, 0});
            },
            [&](const PlannedObjects& column) -> Work {
              const std::optional<ColumnMemory> memory = column.slot.memory(rows);
              if (!memory) return changed_while_read();
              return plain_objects_work(
                  ObjectSlots{memory->data, memory->stride, rows, plan_.na.get()});
            },
            [&](const PlannedDates& column) -> Work {
              const std::optional<ColumnMemory> memory = column.slot.memory(rows);
              if (!memory) return changed_while_read();
              return date_work(
                  DateSource{memory->data, memory->stride, rows, column.unit, column.duration});
            },
            [&](const PlannedMasked& column) -> Work {
              const std::optional<ColumnMemory> memory = column.values.memory(rows);
              const std::optional<ColumnMemory> mask = column.mask.memory(rows);
              if (!memory || !mask) return changed_while_read();
              NumberSource source{memory->data, memory->stride, rows, column.type, {}, 0};
              source.missing.kind = MissingRows::Kind::bytes;
              source.missing.data = reinterpret_cast<const uint8_t*>(mask->data);
              source.missing.byte_stride = mask->stride;
              return masked_work(source);
            },
            [&](const PlannedCategory& column) -> Work {
              const std::optional<ColumnMemory> memory = column.codes.memory(rows);
              if (!memory) return changed_while_read();
              DictionarySource source;
              source.codes = memory->data;
              source.stride = memory->stride;
              source.rows = rows;
              source.code_size = static_cast<unsigned>(
                  PyArray_ITEMSIZE(reinterpret_cast<PyArrayObject*>(column.codes.array.get())));
              source.code_signed = true;
              source.entries = column.entry_objects
                                   ? std::span<const DictionaryEntry>(entries_[c])
                                   : std::span<const DictionaryEntry>(column.entries);
              return dictionary_work(source);
            },
            [&](const PlannedArrowText& column) -> Work { return arrow_text_work(column.source); },
            [&](const PlannedArrowNumbers& column) -> Work {
              return number_chunks_work(column.pieces);
            },
            [&](const PlannedFixedText& column) -> Work {
              const std::optional<ColumnMemory> memory = column.slot.memory(rows);
              if (!memory) return changed_while_read();
              return fixed_text_work(FixedTextSource{memory->data, memory->stride, rows,
                                                     column.itemsize, column.kind});
            },
            [&](const PlannedNumpyDates& column) -> Work {
              const std::optional<ColumnMemory> memory = column.slot.memory(rows);
              if (!memory) return changed_while_read();
              const NumpyDateSource source = source_of(column, *memory, rows);
              if (!numpy_dates_have_texts(source)) return changed_while_read();
              return numpy_date_work(source);
            },
            [&](const PlannedStringText& column) -> Work {
              const std::optional<ColumnMemory> memory = column.slot.memory(rows);
              if (!memory) return changed_while_read();
              return string_text_work(StringTextSource{memory->data, memory->stride, rows,
                                                       descr_of(column.slot.array.get()),
                                                       column.null});
            },
            [&](const PlannedItems&) -> Work { return changed_while_read(); },
        },
        plan_.columns[c]);
  }

  const TablePlan& plan_;
  Table& table_;
  std::span<const LabelRule> rules_;
  std::span<const VocabularyIndex* const> vocabularies_;
  std::vector<std::unique_ptr<ColumnWork>> works_;
  std::vector<ColumnOutcome> outcomes_;
  // Category entries converted through the interpreter, for columns whose plan left them so.
  std::vector<std::vector<DictionaryEntry>> entries_;
};

PyResult<EncodedPartition> encode_partition_of(Borrowed obj, TableKind kind,
                                               std::span<const LabelRule> rules,
                                               std::span<const VocabularyIndex* const> vocabularies,
                                               bool detached) {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  CATENC_ASSIGN_OR_RETURN(const Shape shape, read_shape(obj.get(), *n));
  if (!rules.empty() && rules.size() != shape.columns) {
    return fail(PyExc_ValueError,
                "a rule is needed for each of the " + std::to_string(shape.columns) + " columns");
  }
  CATENC_ASSIGN_OR_RETURN(ArrayTable result,
                          new_array_table(shape.rows, shape.columns,
                                          kind == TableKind::array ? Table::Layout::row_major
                                                                   : Table::Layout::column_major));
  CATENC_ASSIGN_OR_RETURN(const TablePlan plan, plan_table(obj, kind, shape.rows, shape.columns));
  TableReading reading(plan, result.table, rules, vocabularies);
  CATENC_TRY(reading.read());
  CATENC_ASSIGN_OR_RETURN(std::unique_ptr<EncodingInfo> info, reading.finish(detached));
  std::vector<bool> leading(shape.columns);
  for (size_t c = 0; c < shape.columns; ++c) leading[c] = reading.leading_numbers(c);
  return EncodedPartition{EncodedTable{std::move(result), std::move(info)}, std::move(leading)};
}

}  // namespace

PyResult<EncodedTable> encode_object_array(Borrowed obj, TableKind kind) {
  CATENC_ASSIGN_OR_RETURN(EncodedPartition encoded, encode_partition_of(obj, kind, {}, {}, false));
  return std::move(encoded.encoded);
}

PyResult<EncodedPartition> encode_partition(Borrowed frame, std::span<const LabelRule> rules,
                                            std::span<const VocabularyIndex* const> vocabularies) {
  // A partition is read on a Dask worker, whose other threads must not wait for the pool.
  return encode_partition_of(frame, TableKind::data_frame, rules, vocabularies, true);
}

}  // namespace catenc::py
