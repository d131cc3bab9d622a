#include "python/capsule.h"

#include <memory>

#include "python/arrow_export.h"

namespace nb = nanobind;

namespace tallmap::py {

namespace {

constexpr const char* STREAM_CAPSULE = "arrow_array_stream";

// A consumer that imported the stream moved it out and cleared `release`;
// only the struct itself is left to free then.
void free_stream(void* p) noexcept {
  auto* stream = static_cast<ArrowArrayStream*>(p);
  if (stream->release) stream->release(stream);
  delete stream;
}

}  // namespace

nb::object tree_stream_capsule(const Tree& tree) {
  auto stream = std::make_unique<ArrowArrayStream>();
  export_tree_stream(tree, stream.get());
  ArrowArrayStream* raw = stream.release();
  try {
    return nb::capsule(raw, STREAM_CAPSULE, free_stream);
  } catch (...) {
    free_stream(raw);
    throw;
  }
}

}  // namespace tallmap::py
