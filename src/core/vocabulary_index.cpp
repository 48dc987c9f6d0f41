#include "vocabulary_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace catenc {

namespace {

// Stretches of the index whose first entries are kept, for fetch_stretch: finer than any grouping
// of a column's rows by hash.
constexpr size_t max_stretches = 4096;

// The code of each position of the vocabulary: the markers take none and do not advance the count.
BigVector<double> codes_by_position(const LabelSpan& vocabulary) {
  BigVector<double> codes(vocabulary.size());
  uint64_t next = 0;
  for (size_t p = 0; p < vocabulary.size(); ++p) {
    codes[p] = is_missing_marker(vocabulary.at(p)) ? missing_code() : static_cast<double>(next++);
  }
  return codes;
}

}  // namespace

Outcome<VocabularyIndex> VocabularyIndex::build(const LabelSpan& vocabulary) try {
  VocabularyIndex index(label_hash_key());
  const size_t n = vocabulary.size();
  if (n >= UINT32_MAX) return unexpected(Failure::internal("a vocabulary of too many labels"));
  const BigVector<double> codes = codes_by_position(vocabulary);
  const size_t capacity = std::bit_ceil(std::max<size_t>(16, 2 * n));
  index.shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  // As the label sets bound theirs: ordinary labels never come near it.
  index.max_probes_ = 3 * static_cast<size_t>(std::bit_width(capacity)) + 16;

  // The labels in the order of their home slots (a counting sort), so that the entries and bytes
  // of neighbouring slots lie together.
  BigVector<uint64_t> hashes(n);
  size_t total = 0;
  for (size_t p = 0; p < n; ++p) {
    hashes[p] = index.hasher_(vocabulary.at(p));
    total += vocabulary.at(p).size();
  }
  std::vector<uint32_t> starts(capacity + 1, 0);
  for (size_t p = 0; p < n; ++p) ++starts[index.home(hashes[p]) + 1];
  for (size_t i = 0; i < capacity; ++i) starts[i + 1] += starts[i];
  const size_t stretches = std::min<size_t>(capacity, max_stretches);
  index.stretch_starts_.resize(stretches + 1);
  for (size_t k = 0; k <= stretches; ++k)
    index.stretch_starts_[k] = starts[k * (capacity / stretches)];
  BigVector<uint32_t> order(n);
  for (size_t p = 0; p < n; ++p) order[starts[index.home(hashes[p])]++] = static_cast<uint32_t>(p);
  std::vector<uint32_t>().swap(starts);

  index.bytes_.resize(total);
  index.entries_.resize(n);
  index.slots_.assign(capacity, 0);
  const size_t mask = capacity - 1;
  uint64_t offset = 0;
  for (size_t k = 0; k < n; ++k) {
    const uint32_t p = order[k];
    const Label label = vocabulary.at(p);
    if (!label.empty()) std::memcpy(index.bytes_.data() + offset, label.data(), label.size());
    index.entries_[k] = Entry{offset, label.size(), codes[p]};
    offset += label.size();
    const uint64_t hash = hashes[p];
    size_t i = index.home(hash);
    size_t probes = 1;
    while (index.slots_[i] != 0) {
      i = (i + 1) & mask;
      ++probes;
    }
    if (probes > index.max_probes_) [[unlikely]] {
      index.become_ordered(vocabulary);
      return index;
    }
    index.slots_[i] = (hash << 32) | (static_cast<uint64_t>(k) + 1);
  }
  return index;
} catch (const std::bad_alloc&) {
  return unexpected(Failure::no_memory());
}

void VocabularyIndex::become_ordered(const LabelSpan& vocabulary) {
  const BigVector<double> codes = codes_by_position(vocabulary);
  uint64_t offset = 0;
  for (size_t p = 0; p < vocabulary.size(); ++p) {
    const Label label = vocabulary.at(p);
    if (!label.empty()) std::memcpy(bytes_.data() + offset, label.data(), label.size());
    entries_[p] = Entry{offset, label.size(), codes[p]};
    offset += label.size();
  }
  slots_.clear();
  slots_.shrink_to_fit();
}

void VocabularyIndex::fetch_stretch(size_t part, size_t parts) const noexcept {
  if (slots_.empty() || parts == 0) return;
  const size_t stretches = stretch_starts_.size() - 1;
  const size_t first = part * stretches / parts;
  const size_t last = std::min(stretches, ((part + 1) * stretches + parts - 1) / parts);
  const auto fetch = [](const void* begin, const void* end) {
    constexpr uintptr_t line = 64;
    for (auto at = reinterpret_cast<uintptr_t>(begin) & ~(line - 1);
         at < reinterpret_cast<uintptr_t>(end); at += line) {
      __builtin_prefetch(reinterpret_cast<const void*>(at));
    }
  };
  const size_t per_stretch = slots_.size() / stretches;
  // A label may lie a few slots past the stretch of its home.
  const size_t slot_end = std::min(slots_.size(), last * per_stretch + 16);
  fetch(slots_.data() + first * per_stretch, slots_.data() + slot_end);
  const uint32_t entry_begin = stretch_starts_[first];
  const uint32_t entry_end = stretch_starts_[last];
  if (entry_begin == entry_end) return;
  fetch(entries_.data() + entry_begin, entries_.data() + entry_end);
  const Entry& back = entries_[entry_end - 1];
  fetch(bytes_.data() + entries_[entry_begin].offset, bytes_.data() + back.offset + back.size);
}

bool VocabularyIndex::find(Label label, uint64_t hash, double& code) const noexcept {
  if (slots_.empty()) {
    const auto at = std::lower_bound(
        entries_.begin(), entries_.end(), label,
        [&](const Entry& entry, Label wanted) { return label_of(entry) < wanted; });
    if (at == entries_.end() || label_of(*at) != label) return false;
    code = at->code;
    return true;
  }
  const uint64_t tag = hash << 32;
  const size_t mask = slots_.size() - 1;
  size_t i = home(hash);
  for (size_t probes = 0; probes < max_probes_; ++probes, i = (i + 1) & mask) {
    const uint64_t slot = slots_[i];
    if (slot == 0) return false;
    if ((slot & tag_mask) != tag) continue;
    const Entry& entry = entries_[(slot & ~tag_mask) - 1];
    if (same_label(label_of(entry), label)) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

}  // namespace catenc
