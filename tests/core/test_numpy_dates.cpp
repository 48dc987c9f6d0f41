// NumPy's datetime64 and timedelta64 cells: their texts and number rule against NumPy's own
// output, and the kernel against reading the rows one by one.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "column_work.hpp"
#include "date_column.hpp"
#include "encoding_info.hpp"
#include "float_text.hpp"
#include "key_columns.hpp"
#include "numpy_date_text.hpp"
#include "plain_encode.hpp"
#include "pool.hpp"
#include "table.hpp"

using catenc::NumpyRelease;
using catenc::NumpyTimeType;
using U = catenc::NumpyTimeUnit;
using catenc::Table;

TEST(numpy_date_texts_are_those_of_numpy) {
  // Copied from str() and float() of the scalars in NumPy 2.4 and 1.26 (an empty text: str()
  // raises). The last two columns: float() succeeds from 2.2 on, and before.
  const struct {
    bool duration;
    NumpyTimeType type;
    int64_t value;
    const char* text;
    bool number;
    bool number_before_2_2;
  } cases[] = {
      {false, {U::Y, 1}, 0, "1970", false, false},
      {false, {U::Y, 1}, -1971, "-001", true, true},
      {false, {U::Y, 1}, 8029, "9999", false, false},
      {false, {U::Y, 1}, INT64_MAX, "-9223372036854773839", true, true},
      {false, {U::Y, 1}, -INT64_MAX, "-9223372036854773837", true, true},
      {false, {U::Y, 1}, 9223372036854773838, "NaT", true, true},
      {false, {U::M, 1}, -1, "1969-12", false, false},
      {false, {U::M, 1}, INT64_MAX, "768614336404566620-08", true, true},
      {false, {U::M, 3}, 5, "1971-04", false, false},
      {false, {U::W, 1}, 1, "1970-01-08", false, false},
      {false, {U::W, 1}, 4611686018427387904, "-12626367463881308-09-18", true, true},
      {false, {U::D, 1}, -719528, "0000-01-01", true, true},
      {false, {U::D, 1}, -719163, "0000-12-31", true, true},
      {false, {U::D, 1}, 2932896, "9999-12-31", false, false},
      {false, {U::D, 1}, INT64_MAX, "25252734927768524-07-27", true, true},
      {false, {U::D, 1}, -INT64_MAX, "25252734927768524-07-29", true, true},
      {false, {U::D, 2}, INT64_MAX, "1969-12-30", false, false},
      {false, {U::h, 1}, -1, "1969-12-31T23", false, false},
      {false, {U::h, 25}, 1, "1970-01-02T01", false, false},
      {false, {U::m, 1}, 123456789, "2204-09-24T21:09", false, false},
      {false, {U::s, 1}, -1, "1969-12-31T23:59:59", false, false},
      {false, {U::s, 1}, INT64_MAX, "292277026596-12-04T15:30:07", true, true},
      {false, {U::s, 1}, -INT64_MAX, "-292277022657-01-27T08:29:53", true, true},
      {false, {U::s, 5}, 1, "1970-01-01T00:00:05", false, false},
      {false, {U::ms, 1}, -1, "1969-12-31T23:59:59.999", false, false},
      {false, {U::ms, 1000}, 4611686018427387904, "1970-01-01T00:00:00.000", false, false},
      {false, {U::us, 1}, -INT64_MAX, "-290308-12-21T19:59:05.224193", true, true},
      {false, {U::us, 1}, 253402300800000000, "10000-01-01T00:00:00.000000", true, true},
      {false, {U::us, 1}, 253402300799999999, "9999-12-31T23:59:59.999999", false, false},
      {false, {U::ns, 1}, -1, "1969-12-31T23:59:59.999999999", true, true},
      {false, {U::ps, 1}, INT64_MAX, "1970-04-17T18:02:52.036854775807", true, true},
      {false, {U::fs, 1}, -1, "1969-12-31T23:59:59.999999999999999", true, true},
      {false, {U::fs, 1}, -INT64_MAX, "1969-12-31T21:26:16.627963145224193", true, true},
      {false, {U::as, 1}, -1, "1969-12-31T23:59:59.999999999999999999", true, true},
      {false, {U::as, 1}, INT64_MAX, "1970-01-01T00:00:09.223372036854775807", true, true},
      {false, {U::as, 1}, -INT64_MAX, "1969-12-31T23:59:50.776627963145224193", true, true},
      {false, {U::generic, 1}, INT64_MIN, "NaT", false, false},
      {false, {U::generic, 1}, 0, "", false, false},
      {false, {U::D, 1}, INT64_MIN, "NaT", false, false},
      {true, {U::Y, 1}, 5, "5 years", true, true},
      {true, {U::D, 1}, -1, "-1 days", false, false},
      {true, {U::D, 1}, 999999999, "999999999 days", false, false},
      {true, {U::D, 1}, 1000000000, "1000000000 days", true, true},
      {true, {U::D, 1}, 4294967297, "4294967297 days", true, false},
      {true, {U::W, 1}, 142857143, "142857143 weeks", true, true},
      {true, {U::s, 5}, INT64_MAX, "9223372036854775803 seconds", true, false},
      {true, {U::s, 2}, -4611686018427387904, "-9223372036854775808 seconds", true, false},
      {true, {U::us, 1}, INT64_MAX, "9223372036854775807 microseconds", false, false},
      {true, {U::ns, 1}, 3, "3 nanoseconds", true, true},
      {true, {U::ps, 1}, -7, "-7 picoseconds", true, true},
      {true, {U::generic, 1}, 7, "7 generic time units", true, true},
      {true, {U::generic, 1}, INT64_MIN, "NaT", false, false},
      {true, {U::h, 1}, INT64_MIN, "NaT", false, false},
  };
  for (const auto& c : cases) {
    char buffer[catenc::numpy_date_text_capacity];
    const size_t length = c.duration ? catenc::write_numpy_timedelta_text(c.value, c.type, buffer)
                                     : catenc::write_numpy_datetime_text(c.value, c.type, buffer);
    CHECK_EQ(std::string(buffer, length), std::string(c.text));
    CHECK_EQ(catenc::numpy_time_is_number(c.value, c.type, c.duration, NumpyRelease::from_2_2),
             c.number);
    CHECK_EQ(catenc::numpy_time_is_number(c.value, c.type, c.duration, NumpyRelease::before_2_2),
             c.number_before_2_2);
  }
}

