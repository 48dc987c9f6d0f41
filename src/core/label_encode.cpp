// Deduplicate first, sort only the distinct labels, then give every row its label's code.
//
// Two ways to deduplicate, picked by a sample of the column:
// - few distinct labels: rows are hashed in chunks, one per task, each chunk keeping its own small
//   set and a slot number per row (in the row's cell of the result); the chunks' sets are then
//   merged, which costs little because each holds few labels;
// - many distinct labels, absolutely or for the rows: chunks would each hold most of them, and
//   merging would hash them all again. A column of fewer rows than min_partitioned_rows is one
//   chunk; a longer one has its rows hashed and grouped by hash into partitions that share no
//   label, and each partition is deduplicated on its own, in a set small enough to stay in cache.
// No label is copied until the map takes the distinct ones. Every deduplication goes through a
// DistinctSet under one keyed hasher per encoding, so that no choice of labels makes it quadratic.
#include "label_encode.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "big_vector.hpp"
#include "distinct_set.hpp"
#include "label_hash.hpp"
#include "pool.hpp"
#include "pool_ops.hpp"
#include "row_ids.hpp"

namespace catenc {

namespace {

// Below this many rows a chunk costs more to schedule and merge than it saves.
constexpr size_t min_chunk_rows = 16384;
// Below this many distinct labels across chunks, merging them on one thread is cheapest.
constexpr size_t min_partitioned_merge = 65536;
constexpr size_t max_merge_partitions = 256;
// Rows looked at to guess whether a column has many distinct labels.
constexpr size_t sample_rows = 4096;
// Below this many rows a column of mostly distinct labels is deduplicated in one pass on one
// thread: grouping its rows by hash first takes two more passes over them, which pays only where
// one column would keep every thread waiting. Beside other columns the pool runs several at once.
constexpr size_t min_partitioned_rows = 1 << 17;
// Distinct labels per partition that keep a partition's set in a core's cache.
constexpr size_t labels_per_partition = 8192;
constexpr size_t max_row_partitions = 4096;
// Labels ahead of the one being hashed whose bytes are fetched early: labels read from Python
// objects lie scattered over the heap, and each would otherwise cost a cache miss.
constexpr size_t prefetch_distance = 16;

template <class Source>
void prefetch_label(const Source& labels, size_t index) noexcept {
  if (index < labels.size()) __builtin_prefetch(labels.at(index).data());
}

// A distinct label: its view alone. Hashes are computed again where needed rather than kept: the
// bytes are at hand in those places, and keeping a hash per distinct label would cost 8 bytes.
using Distinct = Label;

// A distinct label being sorted: the first 8 bytes, big-endian, decide most comparisons without
// following the pointer. `id` numbers the column's distinct labels in the order found.
struct SortItem {
  uint64_t prefix;
  Label label;
  uint64_t id;
};

SortItem sort_item(Label label, uint64_t id) noexcept {
  return {label_prefix(label), label, id};
}

// The distinct labels of every partition, one after another, as sorting items whose ids are their
// places in that order; each partition's list is freed once copied. base[p] is where partition p
// starts.
Outcome<BigVector<SortItem>> sort_items(std::vector<BigVector<Label>>& distinct,
                                        std::span<const size_t> base) {
  const size_t partitions = distinct.size();
  BigVector<SortItem> items(base[partitions]);
  CATENC_TRY(pool::for_range(partitions, 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t p = lo; p < hi; ++p) {
      for (size_t g = 0; g < distinct[p].size(); ++g)
        items[base[p] + g] = sort_item(distinct[p][g], base[p] + g);
      free_now(distinct[p]);
    }
    return {};
  }));
  return items;
}

// The bytes every item's label starts with: dates, codes and identifiers often share their first
// bytes, which would leave the prefixes equal and every comparison to the labels themselves.
size_t common_prefix(std::span<const SortItem> items) noexcept {
  if (items.empty()) return 0;
  const Label first = items[0].label;
  size_t common = first.size();
  for (const SortItem& item : items) {
    const Label label = item.label;
    size_t i = 0;
    const size_t limit = std::min(common, label.size());
    while (i < limit && label[i] == first[i]) ++i;
    common = i;
    if (common == 0) break;
  }
  return common;
}

