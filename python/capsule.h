// The Arrow PyCapsule protocol: a tree's folders as a capsule that columnar
// tools take from `__arrow_c_stream__`.
#pragma once

#include <nanobind/nanobind.h>

#include "core/tree.h"

namespace tallmap::py {

// A capsule named "arrow_array_stream" holding a stream of one batch with
// every living folder of `tree`. The columns are built before it returns;
// a capsule dropped unread releases its stream. Needs the interpreter lock.
nanobind::object tree_stream_capsule(const Tree& tree);

}  // namespace tallmap::py
