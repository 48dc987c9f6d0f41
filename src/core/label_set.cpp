#include "label_set.hpp"

#include <algorithm>

#include "utf8.hpp"

namespace catenc {

LabelSpan::LabelSpan(std::span<const char> bytes, std::span<const int64_t> offsets) noexcept
    : bytes_(bytes), offsets_(offsets) {
  for (const Label marker : {Label("<NA>"), Label("NaN"), Label("nan")}) {
    size_t lo = 0;
    size_t hi = size();
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (at(mid) < marker) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo < size() && at(lo) == marker) markers_.push_back(lo);
  }
  // "<NA>" < "NaN" < "nan" byte-wise, so the positions are ascending already.
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

bool LabelSpan::find(Label label, std::optional<uint64_t>& code) const noexcept {
  size_t lo = 0;
  size_t hi = size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    const Label here = at(mid);
    if (here < label) {
      lo = mid + 1;
    } else if (label < here) {
      hi = mid;
    } else {
      if (is_missing_marker(here)) {
        code.reset();
      } else {
        const auto before = static_cast<size_t>(
            std::lower_bound(markers_.begin(), markers_.end(), mid) - markers_.begin());
        code = static_cast<uint64_t>(mid - before);
      }
      return true;
    }
  }
  return false;
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

LabelSetBuffers label_set_union(const LabelSpan& a, const LabelSpan& b) {
  LabelSetBuffers set;
  set.offsets.reserve(a.size() + b.size() + 1);
  set.offsets.push_back(0);
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() || j < b.size()) {
    if (j == b.size() || (i < a.size() && a.at(i) < b.at(j))) {
      append(set, a.at(i++));
    } else if (i == a.size() || b.at(j) < a.at(i)) {
      append(set, b.at(j++));
    } else {
      append(set, a.at(i++));
      ++j;
    }
  }
  return set;
}

}  // namespace catenc
