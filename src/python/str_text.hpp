// The UTF-8 text of a Python str as labels and column names use it: lone surrogates, which have
// no UTF-8 form, are passed through and the bytes decoded again with replacement, so that each
// invalid sequence becomes U+FFFD, as Python's own "replace" handler does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace catenc::py {

// The text of the str `str`; when it held lone surrogates, `str` is replaced by the repaired copy
// whose buffer the view points into. The view is valid while `str` lives.
PyResult<std::string_view> str_text(Ref& str);

// The UTF-8 text of a str as it is. Lone surrogates fail with the interpreter's
// UnicodeEncodeError.
PyResult<std::string_view> utf8_view(PyObject* str);

// A new list of str of the texts, each UTF-8.
PyResult<Ref> str_list(const std::vector<std::string>& texts);

// Text of a str for messages, which cannot fail: lone surrogates become U+FFFD, as in labels.
std::string lossy_text(PyObject* str);

}  // namespace catenc::py
