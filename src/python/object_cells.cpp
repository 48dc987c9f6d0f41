#include "object_cells.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <span>

#include "float_text.hpp"
#include "label.hpp"
#include "label_encode.hpp"
#include "pool.hpp"
#include "row_labels.hpp"
#include "utf8.hpp"

namespace catenc::py {

namespace {

constexpr size_t rows_per_task = 1 << 15;

enum class Kind : uint8_t { str, number_float, number_int, number_bool, none, na, foreign };

// Ints that fit one digit of CPython's representation: their value is a field, and float() of
// them is exact. Larger ones go to the interpreter.
bool small_int_value(PyObject* object, int64_t& value) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  auto* number = reinterpret_cast<PyLongObject*>(object);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  value = static_cast<int64_t>(PyUnstable_Long_CompactValue(number));
  return true;
#else
  const Py_ssize_t size = Py_SIZE(object);
  if (size < -1 || size > 1) return false;
  value = static_cast<int64_t>(size) *
          static_cast<int64_t>(reinterpret_cast<PyLongObject*>(object)->ob_digit[0]);
  return true;
#endif
}

Kind kind_of(PyObject* object, PyObject* na) noexcept {
  if (object == nullptr || object == Py_None) return Kind::none;  // NumPy reads a null slot as None
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyUnicode_Type) {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(object)) return Kind::foreign;
#endif
    return Kind::str;
  }
  if (type == &PyFloat_Type) return Kind::number_float;
  if (type == &PyBool_Type) return Kind::number_bool;
  if (type == &PyLong_Type) {
    int64_t value;
    return small_int_value(object, value) ? Kind::number_int : Kind::foreign;
  }
  if (object == na) return Kind::na;
  return Kind::foreign;
}

bool is_number(Kind kind) noexcept {
  return kind == Kind::number_float || kind == Kind::number_int || kind == Kind::number_bool;
}

double number_of(PyObject* object, Kind kind) noexcept {
  if (kind == Kind::number_float) return PyFloat_AS_DOUBLE(object);
  if (kind == Kind::number_bool) return object == Py_True ? 1.0 : 0.0;
  int64_t value = 0;
  small_int_value(object, value);
  return static_cast<double>(value);
}

template <class Unit>
Label utf8_of(const Unit* units, size_t length, Arena& arena) {
  const size_t size = utf8_size_of_ucs(units, length);
  char* out = arena.allocate(size);
  utf8_from_ucs(units, length, out);
  return Label(out, size);
}

// The UTF-8 text of a str: its own bytes when it is ASCII, else written into the arena.
Label str_label(PyObject* str, Arena& arena) {
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
  const void* data = PyUnicode_DATA(str);
  if (PyUnicode_IS_ASCII(str)) return Label(static_cast<const char*>(data), length);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      return utf8_of(static_cast<const uint8_t*>(data), length, arena);
    case PyUnicode_2BYTE_KIND:
      return utf8_of(static_cast<const uint16_t*>(data), length, arena);
    default:
      return utf8_of(static_cast<const uint32_t*>(data), length, arena);
  }
}

constexpr Label none_text = "None";
constexpr Label na_text = "<NA>";
constexpr Label true_text = "True";
constexpr Label false_text = "False";

// str() of a number: repr of a float, the digits of an int, True or False.
Label str_of_number(PyObject* object, Kind kind, Arena& arena) {
  if (kind == Kind::number_bool) return object == Py_True ? true_text : false_text;
  char buffer[float_repr_capacity];
  size_t length;
  if (kind == Kind::number_float) {
    length = write_float_repr(PyFloat_AS_DOUBLE(object), buffer);
  } else {
    int64_t value = 0;
    small_int_value(object, value);
    length = write_int_text(value, buffer);
  }
  return arena.copy(std::string_view(buffer, length));
}

