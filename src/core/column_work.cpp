#include "column_work.hpp"

#include "label_encode.hpp"
#include "pool.hpp"

namespace catenc {

namespace {

class PackedLabelsWork final : public ColumnWork {
 public:
  explicit PackedLabelsWork(PackedLabels labels) : labels_(std::move(labels)) {}
  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    CATENC_ASSIGN_OR_RETURN(LabelMap map, label_encode_into(std::move(labels_), out, stride));
    return std::optional<LabelMap>(std::move(map));
  }

 private:
  PackedLabels labels_;
};

}  // namespace

std::unique_ptr<ColumnWork> packed_labels_work(PackedLabels labels) {
  return std::make_unique<PackedLabelsWork>(std::move(labels));
}

Status run_column_works(std::span<std::unique_ptr<ColumnWork>> works,
                        std::span<std::optional<LabelMap>> maps, Table& table, EncodingInfo& info) {
  CATENC_TRY(pool::for_range(works.size(), 1, [&](size_t lo, size_t hi) -> Status {
    for (size_t c = lo; c < hi; ++c) {
      if (!works[c]) continue;
      double* out = table.data() + c * table.column_stride();
      CATENC_ASSIGN_OR_RETURN(std::optional<LabelMap> map, works[c]->run(out, table.row_stride()));
      maps[c] = std::move(map);
      // Done with its buffers: a column's memory goes as soon as it is encoded.
      works[c].reset();
    }
    return {};
  }));
  for (size_t c = 0; c < maps.size(); ++c) {
    if (maps[c]) info.add_column(c, std::move(*maps[c]));
  }
  return {};
}

}  // namespace catenc
