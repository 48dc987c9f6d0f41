// Dask DataFrames: tables that outgrow one machine, encoded on their own cluster with the codes of
// the whole table. The work on the partitions is the private module `_catenc_dask`'s, which runs
// them on whatever scheduler is in use; what the Encoder keeps is made here.
#pragma once

#include <memory>

#include "encoding_info.hpp"
#include "error.hpp"
#include "learned.hpp"

namespace catenc::py {

// Whether `obj` is a Dask DataFrame, told by its class's module: nothing of Dask is imported.
PyResult<bool> is_dask_frame(Borrowed obj);

struct DaskEncoding {
  std::unique_ptr<EncodingInfo> info;  // what encode(ddf.compute()) would learn
  Ref result;                          // the lazy frame of codes
};

// Learns the maps of `ddf` (computing a pass over its partitions) and makes the lazy result.
PyResult<DaskEncoding> encode_dask(Borrowed ddf);

// The lazy frame of labels of `ddf` by `learned`, or, with nothing learned, what encode_dask
// would give without keeping its maps.
PyResult<Ref> decode_dask(Borrowed ddf, const Learned* learned);

}  // namespace catenc::py