namespace {

// The row-by-row reading: a number before the column's first label gets its float text, one
// after it str(); a column of numbers only is numeric.
plain::Encoded read_one_by_one(const std::vector<int64_t>& values, NumpyTimeType type,
                               bool duration, NumpyRelease release) {
  size_t first = values.size();
  for (size_t r = 0; r < values.size() && first == values.size(); ++r) {
    if (!catenc::numpy_time_is_number(values[r], type, duration, release)) first = r;
  }
  if (first == values.size()) {
    plain::Encoded numbers;
    for (const int64_t value : values) numbers.cells.push_back(static_cast<double>(value));
    return numbers;
  }
  std::vector<std::string> rows;
  for (size_t r = 0; r < values.size(); ++r) {
    char buffer[catenc::numpy_date_text_capacity];
    if (r < first && catenc::numpy_time_is_number(values[r], type, duration, release)) {
      rows.push_back(catenc::float_text(static_cast<double>(values[r])));
    } else {
      const size_t length = duration ? catenc::write_numpy_timedelta_text(values[r], type, buffer)
                                     : catenc::write_numpy_datetime_text(values[r], type, buffer);
      rows.emplace_back(buffer, length);
    }
  }
  return plain::encode_labels(rows);
}

}  // namespace

TEST(numpy_date_kernel_matches_reading_rows_one_by_one) {
  std::mt19937_64 random(17);
  const struct {
    NumpyTimeType type;
    bool duration;
  } types[] = {
      {{U::s, 1}, false},     {{U::ns, 1}, false},      {{U::Y, 1}, false},
      {{U::ms, 1000}, false}, {{U::generic, 1}, false}, {{U::D, 1}, true},
      {{U::ns, 1}, true},     {{U::generic, 1}, true},  {{U::W, 3}, true},
  };
  // Values that are labels, numbers or NaT by turns, a few multiplied past 64 bits, drawn from a
  // pool so that they repeat; row counts on both sides of the 65,536 rows of a chunk.
  const int64_t pool_values[] = {0,
                                 1,
                                 -1,
                                 86399,
                                 86400,
                                 1000000,
                                 -5000000,
                                 9223372036854775807,
                                 catenc::not_a_time,
                                 253402300800,
                                 -62135596801,
                                 4611686018427387904,
                                 9223372036854773838,
                                 2932896,
                                 -719163,
                                 1000000000,
                                 4294967297};
  for (const auto& [type, duration] : types) {
    for (const size_t rows : {0, 1, 7, 65535, 140000}) {
      for (const int mix : {0, 1, 2}) {
        std::vector<int64_t> values(rows);
        for (int64_t& value : values) {
          const uint64_t draw = random();
          if (mix == 0) {
            value = pool_values[draw % std::size(pool_values)];
          } else if (mix == 1) {
            value = static_cast<int64_t>(draw % 3000) * 3600 - 5000000;  // repeating, in range
          } else {
            value = draw % 5 == 0 ? catenc::not_a_time : static_cast<int64_t>(draw >> 8);
          }
        }
        if (type.unit == U::generic && !duration) {
          for (int64_t& value : values) value = catenc::not_a_time;
        }
        // Only durations read the release.
        for (const NumpyRelease release : {NumpyRelease::from_2_2, NumpyRelease::before_2_2}) {
          if (!duration && release == NumpyRelease::before_2_2) continue;
          const catenc::NumpyDateSource source{
              reinterpret_cast<const char*>(values.data()), 8, rows, type, duration, release};
          const plain::Encoded expected = read_one_by_one(values, type, duration, release);
          // Below a chunk's rows every pool runs the column as one piece.
          for (const size_t threads :
               rows > 65536 ? std::vector<size_t>{1, 2, 5} : std::vector<size_t>{1}) {
            const plain::Encoded got = plain::run(*catenc::numpy_date_work(source), rows, threads);
            if (!plain::same(got, expected)) {
              check::fail(__FILE__, __LINE__,
                          "unit " + std::to_string(static_cast<int>(type.unit)) + " mix " +
                              std::to_string(mix) + ", " + std::to_string(rows) + " rows on " +
                              std::to_string(threads) + " threads: differs from plain");
            }
          }
        }
      }
    }
  }
}

