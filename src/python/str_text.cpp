#include "str_text.hpp"

#include <cstdint>
#include <string>

#include "utf8.hpp"

namespace catenc::py {

namespace {

// NumPy's item access of a `U` cell holding a unit above U+10FFFF makes a str of it, one that no
// valid str is: its label is written as labels of such units are everywhere, one U+FFFD each.
PyResult<bool> repair_units_past_unicode(Ref& str) {
  if (PyUnicode_KIND(str.get()) != PyUnicode_4BYTE_KIND) return false;
  const auto* units = static_cast<const uint32_t*>(PyUnicode_DATA(str.get()));
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str.get()));
  bool past = false;
  for (size_t i = 0; i < length && !past; ++i) past = units[i] > 0x10FFFF;
  if (!past) return false;
  std::string text(utf8_size_of_ucs(units, length), '\0');
  utf8_from_ucs(units, length, text.data());
  CATENC_ASSIGN_OR_RETURN(str, checked(PyUnicode_DecodeUTF8(
                                   text.data(), static_cast<Py_ssize_t>(text.size()), "strict")));
  return true;
}

}  // namespace

PyResult<std::string_view> str_text(Ref& str) {
  CATENC_ASSIGN_OR_RETURN(const bool past_unicode, repair_units_past_unicode(str));
  (void)past_unicode;  // `str` is the repaired copy then
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

PyResult<Ref> str_list(const std::vector<std::string>& texts) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return fetched();
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* text =
        PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()), "strict");
    if (text == nullptr) return fetched();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list;
}

}  // namespace catenc::py
