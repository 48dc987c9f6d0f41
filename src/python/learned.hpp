// What an Encoder keeps from its last encode: the record it learned, and the Python strs of its
// labels that decode has made so far. Every later decode shares those strs instead of making its
// own, as a list of labels kept for decoding would.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "encoding_info.hpp"
#include "error.hpp"

namespace catenc::py {

class Learned {
 public:
  explicit Learned(std::unique_ptr<EncodingInfo> info);
  // Releases the strs: runs where an Encoder replaces or drops its record, attached to the
  // interpreter.
  ~Learned();
  Learned(const Learned&) = delete;
  Learned& operator=(const Learned&) = delete;

  const EncodingInfo& info() const noexcept { return *info_; }
  // Whether any column was label-encoded: only then has decode labels to write. An encoder
  // that has learned nothing has no labels either.
  static bool has_labels(const Learned* learned) noexcept {
    return learned != nullptr && !learned->info_->encoded_columns().empty();
  }

  // The strs of one encoded column, by code. Several decodes may use them at once.
  class ColumnStrs {
   public:
    // A borrowed reference to the str of `code`'s label, made on first need.
    PyResult<PyObject*> get(uint64_t code) const;
    // The same when it has been made already, else null.
    PyObject* made(uint64_t code) const noexcept {
      return slots_[code].load(std::memory_order_acquire);
    }
    const LabelMap& map() const noexcept { return map_; }

   private:
    friend class Learned;
    ColumnStrs(const LabelMap& map, std::atomic<PyObject*>* slots) : map_(map), slots_(slots) {}
    const LabelMap& map_;
    std::atomic<PyObject*>* slots_;
  };

  // The strs of encoded column `column`, or an internal failure if the record has no such
  // column.
  PyResult<ColumnStrs> column_strs(size_t column) const;

 private:
  using Slots = std::unique_ptr<std::atomic<PyObject*>[]>;

  std::unique_ptr<EncodingInfo> info_;
  // One entry per encoded column, in the order of encoded_columns(); each array is made by the
  // first decode that needs it.
  std::unique_ptr<std::atomic<std::atomic<PyObject*>*>[]> slots_;
};

// A new str of a label's text.
PyObject* new_label_str(Label label);

}  // namespace catenc::py
