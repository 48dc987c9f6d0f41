#include "str_text.hpp"

namespace catenc::py {

PyResult<std::string_view> str_text(Ref& str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str.get(), &size)) {
    return std::string_view(data, static_cast<size_t>(size));
  }
  Error error = Error::fetch();
  if (!error.matches(PyExc_UnicodeEncodeError)) return Unexpected<Error>{std::move(error)};
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogatepass"));
  if (!bytes) return fetched();
  Ref repaired = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                 PyBytes_GET_SIZE(bytes.get()), "replace"));
  if (!repaired) return fetched();
  const char* data = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
  if (data == nullptr) return fetched();
  str = std::move(repaired);
  return std::string_view(data, static_cast<size_t>(size));
}

PyResult<std::string_view> utf8_view(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return fetched();
  return std::string_view(data, static_cast<size_t>(size));
}

std::string lossy_text(PyObject* str) {
  Ref text = Ref::borrow(str);
  PyResult<std::string_view> utf8 = str_text(text);
  if (!utf8) return "<unprintable>";  // the error is dropped: a message has nothing better
  return std::string(utf8.value());
}

}  // namespace catenc::py
