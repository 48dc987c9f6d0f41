// A parallel sort built on the pool's join: the result is the same for any number of threads.
#pragma once

#include <span>

#include "pool.hpp"

namespace catenc::pool {

// Sorts `items` by the strict weak order `less`; equal items end up in any order.
template <class T, class Less>
Status sort_unstable(std::span<T> items, Less less);

}  // namespace catenc::pool

#include "pool_ops_impl.hpp"
