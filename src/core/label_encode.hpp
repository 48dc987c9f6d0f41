// Label encoding of one column: its distinct labels sorted byte-wise and numbered from 0, the
// missing markers left without a code. Only the results are fixed; they do not depend on the
// number of threads.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "arrow_text_column.hpp"
#include "big_vector.hpp"
#include "label_map.hpp"
#include "label_source.hpp"
#include "result.hpp"
#include "vocabulary_index.hpp"

namespace catenc {

// Writes the code of labels[i] to out[i * stride] (code k as the double k, a missing marker as
// the missing NaN) and returns the column's label map. Fails only when memory or the pool fails.
//
// Given a vocabulary `known` (the labels of a whole table, of which these rows are a part), the
// codes written are the vocabulary's, nothing is sorted, and the map returned is empty; a label
// that the vocabulary lacks fails the encoding.
Outcome<LabelMap> label_encode_into(std::span<const Label> labels, double* out, size_t stride,
                                    const VocabularyIndex* known = nullptr);

// The same, freeing the offsets of `labels` as soon as they are no longer read (the distinct
// labels go on viewing the bytes), so that the input and the encoding's own work are not held at
// once.
Outcome<LabelMap> label_encode_into(PackedLabels&& labels, double* out, size_t stride,
                                    const VocabularyIndex* known = nullptr);

// The same for an Arrow string column read in place.
Outcome<LabelMap> label_encode_into(const ArrowTextLabels& labels, double* out, size_t stride,
                                    const VocabularyIndex* known = nullptr);

struct LabelEncoding {
  std::vector<double> codes;
  LabelMap labels;
};

// The same, with the codes in a vector of their own.
Outcome<LabelEncoding> label_encode(std::span<const Label> labels);

}  // namespace catenc
