// Deduplicate first, sort only the distinct labels: rows are hashed in chunks, one per task, each
// chunk keeping its own set of distinct labels and a slot number per row. The chunks' sets are
// merged in hash partitions (also in parallel), the distinct labels sorted once, and each row's
// code looked up through its chunk's slot. No label is copied until the map takes the distinct
// ones.
#include "label_encode.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "label_hash.hpp"
#include "pool.hpp"
#include "pool_ops.hpp"

namespace catenc {

namespace {

// Below this many rows a chunk costs more to schedule and merge than it saves.
constexpr size_t min_chunk_rows = 16384;
// Below this many distinct labels across chunks, merging them on one thread is cheapest.
constexpr size_t min_partitioned_merge = 65536;
constexpr size_t max_partitions = 256;

struct Distinct {
  Label label;
  uint64_t hash;
};

// The distinct labels seen so far, in order of first sight, with an open-addressing index whose
// slots hold the upper half of the hash (to skip most mismatches without touching the entries)
// and the entry's index plus one (0 marks an empty slot).
class DistinctSet {
 public:
  explicit DistinctSet(size_t expected) {
    const size_t capacity = std::bit_ceil(std::max<size_t>(16, expected * 2));
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    entries_.reserve(expected);
  }

  uint32_t insert(Label label, uint64_t hash) {
    const uint64_t tag = hash & tag_mask;
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const uint64_t slot = slots_[i];
      if (slot == 0) {
        const auto index = static_cast<uint32_t>(entries_.size());
        entries_.push_back({label, hash});
        slots_[i] = tag | (static_cast<uint64_t>(index) + 1);
        if (entries_.size() * 2 > slots_.size()) grow();
        return index;
      }
      if ((slot & tag_mask) == tag) {
        const auto index = static_cast<uint32_t>((slot & ~tag_mask) - 1);
        const Distinct& seen = entries_[index];
        if (seen.hash == hash && seen.label == label) return index;
      }
    }
  }

  const std::vector<Distinct>& entries() const noexcept { return entries_; }
  std::vector<Distinct> take_entries() && { return std::move(entries_); }

 private:
  static constexpr uint64_t tag_mask = 0xFFFFFFFF00000000ULL;

  // Walks the entries rather than the old slots: reading them in order keeps the hashes
  // streaming from memory, where following each slot to its entry would miss the cache per label.
  void grow() {
    slots_.assign(slots_.size() * 2, 0);
    mask_ = slots_.size() - 1;
    for (size_t index = 0; index < entries_.size(); ++index) {
      const uint64_t hash = entries_[index].hash;
      size_t i = hash & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = (hash & tag_mask) | (static_cast<uint64_t>(index) + 1);
    }
  }

  std::vector<uint64_t> slots_;
  size_t mask_ = 0;
  std::vector<Distinct> entries_;
};

// One slice of the rows, deduplicated on its own.
struct Chunk {
  size_t begin = 0;
  size_t end = 0;
  std::vector<uint32_t> slot_of_row;  // the row's index in `distinct`
  std::vector<Distinct> distinct;
  std::vector<uint64_t> global_of_local;  // index among all the column's distinct labels
  std::vector<size_t> partition_offsets;  // local indices grouped by partition
  std::vector<uint32_t> by_partition;
  std::vector<double> code_of_local;
};

// A distinct label being sorted: the first 8 bytes, big-endian, decide most comparisons without
// following the pointer.
struct SortItem {
  uint64_t prefix;
  Label label;
  uint64_t id;
};

uint64_t sort_prefix(Label label) noexcept {
  uint64_t value = 0;
  std::memcpy(&value, label.data(), std::min<size_t>(label.size(), sizeof value));
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
  return value;
}

bool item_less(const SortItem& a, const SortItem& b) noexcept {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  return a.label < b.label;
}

Status dedup_chunk(std::span<const Label> labels, Chunk& chunk) {
  const size_t rows = chunk.end - chunk.begin;
  chunk.slot_of_row.resize(rows);
  DistinctSet set(std::min<size_t>(rows, 1024));
  for (size_t r = 0; r < rows; ++r) {
    const Label label = labels[chunk.begin + r];
    chunk.slot_of_row[r] = set.insert(label, hash_label(label));
  }
  chunk.distinct = std::move(set).take_entries();
  return {};
}

size_t partition_of(uint64_t hash, unsigned partition_bits) noexcept {
  return partition_bits == 0 ? 0 : static_cast<size_t>(hash >> (64 - partition_bits));
}

// Groups each chunk's local indices by the partition their hash falls in.
void group_by_partition(Chunk& chunk, size_t partitions, unsigned partition_bits) {
  chunk.partition_offsets.assign(partitions + 1, 0);
  for (const Distinct& d : chunk.distinct) ++chunk.partition_offsets[partition_of(d.hash, partition_bits) + 1];
  for (size_t p = 0; p < partitions; ++p) chunk.partition_offsets[p + 1] += chunk.partition_offsets[p];
  std::vector<size_t> next(chunk.partition_offsets.begin(), chunk.partition_offsets.end() - 1);
  chunk.by_partition.resize(chunk.distinct.size());
  for (size_t l = 0; l < chunk.distinct.size(); ++l) {
    chunk.by_partition[next[partition_of(chunk.distinct[l].hash, partition_bits)]++] = static_cast<uint32_t>(l);
  }
}

// Merges the chunks' distinct labels into the column's, numbering them 0..D-1 in `items` and
// recording each chunk's local-to-column numbering.
Outcome<std::vector<SortItem>> merge_chunks(std::vector<Chunk>& chunks, size_t threads) {
  size_t total = 0;
  for (const Chunk& chunk : chunks) total += chunk.distinct.size();
  const size_t partitions =
      total < min_partitioned_merge ? 1 : std::min(max_partitions, std::bit_ceil(threads * 8));
  const auto partition_bits = static_cast<unsigned>(std::countr_zero(partitions));

  CATENC_TRY(pool::for_range(chunks.size(), 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t k = lo; k < hi; ++k) {
      group_by_partition(chunks[k], partitions, partition_bits);
      chunks[k].global_of_local.resize(chunks[k].distinct.size());
    }
    return {};
  }));

  // Each partition task writes only the global_of_local entries of labels in its partition.
  std::vector<std::vector<Distinct>> merged(partitions);
  CATENC_TRY(pool::for_range(partitions, 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t p = lo; p < hi; ++p) {
      size_t expected = 0;
      for (const Chunk& chunk : chunks) {
        expected += chunk.partition_offsets[p + 1] - chunk.partition_offsets[p];
      }
      DistinctSet set(expected);
      for (Chunk& chunk : chunks) {
        for (size_t i = chunk.partition_offsets[p]; i < chunk.partition_offsets[p + 1]; ++i) {
          const uint32_t local = chunk.by_partition[i];
          const Distinct& d = chunk.distinct[local];
          chunk.global_of_local[local] = set.insert(d.label, d.hash);
        }
      }
      merged[p] = std::move(set).take_entries();
    }
    return {};
  }));

  std::vector<size_t> base(partitions + 1, 0);
  for (size_t p = 0; p < partitions; ++p) base[p + 1] = base[p] + merged[p].size();

  std::vector<SortItem> items(base[partitions]);
  CATENC_TRY(pool::for_range(partitions, 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t p = lo; p < hi; ++p) {
      for (size_t g = 0; g < merged[p].size(); ++g) {
        const Label label = merged[p][g].label;
        items[base[p] + g] = {sort_prefix(label), label, base[p] + g};
      }
    }
    return {};
  }));
  CATENC_TRY(pool::for_range(chunks.size(), 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t k = lo; k < hi; ++k) {
      Chunk& chunk = chunks[k];
      for (size_t l = 0; l < chunk.distinct.size(); ++l) {
        chunk.global_of_local[l] += base[partition_of(chunk.distinct[l].hash, partition_bits)];
      }
    }
    return {};
  }));
  return items;
}

}  // namespace