TEST(numpy_datetimes_whose_scaled_values_wrap_alike_share_a_label) {
  // In M8[1000ms], 2^62 and 2^63 - 2^62 scaled wrap to 0 and -2^62 * 1000 wraps to 0 as well:
  // all print "1970-01-01T00:00:00.000". 1 prints a second later; none is a number.
  const std::vector<int64_t> values = {4611686018427387904, 1, 0, -4611686018427387904, 1};
  const catenc::NumpyDateSource source{reinterpret_cast<const char*>(values.data()),
                                       8,
                                       values.size(),
                                       {U::ms, 1000},
                                       false,
                                       NumpyRelease::from_2_2};
  const plain::Encoded got = plain::run(*catenc::numpy_date_work(source), values.size(), 1);
  CHECK(got.labels ==
        std::vector<std::string>({"1970-01-01T00:00:00.000", "1970-01-01T00:00:01.000"}));
  CHECK(got.cells == std::vector<double>({0, 1, 0, 0, 1}));
}

TEST(numpy_generic_datetimes_other_than_nat_have_no_text) {
  std::vector<int64_t> values = {catenc::not_a_time, catenc::not_a_time};
  catenc::NumpyDateSource source{reinterpret_cast<const char*>(values.data()),
                                 8,
                                 2,
                                 {U::generic, 1},
                                 false,
                                 NumpyRelease::from_2_2};
  CHECK(catenc::numpy_dates_have_texts(source));
  values[1] = 0;
  CHECK(!catenc::numpy_dates_have_texts(source));
  double out[2];
  CHECK(!catenc::numpy_date_work(source)->run(out, 1).ok());
  source.duration = true;  // a generic timedelta64 is a number
  CHECK(catenc::numpy_dates_have_texts(source));
}

