#include "arrow_plan.hpp"

#include <bit>
#include <string_view>
#include <utility>

#include "interpreter_reader.hpp"

namespace catenc::py {

namespace {

// The Arrow type of a field as the kernels take it.
enum class ArrowKind { numbers, text, missing, cast_to_text, duration, cast_to_float, other };

ArrowKind arrow_kind(const ArrowStream::Field& field, std::optional<NumberType>& number_type) {
  if (field.dictionary) return ArrowKind::cast_to_text;  // categories: their labels, as text
  const std::string& f = field.format;
  static constexpr std::pair<std::string_view, NumberType> numbers[] = {
      {"c", NumberType::i8},  {"s", NumberType::i16}, {"i", NumberType::i32},
      {"l", NumberType::i64}, {"C", NumberType::u8},  {"S", NumberType::u16},
      {"I", NumberType::u32}, {"L", NumberType::u64}, {"e", NumberType::f16},
      {"f", NumberType::f32}, {"g", NumberType::f64}, {"b", NumberType::bits},
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

PyResult<Ref> attribute(PyObject* target, const char* name) {
  return checked(PyObject_GetAttrString(target, name));
}

// Asks polars for the columns the kernels cannot read as they are: dates and times as the text its
// cast to String writes, durations as ISO 8601 text (it has no cast of them to String), decimals
// as floats, categories as their labels.
PyResult<Ref> cast_for_reading(PyObject* frame, const ArrowStream& stream) {
  Ref name = Ref::steal(PyUnicode_FromString("polars"));
  if (!name) return fetched();
  Ref polars = Ref::steal(PyImport_GetModule(name.get()));
  if (!polars && PyErr_Occurred()) return fetched();
  std::vector<Ref> expressions;
  for (size_t i = 0; i < stream.field_count(); ++i) {
    std::optional<NumberType> unused;
    const ArrowKind kind = arrow_kind(stream.field(i), unused);
    if (kind != ArrowKind::cast_to_text && kind != ArrowKind::duration &&
        kind != ArrowKind::cast_to_float)
      continue;
    if (!polars) {
      return fail(PyExc_TypeError,
                  "column '" + stream.field(i).name + "' needs polars to be read as text");
    }
    CATENC_ASSIGN_OR_RETURN(Ref column, checked(PyObject_CallMethod(polars.get(), "col", "s",
                                                                    stream.field(i).name.c_str())));
    Ref expression;
    if (kind == ArrowKind::duration) {
      CATENC_ASSIGN_OR_RETURN(Ref dt, attribute(column.get(), "dt"));
      CATENC_ASSIGN_OR_RETURN(expression,
                              checked(PyObject_CallMethod(dt.get(), "to_string", "s", "iso")));
    } else {
      CATENC_ASSIGN_OR_RETURN(
          Ref type,
          attribute(polars.get(), kind == ArrowKind::cast_to_float ? "Float64" : "String"));
      CATENC_ASSIGN_OR_RETURN(expression,
                              checked(PyObject_CallMethod(column.get(), "cast", "O", type.get())));
    }
    expressions.push_back(std::move(expression));
  }
  if (expressions.empty()) return Ref();
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(expressions.size())));
  if (!list) return fetched();
  for (size_t i = 0; i < expressions.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), expressions[i].release());
  }
  return checked(PyObject_CallMethod(frame, "with_columns", "O", list.get()));
}

// A cell that is always missing: an Arrow column of nulls reads it for every row.
constexpr double missing_cell = std::bit_cast<double>(missing_code_bits);

// The pieces of an Arrow number column, one per chunk, each reading its buffers in place.
PlannedArrowNumbers number_pieces(const std::vector<const ArrowArray*>& chunks, NumberType type) {
  PlannedArrowNumbers column;
  for (const ArrowArray* chunk : chunks) {
    NumberSource piece;
    piece.rows = static_cast<size_t>(chunk->length);
    piece.type = type;
    if (type == NumberType::bits) {
      piece.data = static_cast<const char*>(chunk->buffers[1]);
      piece.bit_offset = chunk->offset;
    } else {
      const auto size = static_cast<ptrdiff_t>(number_type_size(type));
      piece.data = static_cast<const char*>(chunk->buffers[1]) + chunk->offset * size;
      piece.stride = size;
    }
    if (chunk->null_count != 0 && chunk->buffers[0] != nullptr) {
      piece.missing.kind = MissingRows::Kind::bits;
      piece.missing.data = static_cast<const uint8_t*>(chunk->buffers[0]);
      piece.missing.bit_offset = chunk->offset;
    }
    column.pieces.push_back(piece);
  }
  return column;
}

}  // namespace

PyStatus plan_arrow_frame(PyObject* frame, size_t columns, TablePlan& plan) {
  CATENC_ASSIGN_OR_RETURN(ArrowStream stream, ArrowStream::open(frame));
  CATENC_ASSIGN_OR_RETURN(Ref cast, cast_for_reading(frame, stream));
  if (cast) {
    CATENC_ASSIGN_OR_RETURN(stream, ArrowStream::open(cast.get()));
  }
  if (stream.field_count() != columns || stream.length() != plan.rows) {
    return stop_reading(Error::deferred(PyExc_ValueError,
                                        "the Arrow stream of the frame does not match its shape"));
  }
  for (size_t i = 0; i < columns; ++i) {
    std::optional<NumberType> number_type;
    const ArrowStream::Field& field = stream.field(i);
    switch (arrow_kind(field, number_type)) {
      case ArrowKind::numbers:
        plan.columns.emplace_back(number_pieces(stream.field_chunks(i), *number_type));
        break;
      case ArrowKind::missing: {
        PlannedArrowNumbers nulls;
        nulls.pieces.push_back(NumberSource{
            reinterpret_cast<const char*>(&missing_cell), 0, plan.rows, NumberType::f64, {}, 0});
        plan.columns.emplace_back(std::move(nulls));
        break;
      }
      case ArrowKind::text: {
        // A text column holds labels whatever its cells; a null is missing.
        PlannedArrowText text;
        text.source.format = field.format;
        text.source.chunks = stream.field_chunks(i);
        text.source.rows = plan.rows;
        text.source.null_is_number = false;
        text.source.null_text = "<NA>";
        plan.columns.emplace_back(std::move(text));
        break;
      }
      default:
        return fail(PyExc_TypeError,
                    "cannot encode column '" + field.name + "' of Arrow type '" + field.format +
                        "': only numbers, booleans, text, categories, dates, times and "
                        "durations are");
    }
  }
  // Every column's chunks belong to the one stream.
  plan.streams.push_back(std::move(stream));
  return {};
}

}  // namespace catenc::py