size_t partition_of(uint64_t hash, unsigned bits) noexcept {
  return bits == 0 ? 0 : static_cast<size_t>(hash >> (64 - bits));
}

// An estimate of the number of distinct labels, from evenly spaced rows: those seen in the sample,
// plus those it probably missed, judged by how many it saw once and twice (Chao's estimator).
template <class Source>
size_t estimated_distinct(const Source& labels, const LabelHasher& hash) {
  const size_t samples = std::min(sample_rows, labels.size());
  DistinctSet seen(samples, hash);
  std::vector<uint32_t> times(samples, 0);
  const auto row_of = [&](size_t i) { return i * labels.size() / samples; };
  for (size_t i = 0; i < samples; ++i) {
    // Rows far apart: each one's offset and bytes are a miss apart, fetched well ahead.
    if (i + 2 * prefetch_distance < samples)
      labels.prefetch_index(row_of(i + 2 * prefetch_distance));
    if (i + prefetch_distance < samples) prefetch_label(labels, row_of(i + prefetch_distance));
    const Label label = labels.at(row_of(i));
    ++times[seen.insert(label, hash(label))];
  }
  double once = 0;
  double twice = 0;
  for (size_t i = 0; i < seen.size(); ++i) {
    once += times[i] == 1;
    twice += times[i] == 2;
  }
  const double missed = twice > 0 ? once * once / (2 * twice) : once * (once - 1) / 2;
  const double estimate = static_cast<double>(seen.size()) + missed;
  return static_cast<size_t>(std::min(estimate, static_cast<double>(labels.size())));
}

// A label that a column's vocabulary lacks: the vocabulary was learned from the same rows.
Unexpected<Failure> lacks_a_label() {
  return unexpected(Failure::internal(
      "the table changed between the passes over it: a column holds a label it did not hold"));
}

// -- few distinct labels: chunks merged
// ------------------------------------------------------------

// One slice of the rows, deduplicated on its own.
struct Chunk {
  size_t begin = 0;
  size_t end = 0;
  BigVector<Distinct> distinct;
  BigVector<uint64_t> global_of_local;    // index among all the column's distinct labels
  std::vector<size_t> partition_offsets;  // local indices grouped by partition
  BigVector<uint32_t> by_partition;
  BigVector<double> code_of_local;
};

// Each row's number is its label's index in `distinct`.
// `expected` guesses the column's distinct labels (0: no guess), so that a set of many starts
// large enough not to grow again and again.
template <class Source>
void dedup_chunk(const Source& labels, const LabelHasher& hash, const RowIds& ids, size_t expected,
                 Chunk& chunk) {
  const size_t rows = chunk.end - chunk.begin;
  DistinctSet set(std::min<size_t>(rows, std::max<size_t>(expected, 1024)), hash);
  // Inlined into the loop over rows, which the compiler would otherwise call once per row.
  labels.for_each(chunk.begin, chunk.end,
                  [&](size_t r, Label label) __attribute__((always_inline)) {
                    ids.set(r, set.insert(label, hash(label)));
                  });
  chunk.distinct = std::move(set).take_entries();
}

// Groups a chunk's local indices by the partition their hash falls in.
void group_by_partition(Chunk& chunk, const LabelHasher& hash, size_t partitions, unsigned bits) {
  chunk.partition_offsets.assign(partitions + 1, 0);
  for (const Distinct& d : chunk.distinct) {
    ++chunk.partition_offsets[partition_of(hash(d), bits) + 1];
  }
  for (size_t p = 0; p < partitions; ++p)
    chunk.partition_offsets[p + 1] += chunk.partition_offsets[p];
  std::vector<size_t> next(chunk.partition_offsets.begin(), chunk.partition_offsets.end() - 1);
  chunk.by_partition.resize(chunk.distinct.size());
  for (size_t l = 0; l < chunk.distinct.size(); ++l) {
    const size_t partition = partition_of(hash(chunk.distinct[l]), bits);
    chunk.by_partition[next[partition]++] = static_cast<uint32_t>(l);
  }
}

