#include "label_set.hpp"

#include <algorithm>

#include "utf8.hpp"

namespace catenc {

LabelSpan::LabelSpan(std::span<const char> bytes, std::span<const int64_t> offsets) noexcept
    : bytes_(bytes), offsets_(offsets) {
  // "<NA>" < "NaN" < "nan" byte-wise: the positions come ascending.
  for (const Label marker : {Label("<NA>"), Label("NaN"), Label("nan")}) {
    const size_t at_or_after = position_from(marker, 0);
    if (at_or_after < size() && at(at_or_after) == marker) markers_.push_back(at_or_after);
  }
}

bool LabelSpan::valid(std::span<const char> bytes, std::span<const int64_t> offsets) noexcept {
  if (offsets.empty()) return bytes.empty();
  if (offsets.front() != 0 || offsets.back() != static_cast<int64_t>(bytes.size())) return false;
  Label previous;
  for (size_t i = 0; i + 1 < offsets.size(); ++i) {
    if (offsets[i + 1] < offsets[i]) return false;
    const Label label(bytes.data() + offsets[i], static_cast<size_t>(offsets[i + 1] - offsets[i]));
    if (i > 0 && !(previous < label)) return false;
    if (!is_valid_utf8(label.data(), label.size())) return false;
    previous = label;
  }
  return true;
}

size_t LabelSpan::position_from(Label label, size_t from) const noexcept {
  // Gallop: the first of from, from + 1, from + 3, from + 7, ... not below the label bounds it.
  size_t lo = from;
  size_t step = 1;
  size_t hi = lo;
  while (hi < size() && at(hi) < label) {
    lo = hi + 1;
    hi = lo + step;
    step *= 2;
  }
  hi = std::min(hi, size());
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (at(mid) < label) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

bool LabelSpan::find(Label label, std::optional<uint64_t>& code) const noexcept {
  size_t from = 0;
  return find_from(label, from, code);
}

bool LabelSpan::find_from(Label label, size_t& from, std::optional<uint64_t>& code) const noexcept {
  const size_t position = position_from(label, from);
  from = position;
  if (position == size() || at(position) != label) return false;
  ++from;
  if (is_missing_marker(label)) {
    code.reset();
  } else {
    const auto before = static_cast<size_t>(
        std::lower_bound(markers_.begin(), markers_.end(), position) - markers_.begin());
    code = static_cast<uint64_t>(position - before);
  }
  return true;
}

Label LabelSpan::label_of(uint64_t code) const noexcept {
  auto position = static_cast<size_t>(code);
  for (size_t marker : markers_) {
    if (marker <= position) ++position;
  }
  return at(position);
}

namespace {

void append(LabelSetBuffers& set, Label label) {
  set.bytes.append(label.data(), label.size());
  set.offsets.push_back(static_cast<int64_t>(set.bytes.size()));
}

}  // namespace

LabelSetBuffers label_set_of(const LabelMap& map) {
  LabelSetBuffers set;
  set.offsets.reserve(map.size() + 1);
  set.offsets.push_back(0);
  for (size_t i = 0; i < map.size(); ++i) append(set, map.entry(i).label);
  return set;
}

LabelSetBuffers label_set_union(std::span<const LabelSpan> sets) {
  LabelSetBuffers set;
  size_t total = 0;
  for (const LabelSpan& one : sets) total += one.size();
  set.offsets.reserve(total + 1);
  set.offsets.push_back(0);
  // The next label of each set, smallest on top: each label is taken once, however many sets
  // hold it.
  struct Head {
    Label label;
    size_t set;
    size_t position;
  };
  const auto later = [](const Head& a, const Head& b) { return b.label < a.label; };
  std::vector<Head> heads;
  for (size_t k = 0; k < sets.size(); ++k) {
    if (sets[k].size() > 0) heads.push_back(Head{sets[k].at(0), k, 0});
  }
  std::make_heap(heads.begin(), heads.end(), later);
  bool any = false;
  Label last;
  while (!heads.empty()) {
    std::pop_heap(heads.begin(), heads.end(), later);
    Head& head = heads.back();
    if (!any || last != head.label) append(set, head.label);
    any = true;
    last = head.label;
    if (++head.position < sets[head.set].size()) {
      head.label = sets[head.set].at(head.position);
      std::push_heap(heads.begin(), heads.end(), later);
    } else {
      heads.pop_back();
    }
  }
  return set;
}

}  // namespace catenc
