#include "learned.hpp"

#include <algorithm>
#include <cstring>

namespace catenc::py {

PyObject* new_label_str(Label label) {
  // Labels are valid UTF-8 by construction; most are ASCII, whose str is the bytes themselves.
  const auto* bytes = reinterpret_cast<const unsigned char*>(label.data());
  bool ascii = true;
  for (size_t i = 0; i < label.size() && ascii; ++i) ascii = bytes[i] < 0x80;
  if (!ascii)
    return PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), "strict");
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(label.size()), 127);
  if (str != nullptr && !label.empty())
    std::memcpy(PyUnicode_DATA(str), label.data(), label.size());
  return str;
}

Learned::Learned(std::unique_ptr<EncodingInfo> info)
    : info_(std::move(info)),
      slots_(std::make_unique<std::atomic<std::atomic<PyObject*>*>[]>(
          info_->encoded_columns().size())) {}

Learned::~Learned() {
  const std::vector<size_t>& columns = info_->encoded_columns();
  for (size_t i = 0; i < columns.size(); ++i) {
    std::atomic<PyObject*>* slots = slots_[i].load(std::memory_order_acquire);
    if (slots == nullptr) continue;
    const size_t count = info_->map_at(i).code_count();
    for (size_t code = 0; code < count; ++code)
      Py_XDECREF(slots[code].load(std::memory_order_relaxed));
    delete[] slots;
  }
}

PyResult<Learned::ColumnStrs> Learned::column_strs(size_t column) const {
  const std::optional<size_t> position = info_->position(column);
  if (!position) return Unexpected<Error>{Error::internal("no entry found for key")};
  const LabelMap* map = &info_->map_at(*position);
  std::atomic<std::atomic<PyObject*>*>& entry = slots_[*position];
  std::atomic<PyObject*>* slots = entry.load(std::memory_order_acquire);
  if (slots == nullptr) {
    // Value-initialised: every slot starts null.
    auto* made = new std::atomic<PyObject*>[map->code_count()]();
    if (entry.compare_exchange_strong(slots, made, std::memory_order_acq_rel)) {
      slots = made;
    } else {
      delete[] made;  // another decode made them first; `slots` now holds theirs
    }
  }
  return ColumnStrs(*map, slots);
}

PyResult<PyObject*> Learned::ColumnStrs::get(uint64_t code) const {
  std::atomic<PyObject*>& slot = slots_[code];
  PyObject* str = slot.load(std::memory_order_acquire);
  if (str != nullptr) return str;
  PyObject* made = new_label_str(*map_.label_of(code));
  if (made == nullptr) return fetched();
  if (slot.compare_exchange_strong(str, made, std::memory_order_acq_rel)) return made;
  Py_DECREF(made);  // another decode made it first
  return str;
}

}  // namespace catenc::py