// Merges the chunks' distinct labels into the column's, numbering them 0..D-1 in the returned
// items and recording each chunk's local-to-column numbering.
Outcome<BigVector<SortItem>> merge_chunks(std::vector<Chunk>& chunks, const LabelHasher& hash,
                                          size_t threads) {
  if (chunks.size() == 1) {
    BigVector<Distinct>& distinct = chunks[0].distinct;
    BigVector<SortItem> items(distinct.size());
    for (size_t l = 0; l < distinct.size(); ++l) items[l] = sort_item(distinct[l], l);
    // The items view the same labels: the column's peak is lower without it.
    free_now(distinct);
    return items;
  }
  size_t total = 0;
  for (const Chunk& chunk : chunks) total += chunk.distinct.size();
  const size_t partitions = total < min_partitioned_merge
                                ? 1
                                : std::min(max_merge_partitions, std::bit_ceil(threads * 8));
  const auto bits = static_cast<unsigned>(std::countr_zero(partitions));

  CATENC_TRY(pool::for_range(chunks.size(), 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t k = lo; k < hi; ++k) {
      group_by_partition(chunks[k], hash, partitions, bits);
      chunks[k].global_of_local.resize(chunks[k].distinct.size());
    }
    return {};
  }));

  // Each partition task writes only the global_of_local entries of labels in its partition.
  std::vector<BigVector<Distinct>> merged(partitions);
  CATENC_TRY(pool::for_range(partitions, 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t p = lo; p < hi; ++p) {
      size_t expected = 0;
      for (const Chunk& chunk : chunks) {
        expected += chunk.partition_offsets[p + 1] - chunk.partition_offsets[p];
      }
      DistinctSet set(expected, hash);
      for (Chunk& chunk : chunks) {
        for (size_t i = chunk.partition_offsets[p]; i < chunk.partition_offsets[p + 1]; ++i) {
          const uint32_t local = chunk.by_partition[i];
          const Distinct& d = chunk.distinct[local];
          chunk.global_of_local[local] = set.insert(d, hash(d));
        }
      }
      merged[p] = std::move(set).take_entries();
    }
    return {};
  }));

  std::vector<size_t> base(partitions + 1, 0);
  for (size_t p = 0; p < partitions; ++p) base[p + 1] = base[p] + merged[p].size();

  CATENC_ASSIGN_OR_RETURN(BigVector<SortItem> items, sort_items(merged, base));
  CATENC_TRY(pool::for_range(chunks.size(), 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t k = lo; k < hi; ++k) {
      Chunk& chunk = chunks[k];
      for (size_t l = 0; l < chunk.distinct.size(); ++l) {
        chunk.global_of_local[l] += base[partition_of(hash(chunk.distinct[l]), bits)];
      }
      free_now(chunk.distinct);
      free_now(chunk.by_partition);
    }
    return {};
  }));
  return items;
}

class ChunkedColumn {
 public:
  ChunkedColumn(double* out, size_t stride) noexcept : ids_(out, stride) {}

  template <class Source>
  Outcome<BigVector<SortItem>> dedup(const Source& labels, const LabelHasher& hash, size_t threads,
                                     size_t expected, FunctionRef<void()> release_input) {
    // Two chunks per thread let an idle thread take over a slow one; a lone thread has nobody to
    // balance with, and a second chunk would only cost a merge that hashes every label again.
    // Chunks never exceed 2^31 rows, so local slot numbers fit 32 bits.
    const size_t rows = labels.size();
    const size_t wanted = threads == 1 ? 1 : threads * 2;
    size_t count = std::min(wanted, std::max<size_t>(1, rows / min_chunk_rows));
    count = std::max(count, (rows >> 31) + 1);
    chunks_.resize(count);
    for (size_t k = 0; k < count; ++k) {
      chunks_[k].begin = rows * k / count;
      chunks_[k].end = rows * (k + 1) / count;
    }
    CATENC_TRY(pool::for_range(count, 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t k = lo; k < hi; ++k) dedup_chunk(labels, hash, ids_, expected, chunks_[k]);
      return {};
    }));
    release_input();
    return merge_chunks(chunks_, hash, threads);
  }

  Status write_codes(const BigVector<double>& code_of_id) {
    const bool merged = chunks_.size() > 1;
    return pool::for_range(chunks_.size(), 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t k = lo; k < hi; ++k) {
        Chunk& chunk = chunks_[k];
        const double* code_of_local = code_of_id.data();
        if (merged) {
          chunk.code_of_local.resize(chunk.global_of_local.size());
          for (size_t l = 0; l < chunk.global_of_local.size(); ++l) {
            chunk.code_of_local[l] = code_of_id[chunk.global_of_local[l]];
          }
          code_of_local = chunk.code_of_local.data();
        }
        ids_.to_codes(chunk.begin, chunk.end, code_of_local);
      }
      return {};
    });
  }

  void release() noexcept { free_now(chunks_); }

 private:
  RowIds ids_;
  std::vector<Chunk> chunks_;
};

