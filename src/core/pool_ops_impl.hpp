// The templates declared in pool_ops.hpp; include that header, not this one.
//
// Each operation shares its input among pool tasks with for_range (or join, for the sort) and
// gathers the results so that their order depends on the input alone. A failure in one piece
// stops that piece; the others run to completion, and the operation returns the failure.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <functional>
#include <iterator>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pool.hpp"
#include "result.hpp"

namespace catenc::pool {

namespace detail {

// What a per-item call yields: a plain value, or the value inside an Outcome (void for Status).
template <class R>
struct ItemResult {
  static constexpr bool is_outcome = false;
  using value_type = R;
};
template <class T>
struct ItemResult<Result<T, Failure>> {
  static constexpr bool is_outcome = true;
  using value_type = T;
};

template <class F, class... Args>
using item_value_t =
    typename ItemResult<std::remove_cvref_t<std::invoke_result_t<F&, Args...>>>::value_type;

// Calls f(args...) and hands the value it yields, if any, to `sink`.
template <class F, class Sink, class... Args>
Status call_item(F& f, Sink&& sink, Args&&... args) {
  using R = std::invoke_result_t<F&, Args...>;
  using Traits = ItemResult<std::remove_cvref_t<R>>;
  if constexpr (Traits::is_outcome) {
    std::remove_cvref_t<R> result = std::invoke(f, std::forward<Args>(args)...);
    if (!result) return std::move(result).pass();
    if constexpr (!std::is_void_v<typename Traits::value_type>) sink(std::move(result).value());
  } else if constexpr (std::is_void_v<R>) {
    std::invoke(f, std::forward<Args>(args)...);
  } else {
    sink(std::invoke(f, std::forward<Args>(args)...));
  }
  return {};
}

// The results of map_collect while pieces fill them in from several threads.
template <class R>
class Slots {
 public:
  explicit Slots(size_t n) : cells_(n) {}

  template <class V>
  void set(size_t i, V&& value) {
    if constexpr (std::is_same_v<Cell, R>) {
      cells_[i] = std::forward<V>(value);
    } else if constexpr (std::is_same_v<R, bool>) {
      cells_[i] = value ? 1 : 0;
    } else {
      cells_[i].emplace(std::forward<V>(value));
    }
  }

  std::vector<R> take() && {
    if constexpr (std::is_same_v<Cell, R>) {
      return std::move(cells_);
    } else if constexpr (std::is_same_v<R, bool>) {
      return std::vector<bool>(cells_.begin(), cells_.end());
    } else {
      std::vector<R> values;
      values.reserve(cells_.size());
      for (auto& cell : cells_) values.push_back(std::move(*cell));
      return values;
    }
  }

 private:
  // std::vector<bool> packs neighbours into one word, which writers on several threads would
  // race on; values without a default constructor wait in optionals.
  using Cell = std::conditional_t<
      std::is_same_v<R, bool>, unsigned char,
      std::conditional_t<std::is_default_constructible_v<R> && std::is_move_assignable_v<R>, R,
                         std::optional<R>>>;
  std::vector<Cell> cells_;
};

// Pieces of an ordered result, gathered from whichever threads ran them.
template <class Values>
class Pieces {
 public:
  void add(size_t lo, Values&& values) {
    std::lock_guard<std::mutex> guard(mutex_);
    pieces_.push_back(Piece{lo, std::move(values)});
  }

  // The pieces by ascending start, so concatenation restores input order.
  std::vector<Values> in_order() && {
    std::sort(pieces_.begin(), pieces_.end(),
              [](const Piece& a, const Piece& b) { return a.lo < b.lo; });
    std::vector<Values> ordered;
    ordered.reserve(pieces_.size());
    for (Piece& piece : pieces_) ordered.push_back(std::move(piece.values));
    return ordered;
  }

