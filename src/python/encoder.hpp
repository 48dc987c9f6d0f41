// The Encoder class: its instance layout and the once-per-process class object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "error.hpp"
#include "learned.hpp"

namespace catenc::py {

struct EncoderObject {
  PyObject_HEAD
      // What the last successful conversion in encode learned; null when untrained. Replaced only
      // under the exclusive hold and read only under a shared one.
      std::unique_ptr<Learned>
          learned;
  std::atomic<uint32_t> holds;
};

// The class, made on the first call and the same object for the life of the process.
PyResult<PyObject*> encoder_type();

}  // namespace catenc::py