namespace {

// Runs date columns held side by side in `values` (row-major, `columns` wide) on `threads`, into a
// table of `layout`: first through encode_key_columns alone, which must take every column of few
// enough keys and no number (else a fault there would hide behind run()), then through
// run_column_works. Each column is checked against its rows read one by one.
void check_date_table(const std::vector<int64_t>& values, size_t columns, NumpyTimeType type,
                      bool duration, Table::Layout layout, size_t threads,
                      const std::string& name) {
  const size_t rows = values.size() / columns;
  const auto make_works = [&] {
    std::vector<std::unique_ptr<catenc::ColumnWork>> works;
    for (size_t c = 0; c < columns; ++c) {
      works.push_back(catenc::numpy_date_work({reinterpret_cast<const char*>(values.data() + c),
                                               static_cast<ptrdiff_t>(8 * columns), rows, type,
                                               duration, NumpyRelease::from_2_2}));
    }
    return works;
  };
  std::vector<std::vector<int64_t>> column_values(columns, std::vector<int64_t>(rows));
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < columns; ++c) column_values[c][r] = values[r * columns + c];
  }
  catenc::pool::ThreadPool pool(threads);
  for (const bool alone : {true, false}) {
    std::vector<std::unique_ptr<catenc::ColumnWork>> works = make_works();
    std::vector<double> out(rows * columns, -12345.0);
    Table table = Table::over(out.data(), rows, columns, layout);
    std::vector<catenc::ColumnOutcome> outcomes(columns);
    catenc::EncodingInfo info(columns);
    const catenc::Status status = pool.install([&]() -> catenc::Status {
      if (alone) return catenc::encode_key_columns(works, outcomes, table);
      return catenc::run_column_works(works, outcomes, table, info);
    });
    REQUIRE(status.ok());
    for (size_t c = 0; c < columns; ++c) {
      const std::string where = name + ", column " + std::to_string(c) + " of " +
                                std::to_string(rows) + " rows on " + std::to_string(threads) +
                                " threads" + (alone ? " (keys alone)" : "");
      std::vector<int64_t> keys = column_values[c];
      std::sort(keys.begin(), keys.end());
      keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
      const bool takes =
          keys.size() <= catenc::key_column_max_keys &&
          std::none_of(keys.begin(), keys.end(), [&](int64_t key) {
            return catenc::numpy_time_is_number(key, type, duration, NumpyRelease::from_2_2);
          });
      if (alone && (works[c] == nullptr) != takes) {
        check::fail(__FILE__, __LINE__, where + ": taken " + std::to_string(works[c] == nullptr));
      }
      if (alone && !takes) continue;
      plain::Encoded got;
      for (size_t r = 0; r < rows; ++r)
        got.cells.push_back(out[c * table.column_stride() + r * table.row_stride()]);
      const catenc::LabelMap* map =
          alone ? (outcomes[c].map ? &*outcomes[c].map : nullptr) : info.code_to_label(c);
      if (map != nullptr) {
        got.labels.emplace();
        for (size_t i = 0; i < map->size(); ++i) got.labels->emplace_back(map->entry(i).label);
      }
      if (!plain::same(got,
                       read_one_by_one(column_values[c], type, duration, NumpyRelease::from_2_2))) {
        check::fail(__FILE__, __LINE__, where + ": differs from plain");
      }
    }
  }
}

}  // namespace

