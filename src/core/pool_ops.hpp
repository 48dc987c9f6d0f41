// Ordered parallel operations built on the pool's join and for_range. Every result is in input
// order and the same for any number of threads.
//
// Per-item functions may return a plain value (void for the for-each) or an Outcome of it
// (Status for the for-each); a failed Outcome, like a thrown exception, fails the operation once
// all sibling tasks have finished.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pool.hpp"

namespace catenc::pool {

// Sorts `items` by the strict weak order `less`; equal items end up in any order.
template <class T, class Less>
Status sort_unstable(std::span<T> items, Less less);

// result[i] = f(items[i]).
template <class T, class F>
auto map_collect(std::span<const T> items, F f);

// Calls f(i, items[i]) once for every i.
template <class T, class F>
Status for_each_indexed(std::span<T> items, F f);

// The values f(i) returned for i in [0, n), in ascending order of i; f returns std::optional.
template <class F>
auto filter_map_range(size_t n, F f);

// A new std::unordered_map of the entries f(key, value) returned; f returns
// std::optional<std::pair<K, V>>.
template <class Map, class F>
auto map_to_map(const Map& in, F f);

}  // namespace catenc::pool

#include "pool_ops_impl.hpp"