Outcome<LabelMap> label_encode_into(std::span<const Label> labels, double* out, size_t stride) {
  const size_t rows = labels.size();
  if (rows == 0) return LabelMap();
  CATENC_ASSIGN_OR_RETURN(const size_t threads, pool::current_num_threads());

  // Two chunks per thread let an idle thread take over a slow one; a lone thread has nobody to
  // balance with, and a second chunk would only cost a merge that hashes every label again.
  // Chunks never exceed 2^31 rows, so local slot numbers fit 32 bits.
  const size_t wanted_chunks = threads == 1 ? 1 : threads * 2;
  size_t chunk_count = std::min(wanted_chunks, std::max<size_t>(1, rows / min_chunk_rows));
  chunk_count = std::max(chunk_count, (rows >> 31) + 1);
  std::vector<Chunk> chunks(chunk_count);
  for (size_t k = 0; k < chunk_count; ++k) {
    chunks[k].begin = rows * k / chunk_count;
    chunks[k].end = rows * (k + 1) / chunk_count;
  }
  CATENC_TRY(pool::for_range(chunk_count, 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t k = lo; k < hi; ++k) CATENC_TRY(dedup_chunk(labels, chunks[k]));
    return {};
  }));

  std::vector<SortItem> items;
  if (chunk_count == 1) {
    const std::vector<Distinct>& distinct = chunks[0].distinct;
    items.resize(distinct.size());
    for (size_t l = 0; l < distinct.size(); ++l) {
      items[l] = {sort_prefix(distinct[l].label), distinct[l].label, l};
    }
  } else {
    CATENC_ASSIGN_OR_RETURN(items, merge_chunks(chunks, threads));
  }

  // A lambda rather than the function itself, so that the sort inlines the comparison instead of
  // calling through a pointer.
  const auto less = [](const SortItem& a, const SortItem& b) { return item_less(a, b); };
  CATENC_TRY(pool::sort_unstable(std::span<SortItem>(items), less));

  // Codes follow the sorted order; the markers take none and do not advance the count.
  std::vector<double> code_of_id(items.size());
  std::vector<Label> ascending(items.size());
  uint64_t next_code = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const Label label = items[i].label;
    ascending[i] = label;
    code_of_id[items[i].id] =
        is_missing_marker(label) ? missing_code() : static_cast<double>(next_code++);
  }
  items = {};

  CATENC_TRY(pool::for_range(chunk_count, 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t k = lo; k < hi; ++k) {
      Chunk& chunk = chunks[k];
      const double* code_of_local = code_of_id.data();
      if (chunk_count > 1) {
        chunk.code_of_local.resize(chunk.distinct.size());
        for (size_t l = 0; l < chunk.distinct.size(); ++l) {
          chunk.code_of_local[l] = code_of_id[chunk.global_of_local[l]];
        }
        code_of_local = chunk.code_of_local.data();
      }
      for (size_t r = chunk.begin; r < chunk.end; ++r) {
        out[r * stride] = code_of_local[chunk.slot_of_row[r - chunk.begin]];
      }
    }
    return {};
  }));

  return LabelMap(ascending);
}

Outcome<LabelEncoding> label_encode(std::span<const Label> labels) {
  LabelEncoding encoding;
  encoding.codes.resize(labels.size());
  CATENC_ASSIGN_OR_RETURN(encoding.labels,
                          label_encode_into(labels, encoding.codes.data(), 1));
  return encoding;
}

}  // namespace catenc
