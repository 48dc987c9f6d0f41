// Label sets (label_set.hpp) as Python objects: a pair of bytes and an int64 array of offsets, the
// plain data that carries a column's labels between the processes that hold a table's partitions.
#pragma once

#include "error.hpp"
#include "label_map.hpp"
#include "label_set.hpp"

namespace catenc::py {

// A set received as (bytes, offsets), checked and viewed where its buffers lie (offsets that
// arrive unaligned, as deserialised buffers may, are copied once); the buffers are held while the
// view is used. `labels_checked` false checks the layout alone (LabelSpan::valid_layout).
struct ReceivedSet {
  Ref bytes;
  Ref offsets;
  LabelSpan span;
};
PyResult<ReceivedSet> received_set(PyObject* pair, bool labels_checked = true);

// (bytes, offsets) of a set.
PyResult<Ref> set_object(const LabelSetBuffers& set);
// (bytes, offsets) of every label of a label map, ascending, markers included.
PyResult<Ref> set_object(const LabelMap& map);

}  // namespace catenc::py