 private:
  struct Piece {
    size_t lo;
    Values values;
  };
  std::mutex mutex_;
  std::vector<Piece> pieces_;
};

// Below this length a piece is sorted sequentially: a join would cost more than it could save.
inline constexpr size_t sort_cutoff = 2048;

template <class It, class Less>
It median_of_three(It a, It b, It c, Less& less) {
  if (less(*a, *b)) {
    if (less(*b, *c)) return b;
    return less(*a, *c) ? c : a;
  }
  if (less(*a, *c)) return a;
  return less(*b, *c) ? c : b;
}

// Hoare's partition of [first + 1, last) around the pivot at *first: returns `cut` with no item
// of [first + 1, cut) greater than the pivot and none of [cut, last) less. Items equivalent to
// the pivot may land on both sides, which keeps runs of them balanced. The scans need no bounds
// checks: the pivot stops the right one, and the left one stops at an item not less than the
// pivot, which the caller's sampling leaves in the range (and each swap puts there again).
template <class It, class Less, class Pivot>
It partition_around(It first, It last, Less& less, const Pivot& pivot) {
  It left = first + 1;
  It right = last;
  while (true) {
    while (less(*left, pivot)) ++left;
    --right;
    while (less(pivot, *right)) --right;
    if (!(left < right)) return left;
    std::iter_swap(left, right);
    ++left;
  }
}

// Small trivially copyable pivots are compared as a local copy, which the compiler can keep in
// registers instead of reloading it around every swap.
template <class It, class Less>
It partition_around_first(It first, It last, Less& less) {
  using T = typename std::iterator_traits<It>::value_type;
  if constexpr (std::is_trivially_copyable_v<T> && sizeof(T) <= 64) {
    const T pivot = *first;
    return partition_around(first, last, less, pivot);
  } else {
    return partition_around(first, last, less, *first);
  }
}

// Quicksort whose halves run as a join. `bound`, when set, points to an item just outside the
// range that no item in it is less than (the pivot of an enclosing call); a pivot equivalent to
// it is the range's minimum, so its equivalents are gathered in one pass and left out. Runs of
// equivalent items thus cost one pass each, as in pattern-defeating quicksort.
// `depth_left` bounds the recursion: past it std::sort (an introsort) finishes the piece, which
// keeps the worst case at n log n whatever the pivots.
template <class T, class Less>
Status quicksort(std::span<T> items, Less& less, unsigned depth_left, const T* bound) {
  while (true) {
    const size_t n = items.size();
    if (n <= sort_cutoff || depth_left == 0) {
      std::sort(items.begin(), items.end(), std::ref(less));
      return {};
    }
    --depth_left;
    const auto first = items.begin();
    const auto last = items.end() - 1;
    // Nine samples in three distinct groups: whichever one is the median, another sample that is
    // not less than it stays in the range, as partition_around requires.
    const auto step = static_cast<std::ptrdiff_t>(n / 8);
    const auto middle = first + static_cast<std::ptrdiff_t>(n / 2);
    const auto pivot =
        median_of_three(median_of_three(first, first + step, first + 2 * step, less),
                        median_of_three(middle - step, middle, middle + step, less),
                        median_of_three(last - 2 * step, last - step, last, less), less);
    std::iter_swap(first, pivot);
    if (bound != nullptr && !less(*bound, *first)) {
      const auto greater_begin = std::partition(first + 1, items.end(),
                                                [&](const T& item) { return !less(*first, item); });
      bound = &*first;
      items = items.subspan(static_cast<size_t>(greater_begin - first));
      continue;
    }
    const auto cut = partition_around_first(first, items.end(), less);
    // Moving the pivot between the parts makes it a fixed bound for the upper part.
    std::iter_swap(first, cut - 1);
    const auto below = static_cast<size_t>(cut - 1 - first);
    const T* const pivot_item = &*(cut - 1);
    return join([&] { return quicksort(items.first(below), less, depth_left, bound); },
                [&] { return quicksort(items.subspan(below + 1), less, depth_left, pivot_item); });
  }
}

}  // namespace detail

template <class T, class Less>
Status sort_unstable(std::span<T> items, Less less) {
  const auto depth = static_cast<unsigned>(2 * std::bit_width(items.size()));
  return run_in_pool([&] { return detail::quicksort<T, Less>(items, less, depth, nullptr); });
}

template <class T, class F>
auto map_collect(std::span<const T> items, F f) {
  using R = detail::item_value_t<F, const T&>;
  static_assert(!std::is_void_v<R>, "map_collect needs a function that yields a value");
  using Collected = Outcome<std::vector<R>>;
  try {
    detail::Slots<R> slots(items.size());
    Status status = for_range(items.size(), 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t i = lo; i < hi; ++i) {
        CATENC_TRY(detail::call_item(
            f, [&](auto&& value) { slots.set(i, std::forward<decltype(value)>(value)); },
            items[i]));
      }
      return {};
    });
    if (!status) return Collected(std::move(status).pass());
    return Collected(std::move(slots).take());
  } catch (const std::bad_alloc&) {
    return Collected(unexpected(Failure::no_memory()));
  }
}