class PlainObjectsWork final : public ColumnWork {
 public:
  explicit PlainObjectsWork(const ObjectSlots& slots) : slots_(slots) {}

  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    const size_t rows = slots_.rows;
    std::atomic<size_t> first_label{rows};
    CATENC_TRY(pool::for_range(rows, rows_per_task, [&](size_t lo, size_t hi) -> Status {
      for (size_t r = lo; r < hi && r < first_label.load(std::memory_order_relaxed); ++r) {
        if (is_number(kind_of(slots_.at(r), slots_.na))) continue;
        size_t seen = first_label.load(std::memory_order_relaxed);
        while (r < seen && !first_label.compare_exchange_weak(seen, r, std::memory_order_relaxed)) {
        }
        break;
      }
      return {};
    }));
    const std::optional<size_t> split = split_at(first_label.load(), rows);
    if (!split) {
      CATENC_TRY(pool::for_range(rows, rows_per_task, [&](size_t lo, size_t hi) -> Status {
        for (size_t r = lo; r < hi; ++r) {
          PyObject* object = slots_.at(r);
          out[r * stride] = number_of(object, kind_of(object, slots_.na));
        }
        return {};
      }));
      return std::optional<LabelMap>();
    }
    if (repeats_its_objects()) return encode_by_object(out, stride);
    const size_t first = *split;
    RowLabels labels(rows);
    std::mutex arenas_mutex;
    CATENC_TRY(pool::for_range(rows, rows_per_task, [&](size_t lo, size_t hi) -> Status {
      auto arena = std::make_unique<Arena>();
      for (size_t r = lo; r < hi; ++r) {
        if (r + 8 < hi) __builtin_prefetch(slots_.at(r + 8));
        PyObject* object = slots_.at(r);
        const Kind kind = kind_of(object, slots_.na);
        Label label;
        switch (kind) {
          case Kind::str:
            label = str_label(object, *arena);
            break;
          case Kind::none:
            label = none_text;
            break;
          case Kind::na:
            label = na_text;
            break;
          default:
            if (r < first) {
              char buffer[float_text_capacity];
              label = arena->copy(
                  std::string_view(buffer, write_float_text(number_of(object, kind), buffer)));
            } else {
              label = str_of_number(object, kind, *arena);
            }
        }
        labels.labels[r] = label;
      }
      std::lock_guard guard(arenas_mutex);
      labels.arenas.push_back(std::move(arena));
      return {};
    }));
    CATENC_ASSIGN_OR_RETURN(LabelMap map, label_encode_into(std::span<const Label>(labels.labels),
                                                            out, stride, vocabulary_));
    return std::optional<LabelMap>(std::move(map));
  }

 private:
  // Columns of labels that repeat mostly repeat the same objects: pandas' readers make one str per
  // distinct text of a chunk, pickles and interning share them too. A sample tells.
  bool repeats_its_objects() const {
    constexpr size_t samples = 1024;
    if (slots_.rows < 4 * samples) return false;
    std::vector<PyObject*> seen(samples);
    for (size_t i = 0; i < samples; ++i) seen[i] = slots_.at(i * slots_.rows / samples);
    std::sort(seen.begin(), seen.end());
    const auto distinct = static_cast<size_t>(std::unique(seen.begin(), seen.end()) - seen.begin());
    return distinct * 2 <= samples;
  }

  // Each distinct object is read once: rows are deduplicated by the object they hold, every such
  // object's cell converted, and the rows take its code.
  Outcome<std::optional<LabelMap>> encode_by_object(double* out, size_t stride) {
    const auto object_at = [this](size_t row) {
      return reinterpret_cast<uint64_t>(slots_.at(row));
    };
    CATENC_ASSIGN_OR_RETURN(const std::vector<uint64_t> objects,
                            distinct_keys(slots_.rows, object_at, out, stride));
    DictionarySource source = indices_in_cells(out, stride, slots_.rows);
    source.every_code_used = true;
    std::vector<DictionaryEntry> entries(objects.size() + 1);
    for (size_t k = 0; k < objects.size(); ++k) {
      // Every cell of this column is plain: the first scan found no other.
      plain_entry(reinterpret_cast<PyObject*>(objects[k]), slots_.na, entries[k + 1]);
    }
    source.entries = entries;
    source.rule = rule_;
    source.vocabulary = vocabulary_;
    return encode_dictionary(source, out, stride, &leading_numbers_);
  }

  ObjectSlots slots_;
};

}  // namespace

size_t first_foreign_cell(const ObjectSlots& slots) noexcept {
  for (size_t r = 0; r < slots.rows; ++r) {
    if (kind_of(slots.at(r), slots.na) == Kind::foreign) return r;
  }
  return slots.rows;
}

bool plain_entry(PyObject* cell, PyObject* na, DictionaryEntry& entry) {
  const Kind kind = kind_of(cell, na);
  Arena arena;
  switch (kind) {
    case Kind::foreign:
      return false;
    case Kind::str:
      entry.text = str_label(cell, arena);
      break;
    case Kind::none:
      entry.text = none_text;
      break;
    case Kind::na:
      entry.text = na_text;
      break;
    default:
      entry.is_number = true;
      entry.number = number_of(cell, kind);
      entry.text = str_of_number(cell, kind, arena);
  }
  return true;
}

std::unique_ptr<ColumnWork> plain_objects_work(const ObjectSlots& slots) {
  return std::make_unique<PlainObjectsWork>(slots);
}

}  // namespace catenc::py