// -- many distinct labels: rows partitioned by hash --------------------------------------------

class PartitionedColumn {
 public:
  PartitionedColumn(double* out, size_t stride) noexcept : ids_(out, stride) {}

  template <class Source>
  Outcome<BigVector<SortItem>> dedup(const Source& labels, const LabelHasher& hash, size_t threads,
                                     size_t expected_distinct, FunctionRef<void()> release_input) {
    const size_t rows = labels.size();
    const size_t partitions = partitions_for(expected_distinct, threads);
    CATENC_TRY(group_rows(labels, hash, threads, partitions));

    // Partitions share no label, so each numbers its own; every task writes the ids of its own
    // rows only. Sets are sized from the estimate, so that their entries rarely regrow: the spare
    // room of a doubled vector would stay allocated until the labels are sorted.
    std::vector<BigVector<Distinct>> distinct(partitions);
    const double share = static_cast<double>(expected_distinct) / static_cast<double>(rows);
    CATENC_TRY(pool::for_range(partitions, 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t p = lo; p < hi; ++p) {
        const size_t partition_rows = start_[p + 1] - start_[p];
        const auto expected_here = static_cast<double>(partition_rows) * share * 1.05;
        DistinctSet set(std::min(partition_rows, static_cast<size_t>(expected_here) + 16), hash);
        for_each_of_partition(labels, p, [&](uint32_t r, Label label) {
          ids_.set(r, set.insert(label, hash(label)));
        });
        distinct[p] = std::move(set).take_entries();
      }
      return {};
    }));
    release_input();

    std::vector<size_t> base(partitions + 1, 0);
    for (size_t p = 0; p < partitions; ++p) base[p + 1] = base[p] + distinct[p].size();
    CATENC_TRY(pool::for_range(partitions, 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t p = lo; p < hi; ++p) {
        const auto offset = static_cast<uint32_t>(base[p]);
        for (size_t i = start_[p]; i < start_[p + 1]; ++i)
          ids_.set(order_[i], ids_.get(order_[i]) + offset);
      }
      return {};
    }));
    free_now(order_);
    return sort_items(distinct, base);
  }

  // Writes every row's code in `known` with no set of the column's own: the rows of one partition
  // look up one stretch of the index (both go by the top bits of one hash), which is fetched
  // whole before them, so that their lookups hit the cache.
  template <class Source>
  Status look_up(const Source& labels, const VocabularyIndex& known, size_t threads) {
    const LabelHasher& hash = known.hasher();
    const size_t partitions = partitions_for(known.size(), threads);
    CATENC_TRY(group_rows(labels, hash, threads, partitions));
    double* out = ids_.cells();
    const size_t stride = ids_.stride();
    std::atomic<bool> lacking{false};
    CATENC_TRY(pool::for_range(partitions, 1, [&](size_t lo, size_t hi) -> Status {
      bool lacks = false;
      if (lo < hi) known.fetch_stretch(lo, partitions);
      for (size_t p = lo; p < hi && !lacks; ++p) {
        // The next stretch arrives while this one is looked up in.
        if (p + 1 < hi) known.fetch_stretch(p + 1, partitions);
        for_each_of_partition(labels, p, [&](uint32_t r, Label label) {
          lacks |= !known.find(label, hash(label), out[r * stride]);
        });
      }
      if (lacks) lacking.store(true, std::memory_order_relaxed);
      return {};
    }));
    free_now(order_);
    if (lacking.load()) return lacks_a_label();
    return {};
  }

  Status write_codes(const BigVector<double>& code_of_id) {
    return pool::for_range(rows_, min_chunk_rows, [&](size_t lo, size_t hi) -> Status {
      ids_.to_codes(lo, hi, code_of_id.data());
      return {};
    });
  }

  void release() noexcept {}

 private:
  size_t partitions_for(size_t distinct, size_t threads) const noexcept {
    return std::clamp<size_t>(std::bit_ceil(distinct / labels_per_partition + 1),
                              std::bit_ceil(threads * 4), max_row_partitions);
  }

  // Groups the rows by the partition their label's hash falls in: partition p takes rows
  // order_[start_[p]], ..., order_[start_[p + 1] - 1], in row order within each chunk.
  template <class Source>
  Status group_rows(const Source& labels, const LabelHasher& hash, size_t threads,
                    size_t partitions) {
    const size_t rows = labels.size();
    rows_ = rows;
    const auto bits = static_cast<unsigned>(std::countr_zero(partitions));
    const size_t chunks = std::max<size_t>(1, std::min(threads * 4, rows / min_chunk_rows));
    const auto chunk_begin = [&](size_t k) { return rows * k / chunks; };

    // Count each chunk's rows per partition. Hashes are computed again where needed rather than
    // kept: hashing a short label costs less than the 8 bytes a row that keeping them would take.
    std::vector<size_t> offsets(chunks * partitions, 0);
    CATENC_TRY(pool::for_range(chunks, 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t k = lo; k < hi; ++k) {
        size_t* counts = &offsets[k * partitions];
        labels.for_each(chunk_begin(k), chunk_begin(k + 1),
                        [&](size_t, Label label) { ++counts[partition_of(hash(label), bits)]; });
      }
      return {};
    }));
    start_.assign(partitions + 1, 0);
    size_t running = 0;
    for (size_t p = 0; p < partitions; ++p) {
      start_[p] = running;
      for (size_t k = 0; k < chunks; ++k) {
        const size_t count = offsets[k * partitions + p];
        offsets[k * partitions + p] = running;
        running += count;
      }
    }
    start_[partitions] = running;
    order_.resize(rows);
    return pool::for_range(chunks, 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t k = lo; k < hi; ++k) {
        size_t* next = &offsets[k * partitions];
        labels.for_each(chunk_begin(k), chunk_begin(k + 1), [&](size_t r, Label label) {
          order_[next[partition_of(hash(label), bits)]++] = static_cast<uint32_t>(r);
        });
      }
      return {};
    });
  }

  // f(row, label) for every row of partition p.
  template <class Source, class F>
  void for_each_of_partition(const Source& labels, size_t p, F f) const {
    const size_t end = start_[p + 1];
    for (size_t i = start_[p]; i < end; ++i) {
      // Rows come in hash order here, so where each label's view (or offset) lies is as
      // scattered as its bytes: fetch the one well ahead, the other when it is known.
      if (i + 2 * prefetch_distance < end) labels.prefetch_index(order_[i + 2 * prefetch_distance]);
      if (i + prefetch_distance < end) prefetch_label(labels, order_[i + prefetch_distance]);
      const uint32_t r = order_[i];
      f(r, labels.at(r));
    }
  }

  RowIds ids_;
  size_t rows_ = 0;
  std::vector<size_t> start_;
  BigVector<uint32_t> order_;
};