template <class T, class F>
Status for_each_indexed(std::span<T> items, F f) {
  return for_range(items.size(), 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t i = lo; i < hi; ++i) {
      CATENC_TRY(detail::call_item(f, [](auto&&) {}, i, items[i]));
    }
    return {};
  });
}

template <class F>
auto filter_map_range(size_t n, F f) {
  using Maybe = detail::item_value_t<F, size_t>;
  using R = typename Maybe::value_type;
  using Collected = Outcome<std::vector<R>>;
  try {
    detail::Pieces<std::vector<R>> pieces;
    Status status = for_range(n, 1, [&](size_t lo, size_t hi) -> Status {
      std::vector<R> values;
      for (size_t i = lo; i < hi; ++i) {
        CATENC_TRY(detail::call_item(
            f,
            [&](auto&& maybe) {
              if (maybe) values.push_back(*std::forward<decltype(maybe)>(maybe));
            },
            i));
      }
      if (!values.empty()) pieces.add(lo, std::move(values));
      return {};
    });
    if (!status) return Collected(std::move(status).pass());
    std::vector<std::vector<R>> ordered = std::move(pieces).in_order();
    if (ordered.size() == 1) return Collected(std::move(ordered.front()));
    size_t total = 0;
    for (const auto& piece : ordered) total += piece.size();
    std::vector<R> result;
    result.reserve(total);
    for (auto& piece : ordered) std::move(piece.begin(), piece.end(), std::back_inserter(result));
    return Collected(std::move(result));
  } catch (const std::bad_alloc&) {
    return Collected(unexpected(Failure::no_memory()));
  }
}

// When two entries yield the same key, the one met first in the input's bucket order is kept, so
// the result does not depend on how the entries were split.
template <class Map, class F>
auto map_to_map(const Map& in, F f) {
  using Entry = typename Map::value_type;
  using Maybe =
      detail::item_value_t<F, const typename Map::key_type&, const typename Map::mapped_type&>;
  using NewEntry = typename Maybe::value_type;
  using NewMap = std::unordered_map<std::remove_const_t<typename NewEntry::first_type>,
                                    typename NewEntry::second_type>;
  using Collected = Outcome<NewMap>;
  try {
    detail::Pieces<NewMap> pieces;
    const auto add_entry = [&](NewMap& out, const Entry& entry) -> Status {
      return detail::call_item(
          f,
          [&](auto&& maybe) {
            if (maybe) {
              auto&& new_entry = *std::forward<decltype(maybe)>(maybe);
              out.emplace(std::forward<decltype(new_entry)>(new_entry));
            }
          },
          entry.first, entry.second);
    };
    Status status;
    if constexpr (requires(size_t bucket) {
                    in.bucket_count();
                    in.begin(bucket);
                    in.end(bucket);
                  }) {
      // Buckets divide the entries without a pass over them first.
      status = for_range(in.bucket_count(), 1, [&](size_t lo, size_t hi) -> Status {
        NewMap out;
        for (size_t bucket = lo; bucket < hi; ++bucket) {
          for (auto it = in.begin(bucket); it != in.end(bucket); ++it) {
            CATENC_TRY(add_entry(out, *it));
          }
        }
        if (!out.empty()) pieces.add(lo, std::move(out));
        return {};
      });
    } else {
      std::vector<const Entry*> entries;
      entries.reserve(in.size());
      for (const Entry& entry : in) entries.push_back(&entry);
      status = for_range(entries.size(), 1, [&](size_t lo, size_t hi) -> Status {
        NewMap out;
        for (size_t i = lo; i < hi; ++i) CATENC_TRY(add_entry(out, *entries[i]));
        if (!out.empty()) pieces.add(lo, std::move(out));
        return {};
      });
    }
    if (!status) return Collected(std::move(status).pass());
    std::vector<NewMap> ordered = std::move(pieces).in_order();
    if (ordered.empty()) return Collected(NewMap());
    NewMap result = std::move(ordered.front());
    size_t total = 0;
    for (const NewMap& piece : ordered) total += piece.size();
    result.reserve(total);
    // merge() moves nodes and leaves keys that are already present where they were.
    for (size_t i = 1; i < ordered.size(); ++i) result.merge(ordered[i]);
    return Collected(std::move(result));
  } catch (const std::bad_alloc&) {
    return Collected(unexpected(Failure::no_memory()));
  }
}

}  // namespace catenc::pool
