#include "text_views_column.hpp"

#include <span>
#include <string>

#include "float_text.hpp"
#include "label_encode.hpp"
#include "pool.hpp"

namespace catenc {

namespace {

class TextViewsWork final : public ColumnWork {
 public:
  explicit TextViewsWork(TextViewsSource source) : source_(std::move(source)) {}

  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    std::vector<Label>& views = source_.views;
    const std::vector<uint8_t>& nulls = source_.nulls;
    const size_t rows = views.size();
    const auto is_null = [&](size_t r) { return !nulls.empty() && nulls[r] != 0; };
    // Every text is a non-number; a null row is one unless its object converts to a float.
    size_t first = 0;
    if (source_.null.is_number) {
      while (first < rows && is_null(first)) ++first;
    }
    const std::optional<size_t> split = split_at(first, rows);
    if (!split) {
      CATENC_TRY(pool::for_range(rows, 1 << 16, [&](size_t lo, size_t hi) -> Status {
        for (size_t r = lo; r < hi; ++r) out[r * stride] = source_.null.number;
        return {};
      }));
      return std::optional<LabelMap>();
    }
    // A null number before the split takes its float text, one after it its str().
    const std::string leading = source_.null.is_number ? float_text(source_.null.number) : source_.null.text;
    const Label after(source_.null.text);
    for (size_t r = 0; r < rows && !nulls.empty(); ++r) {
      if (nulls[r] != 0) views[r] = r < *split ? Label(leading) : after;
    }
    CATENC_ASSIGN_OR_RETURN(LabelMap map, label_encode_into(std::span<const Label>(views), out, stride));
    return std::optional<LabelMap>(std::move(map));
  }

 private:
  TextViewsSource source_;
};

}  // namespace

std::unique_ptr<ColumnWork> text_views_work(TextViewsSource source) {
  return std::make_unique<TextViewsWork>(std::move(source));
}

}  // namespace catenc
