#include "label_set.hpp"

#include <algorithm>
#include <bit>

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

bool LabelSpan::valid_layout(std::span<const char> bytes,
                             std::span<const int64_t> offsets) noexcept {
  if (offsets.empty()) return bytes.empty();
  if (offsets.front() != 0 || offsets.back() != static_cast<int64_t>(bytes.size())) return false;
  for (size_t i = 0; i + 1 < offsets.size(); ++i) {
    if (offsets[i + 1] < offsets[i]) return false;
  }
  return true;
}

bool LabelSpan::valid(std::span<const char> bytes, std::span<const int64_t> offsets) noexcept {
  if (!valid_layout(bytes, offsets)) return false;
  Label previous;
  for (size_t i = 0; i + 1 < offsets.size(); ++i) {
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

LabelSetBuffers label_set_union(std::span<const LabelSpan> sets) {
  LabelSetBuffers set;
  size_t labels = 0;
  size_t bytes = 0;
  for (const LabelSpan& one : sets) {
    labels += one.size();
    if (one.size() > 0) {
      const Label last = one.at(one.size() - 1);
      bytes += static_cast<size_t>(last.data() + last.size() - one.at(0).data());
    }
  }
  set.offsets.reserve(labels + 1);
  set.offsets.push_back(0);
  set.bytes.reserve(bytes);
  if (sets.empty()) return set;

  // A tournament of losers over the sets' next labels: each label taken costs one comparison per
  // level, mostly of the prefixes alone. An exhausted set loses to every other.
  struct Head {
    uint64_t prefix;
    Label label;
    size_t position;
    bool done;
  };
  const size_t leaves = std::bit_ceil(sets.size());
  std::vector<Head> heads(leaves, Head{0, Label(), 0, true});
  const auto load = [&](size_t k) {
    Head& head = heads[k];
    head.done = head.position >= sets[k].size();
    if (head.done) return;
    head.label = sets[k].at(head.position);
    head.prefix = label_prefix(head.label);
  };
  for (size_t k = 0; k < sets.size(); ++k) load(k);
  const auto before = [&](size_t a, size_t b) {
    const Head& x = heads[a];
    const Head& y = heads[b];
    if (x.done || y.done) return !x.done;
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    return x.label < y.label;
  };
  // loser[node] for the inner nodes 1 .. leaves - 1; the winner climbs out of node 1.
  std::vector<size_t> loser(leaves, 0);
  std::vector<size_t> winner(2 * leaves);
  for (size_t k = 0; k < leaves; ++k) winner[leaves + k] = k;
  for (size_t node = leaves - 1; node >= 1; --node) {
    const size_t a = winner[2 * node];
    const size_t b = winner[2 * node + 1];
    winner[node] = before(b, a) ? b : a;
    loser[node] = before(b, a) ? a : b;
  }
  size_t top = winner[1];
  bool any = false;
  uint64_t last_prefix = 0;
  Label last;
  while (!heads[top].done) {
    const Head& head = heads[top];
    if (!any || head.prefix != last_prefix || head.label != last) {
      set.bytes.append(head.label.data(), head.label.size());
      set.offsets.push_back(static_cast<int64_t>(set.bytes.size()));
      any = true;
      last_prefix = head.prefix;
      last = head.label;
    }
    ++heads[top].position;
    load(top);
    for (size_t node = (leaves + top) / 2; node >= 1; node /= 2) {
      if (before(loser[node], top)) std::swap(loser[node], top);
    }
  }
  return set;
}

}  // namespace catenc