// Sorts the distinct labels and numbers the ordinary ones in that order (the markers take no
// code and do not advance the count); every row gets its label's code, and the map is built last,
// once the rows' numbering is gone, so that the two are never held at once.
// Gives every row the code its label has in `known`, with no sorting: the map returned is empty.
template <class Column>
Outcome<LabelMap> encode_by_vocabulary(Column& column, const BigVector<SortItem>& items,
                                       const VocabularyIndex& known) {
  std::atomic<bool> lacking{false};
  {
    BigVector<double> code_of_id(items.size());
    CATENC_TRY(pool::for_range(items.size(), 1 << 14, [&](size_t lo, size_t hi) -> Status {
      for (size_t i = lo; i < hi; ++i) {
        if (!known.find(items[i].label, code_of_id[items[i].id])) {
          lacking.store(true, std::memory_order_relaxed);
          break;
        }
      }
      return {};
    }));
    if (lacking.load()) return lacks_a_label();
    CATENC_TRY(column.write_codes(code_of_id));
  }
  column.release();
  return LabelMap();
}

template <class Column>
Outcome<LabelMap> encode_with(Column& column, Outcome<BigVector<SortItem>> found,
                              const VocabularyIndex* known) {
  if (!found) return std::move(found).pass();
  BigVector<SortItem>& items = found.value();
  if (known != nullptr) return encode_by_vocabulary(column, items, *known);
  const size_t common = common_prefix(items);
  if (common > 0) {
    CATENC_TRY(pool::for_range(items.size(), 1 << 14, [&](size_t lo, size_t hi) -> Status {
      for (size_t i = lo; i < hi; ++i) items[i].prefix = label_prefix(items[i].label, common);
      return {};
    }));
  }
  // A lambda rather than a function, so that the sort inlines the comparison.
  const auto less = [common](const SortItem& a, const SortItem& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return a.label.substr(common) < b.label.substr(common);
  };
  CATENC_TRY(pool::sort_unstable(std::span<SortItem>(items), less));
  {
    BigVector<double> code_of_id(items.size());
    uint64_t next_code = 0;
    for (const SortItem& item : items) {
      code_of_id[item.id] =
          is_missing_marker(item.label) ? missing_code() : static_cast<double>(next_code++);
    }
    CATENC_TRY(column.write_codes(code_of_id));
  }
  column.release();
  return LabelMap::build(items.size(), [&](size_t i) { return items[i].label; });
}