TEST(date_columns_read_together_match_reading_rows_one_by_one) {
  std::mt19937_64 random(29);
  const int64_t day = 86400;
  // Each draws a cell from a row number. Between them they cross the limits of the fast lookups:
  // keys on a grid of days (with NaT; spread past the range the first rows show; off the grid
  // now and then), keys on no grid, distinct keys on both sides of 8,192 and of 65,536, keys at
  // the ends of int64 and the words the tables use to mark free slots.
  const struct {
    const char* name;
    std::function<int64_t(size_t, uint64_t)> draw;
  } mixes[] = {
      {"days", [&](size_t, uint64_t d) { return static_cast<int64_t>(d % 3000) * day; }},
      {"days and NaT",
       [&](size_t, uint64_t d) {
         return d % 7 == 0 ? catenc::not_a_time : 1420070400 + static_cast<int64_t>(d % 900) * day;
       }},
      {"days spreading",
       [&](size_t r, uint64_t d) { return static_cast<int64_t>(d % (r / 64 + 2)) * day - day; }},
      {"days, a few off the grid",
       [&](size_t, uint64_t d) {
         return static_cast<int64_t>(d % 500) * day + (d % 1000 == 1 ? 17 : 0);
       }},
      {"seconds on no grid",
       [&](size_t, uint64_t d) { return static_cast<int64_t>((d >> 20) % 5000) * 7919 * 7907; }},
      {"8,000 distinct", [&](size_t, uint64_t d) { return static_cast<int64_t>(d % 8000) * 3; }},
      {"9,000 distinct", [&](size_t, uint64_t d) { return static_cast<int64_t>(d % 9000) * 3; }},
      {"all distinct", [&](size_t r, uint64_t) { return static_cast<int64_t>(r) * 1000; }},
      {"all distinct, no grid",
       [&](size_t r, uint64_t d) {
         return static_cast<int64_t>(d >> 2) ^ static_cast<int64_t>(r);
       }},
      {"ends of int64",
       [&](size_t, uint64_t d) {
         const int64_t ends[] = {catenc::not_a_time,
                                 catenc::not_a_time + 1,
                                 catenc::not_a_time + 2,
                                 INT64_MAX,
                                 INT64_MAX - 1,
                                 0,
                                 1,
                                 -1};
         return ends[d % std::size(ends)];
       }},
  };
  const struct {
    NumpyTimeType type;
    bool duration;
  } types[] = {{{U::s, 1}, false}, {{U::D, 1}, false}, {{U::s, 1}, true}, {{U::ns, 1}, true}};
  for (const auto& mix : mixes) {
    // Rows on both sides of a block (1,024) and of the blocks a piece takes (16).
    for (const size_t rows : {1, 1023, 1025, 16385, 70000}) {
      const size_t columns = 3;
      std::vector<int64_t> values(rows * columns);
      for (size_t r = 0; r < rows; ++r) {
        for (size_t c = 0; c < columns; ++c) values[r * columns + c] = mix.draw(r, random());
      }
      const auto& [type, duration] = types[random() % std::size(types)];
      for (const Table::Layout layout : {Table::Layout::row_major, Table::Layout::column_major}) {
        for (const size_t threads :
             rows > 16384 ? std::vector<size_t>{1, 2, 5} : std::vector<size_t>{1, 2}) {
          check_date_table(values, columns, type, duration, layout, threads, mix.name);
        }
      }
    }
  }
}

TEST(a_date_column_of_more_keys_than_the_tables_take_matches_reading_rows_one_by_one) {
  // One key more than a column's key tables take: the column is encoded by its own run().
  std::vector<int64_t> values((size_t{1} << 20) + 1);
  for (size_t r = 0; r < values.size(); ++r)
    values[r] = static_cast<int64_t>(values.size() - r) * 60;
  check_date_table(values, 1, {U::s, 1}, false, Table::Layout::column_major, 2, "past the limit");
}
