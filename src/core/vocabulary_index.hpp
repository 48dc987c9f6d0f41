// The labels of a whole table's column, found by hash: how one part of a larger table (a
// partition) writes the codes of the whole table without sorting its own labels. Sorting is what
// costs most in encoding a column of many distinct labels; a part that knows the vocabulary only
// has to look each of its distinct labels up.
//
// Slots are chosen by the top bits of the process's keyed label hash, the bits by which a column
// of many labels groups its rows (label_encode), so that one group's lookups stay in one stretch
// of the table; each label's bytes lie beside its neighbours' in slot order. As the label sets,
// the table cannot be flooded: should a probe run grow long all the same, the index gives up
// hashing and searches the labels in order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "big_vector.hpp"
#include "label.hpp"
#include "label_hash.hpp"
#include "label_set.hpp"
#include "result.hpp"

namespace catenc {

class VocabularyIndex {
 public:
  // `vocabulary` is a column's labels, ascending, with their codes as LabelSpan gives them.
  static Outcome<VocabularyIndex> build(const LabelSpan& vocabulary);

  // The code of `label` as a table cell holds it (the missing NaN for a marker); false when the
  // vocabulary lacks the label.
  bool find(Label label, double& code) const noexcept { return find(label, hasher_(label), code); }
  // The same, given the label's hash by hasher().
  bool find(Label label, uint64_t hash, double& code) const noexcept;

  // The hash by which the index places labels: the process's keyed label hash.
  const LabelHasher& hasher() const noexcept { return hasher_; }
  // Fetches into the cache the stretch of the index that holds the labels whose hash lies in the
  // part-th of `parts` equal ranges of the top bits (parts a power of two): the lookups of a run
  // of such labels then hit the cache.
  void fetch_stretch(size_t part, size_t parts) const noexcept;

  size_t size() const noexcept { return entries_.size(); }
  // Whether the index has given up hashing (for tests).
  bool is_ordered() const noexcept { return slots_.empty() && !entries_.empty(); }

 private:
  struct Entry {
    uint64_t offset;  // of its bytes in bytes_
    uint64_t size;
    double code;
  };

  explicit VocabularyIndex(const LabelHashKey& key) : hasher_(key) {}

  Label label_of(const Entry& entry) const noexcept {
    return Label(bytes_.data() + entry.offset, entry.size);
  }
  size_t home(uint64_t hash) const noexcept { return static_cast<size_t>(hash >> shift_); }
  // Puts the entries in the order of the labels, which find then searches.
  void become_ordered(const LabelSpan& vocabulary);

  static constexpr uint64_t tag_mask = 0xFFFFFFFF00000000ULL;

  LabelHasher hasher_;
  // Slot: the low 32 bits of the label's hash, above its entry's index plus one (0: empty).
  BigVector<uint64_t> slots_;
  unsigned shift_ = 64;
  // A label lies at most this many slots past its home: a lookup looks no further.
  size_t max_probes_ = 0;
  BigVector<Entry> entries_;
  UnwrittenVector<char> bytes_;
  // stretch_starts_[k]: the first entry whose home slot lies in the k-th of equal stretches of
  // the slots or after it (entries, and their bytes, lie in the order of their home slots).
  std::vector<uint32_t> stretch_starts_;
};

}  // namespace catenc
