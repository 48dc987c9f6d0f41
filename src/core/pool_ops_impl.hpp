// The templates declared in pool_ops.hpp; include that header, not this one.
//
// The sort splits its input among pool tasks with join. A failure in one piece stops that piece;
// the others run to completion, and the operation returns the failure.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <iterator>
#include <span>
#include <utility>

#include "pool.hpp"
#include "result.hpp"

namespace catenc::pool {

namespace detail {

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

}  // namespace catenc::pool
