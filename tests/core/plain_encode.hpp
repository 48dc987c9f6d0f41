// The plain reference that the column kernels are checked against: each row's label worked out on
// its own, then every row sorted, duplicates dropped, the ordinary labels numbered and each row
// looked up. It shares no code with the kernels' deduplication.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "column_work.hpp"
#include "label.hpp"
#include "pool.hpp"

namespace plain {

struct Encoded {
  std::vector<double> cells;
  std::optional<std::vector<std::string>> labels;  // the label map's labels; none when numeric
};

inline Encoded encode_labels(const std::vector<std::string>& rows) {
  std::vector<std::string> distinct = rows;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<std::string> ordinary = distinct;
  std::erase_if(ordinary,
                [](const std::string& label) { return catenc::is_missing_marker(label); });
  Encoded encoded{std::vector<double>(rows.size()), distinct};
  for (size_t r = 0; r < rows.size(); ++r) {
    const auto at = std::lower_bound(ordinary.begin(), ordinary.end(), rows[r]);
    encoded.cells[r] = at != ordinary.end() && *at == rows[r]
                           ? static_cast<double>(at - ordinary.begin())
                           : catenc::missing_code();
  }
  return encoded;
}

// Runs `work` on a pool of `threads`, through a stride of 2 whose other cells must stay as they
// were.
inline Encoded run(catenc::ColumnWork& work, size_t rows, size_t threads) {
  catenc::pool::ThreadPool pool(threads);
  constexpr double untouched = -12345.0;
  std::vector<double> out(rows * 2, untouched);
  std::optional<catenc::LabelMap> map;
  const catenc::Status status = pool.install([&]() -> catenc::Status {
    auto made = work.run(out.data(), 2);
    if (!made) return std::move(made).pass();
    map = std::move(made).value();
    return {};
  });
  REQUIRE(status.ok());
  Encoded encoded;
  for (size_t r = 0; r < rows; ++r) {
    encoded.cells.push_back(out[2 * r]);
    CHECK(out[2 * r + 1] == untouched);
  }
  if (map) {
    encoded.labels.emplace();
    for (size_t i = 0; i < map->size(); ++i) encoded.labels->emplace_back(map->entry(i).label);
  }
  return encoded;
}

inline bool same(const Encoded& a, const Encoded& b) {
  return a.labels == b.labels && a.cells.size() == b.cells.size() &&
         std::equal(a.cells.begin(), a.cells.end(), b.cells.begin(), [](double x, double y) {
           return std::bit_cast<uint64_t>(x) == std::bit_cast<uint64_t>(y);
         });
}

}  // namespace plain
