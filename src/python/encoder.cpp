#include "encoder.hpp"

#include <array>
#include <new>

#include "args.hpp"
#include "build_output.hpp"
#include "dask_frames.hpp"
#include "frame.hpp"
#include "holds.hpp"
#include "once.hpp"
#include "read_table.hpp"
#include "str_text.hpp"

namespace catenc::py {

namespace {

constexpr Parameter constructor_parameters[] = {{"encoding", &Names::encoding}};
constexpr Parameter method_parameters[] = {{"obj", &Names::obj}};

constexpr FunctionDescription constructor_description{"Encoder", "__new__", constructor_parameters,
                                                      0};
constexpr FunctionDescription encode_description{"Encoder", "encode", method_parameters, 1};
constexpr FunctionDescription decode_description{"Encoder", "decode", method_parameters, 1};

EncoderObject* as_encoder(PyObject* self) {
  return reinterpret_cast<EncoderObject*>(self);
}

// Label encoding is the only strategy; it is checked here and not stored.
PyStatus check_strategy(Borrowed encoding) {
  if (!encoding || encoding.get() == Py_None) return {};
  if (!PyUnicode_Check(encoding.get())) {
    return Unexpected<Error>{
        with_parameter_note(not_an_instance(encoding.get(), "str"), "encoding")};
  }
  PyResult<std::string_view> text = utf8_view(encoding.get());
  if (!text) return Unexpected<Error>{with_parameter_note(std::move(text).error(), "encoding")};
  if (text.value() != "label") {
    return fail(PyExc_ValueError,
                std::string(text.value()) + " is not a supported encoding strategy for strings!");
  }
  return {};
}

PyResult<Ref> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::array<Borrowed, 1> slots;
  CATENC_TRY(parse_tuple_dict(constructor_description, args, kwargs, slots));
  CATENC_TRY(check_strategy(slots[0]));
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return fetched();
  EncoderObject* encoder = as_encoder(self.get());
  new (&encoder->learned) std::unique_ptr<Learned>();
  new (&encoder->holds) std::atomic<uint32_t>(0);
  return self;
}

PyResult<Ref> encode(EncoderObject* self, Borrowed obj) {
  CATENC_ASSIGN_OR_RETURN(ExclusiveHold hold, ExclusiveHold::take(self->holds));
  CATENC_ASSIGN_OR_RETURN(const bool dask, is_dask_frame(obj));
  if (dask) {
    CATENC_ASSIGN_OR_RETURN(DaskEncoding encoded, encode_dask(obj));
    self->learned = std::make_unique<Learned>(std::move(encoded.info));
    return std::move(encoded.result);
  }
  CATENC_ASSIGN_OR_RETURN(Conversion conversion, pyany_to_vec(obj));
  // Stored before the output is built, and also when nothing was learned (a float64 array):
  // the instance then forgets its maps.
  self->learned = conversion.info ? std::make_unique<Learned>(std::move(conversion.info)) : nullptr;
  return arr_to_out(std::move(conversion.table), std::move(conversion.out), nullptr);
}

PyResult<Ref> decode(EncoderObject* self, Borrowed obj) {
  CATENC_ASSIGN_OR_RETURN(SharedHold hold, SharedHold::take(self->holds));
  CATENC_ASSIGN_OR_RETURN(const bool dask, is_dask_frame(obj));
  if (dask) return decode_dask(obj, self->learned.get());
  // Labels are written into new objects, so a float64 input can be read where it lies; without
  // labels to write, the result is the table itself, which must then be a copy.
  const bool labelled = Learned::has_labels(self->learned.get());
  CATENC_ASSIGN_OR_RETURN(Conversion conversion,
                          pyany_to_vec(obj, labelled ? TableUse::read_only : TableUse::result));
  conversion.info.reset();
  return arr_to_out(std::move(conversion.table), std::move(conversion.out), self->learned.get());
}

template <const FunctionDescription& description, PyResult<Ref> (*body)(EncoderObject*, Borrowed)>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return object_frame([&]() -> PyResult<Ref> {
    std::array<Borrowed, 1> slots;
    CATENC_TRY(parse_vectorcall(description, args, PyVectorcall_NARGS(nargsf), kwnames, slots));
    return body(as_encoder(self), slots[0]);
  });
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return object_frame([&] { return construct(type, args, kwargs); });
}

void encoder_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  unraisable_frame([&] {
    EncoderObject* encoder = as_encoder(self);
    encoder->learned.~unique_ptr();
    encoder->holds.~atomic();
  });
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef encoder_methods[] = {
    {"encode",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(&method<encode_description, encode>)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(&method<decode_description, decode>)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

OnceCell<PyObject*> encoder_type_cell;

}  // namespace

PyResult<PyObject*> encoder_type() {
  CATENC_ASSIGN_OR_RETURN(
      PyObject* const* type, encoder_type_cell.get_or_init([]() -> PyResult<PyObject*> {
        PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(&encoder_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&encoder_dealloc)},
            {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
            {Py_tp_methods, encoder_methods},
            {0, nullptr},
        };
        // No module name is configured for the class, so it lives in
        // "builtins", as the interpreter's own types do.
        PyType_Spec spec{"builtins.Encoder", sizeof(EncoderObject), 0, Py_TPFLAGS_DEFAULT, slots};
        PyObject* made = PyType_FromSpec(&spec);
        if (made == nullptr) return fetched();
        return made;
      }));
  return *type;
}

}  // namespace catenc::py
