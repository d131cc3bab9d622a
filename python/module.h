// What the module's source files share: the Tree wrapper and helpers to
// add CPython-style functions and methods.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>

#include "core/tree.h"

namespace tallmap::py {

// The C++ side of a Python `Tree`.
struct PyTree {
  std::shared_ptr<const Tree> tree;
};

// New reference to a Python Tree wrapping `tree`.
PyObject* wrap_tree(std::shared_ptr<const Tree> tree);
// The tree of a Python Tree, or null with TypeError set: Tree.__new__ makes
// an instance that holds no tree.
const Tree* tree_of(PyObject* self);
std::shared_ptr<const Tree> tree_ptr_of(PyObject* self);
// A checked folder id of `tree`; nothing with a Python error set.
std::optional<FolderId> folder_arg(const Tree& tree, PyObject* obj);

bool add_functions(PyObject* module, PyMethodDef* defs);
bool add_methods(PyObject* type, PyMethodDef* defs);

// Adds `_cli`, the console script's entry.
bool register_cli(PyObject* module);

}  // namespace tallmap::py