template <class Source>
Outcome<LabelMap> encode(const Source& labels, double* out, size_t stride,
                         FunctionRef<void()> release_input, const VocabularyIndex* known) {
  const size_t rows = labels.size();
  if (rows == 0) {
    release_input();
    return LabelMap();
  }
  CATENC_ASSIGN_OR_RETURN(const size_t threads, pool::current_num_threads());
  // One key for the whole encoding: every table of it must hash alike.
  const LabelHasher hash(label_hash_key());
  // Chunks each hold most of a column's distinct labels once there are many, absolutely or for the
  // rows they have: then merging them would cost more than grouping the rows by hash.
  const size_t expected = rows >= 2 * min_chunk_rows ? estimated_distinct(labels, hash) : 0;
  const bool mostly_distinct = expected > min_partitioned_merge || expected * 4 > rows;
  if (mostly_distinct && rows >= min_partitioned_rows &&
      rows <= std::numeric_limits<uint32_t>::max()) {
    PartitionedColumn column(out, stride);
    if (known != nullptr) {
      CATENC_TRY(column.look_up(labels, *known, threads));
      release_input();
      return LabelMap();
    }
    return encode_with(column, column.dedup(labels, hash, threads, expected, release_input), known);
  }
  ChunkedColumn column(out, stride);
  return encode_with(
      column, column.dedup(labels, hash, mostly_distinct ? 1 : threads, expected, release_input),
      known);
}

}  // namespace

Outcome<LabelMap> label_encode_into(std::span<const Label> labels, double* out, size_t stride,
                                    const VocabularyIndex* known) {
  return encode(LabelViews{labels}, out, stride, [] {}, known);
}

Outcome<LabelMap> label_encode_into(PackedLabels&& labels, double* out, size_t stride,
                                    const VocabularyIndex* known) {
  PackedLabels owned = std::move(labels);
  // The distinct labels go on viewing the bytes; only the offsets can go early.
  return encode(owned, out, stride, [&] { owned.release_offsets(); }, known);
}

Outcome<LabelMap> label_encode_into(const ArrowTextLabels& labels, double* out, size_t stride,
                                    const VocabularyIndex* known) {
  return encode(labels, out, stride, [] {}, known);
}

Outcome<LabelEncoding> label_encode(std::span<const Label> labels) {
  LabelEncoding encoding;
  encoding.codes.resize(labels.size());
  CATENC_ASSIGN_OR_RETURN(encoding.labels, label_encode_into(labels, encoding.codes.data(), 1));
  return encoding;
}

}  // namespace catenc
