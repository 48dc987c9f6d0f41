// Argument parsing for the module's callables: positional-or-keyword parameters only, the first
// `required` of them required, no *args and no **kwargs. Messages follow the interpreter's own.
#pragma once

#include <span>
#include <string>

#include "error.hpp"
#include "names.hpp"

namespace catenc::py {

struct Parameter {
  const char* name;
  PyObject* Names::* interned;
};

struct FunctionDescription {
  const char* class_name;
  const char* function_name;
  std::span<const Parameter> parameters;
  size_t required;

  // "Encoder.encode()"
  std::string full_name() const;
};

// The vector-call form: `nargs` positional values in `args`, followed by the values of the
// keywords named in the tuple `kwnames` (or null). `slots` gets one entry per parameter, null when
// not given.
PyStatus parse_vectorcall(const FunctionDescription& description, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, std::span<Borrowed> slots);

// The tuple-plus-dict form (the constructor's).
PyStatus parse_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                          std::span<Borrowed> slots);

// Adds "while processing '<parameter>'" to the exception of a failed conversion. If the note
// cannot be added, that second failure is dropped and the first error goes on without it.
Error with_parameter_note(Error error, const char* parameter);

}  // namespace catenc::py
