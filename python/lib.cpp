// The extension module: module functions and the Tree class.
//
// Functions and methods are plain CPython method definitions so that their
// docstrings carry the signature block from which Python derives
// `__text_signature__`; nanobind holds the classes and their instances.

#include <nanobind/nanobind.h>
#include <nanobind/stl/shared_ptr.h>

#include "app/volumes.h"
#include "core/labels.h"
#include "core/read.h"
#include "core/scan.h"
#include "core/store.h"
#include "python/capsule.h"
#include "python/module.h"
#include "python/pyutil.h"
#include "python/values.h"

namespace nb = nanobind;
using namespace tallmap;
using namespace tallmap::py;

namespace tallmap::py {

PyObject* wrap_tree(std::shared_ptr<const Tree> tree) {
  nb::object obj = nb::cast(PyTree{std::move(tree)});
  return obj.release().ptr();
}

static const std::shared_ptr<const Tree>* held_tree(PyObject* self) {
  if (nb::inst_ready(self)) {
    const std::shared_ptr<const Tree>& tree = nb::inst_ptr<PyTree>(self)->tree;
    if (tree) return &tree;
  }
  PyErr_SetString(PyExc_TypeError, "this Tree holds no scan; trees come from scan() and load()");
  return nullptr;
}

const Tree* tree_of(PyObject* self) {
  const std::shared_ptr<const Tree>* held = held_tree(self);
  return held ? held->get() : nullptr;
}

std::shared_ptr<const Tree> tree_ptr_of(PyObject* self) {
  const std::shared_ptr<const Tree>* held = held_tree(self);
  return held ? *held : nullptr;
}

std::optional<FolderId> folder_arg(const Tree& tree, PyObject* obj) {
  std::optional<uint32_t> id = id_arg(obj, "id");
  if (!id) return std::nullopt;
  if (check_ref(tree, FolderRef{*id, 0})) {
    PyErr_Format(PyExc_IndexError, "no folder %u", unsigned(*id));
    return std::nullopt;
  }
  return *id;
}

}  // namespace tallmap::py

namespace {

// ---- module functions --------------------------------------------------

PyObject* py_scan(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"path", "threads", nullptr};
  PyObject* path_obj;
  PyObject* threads_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:scan", const_cast<char**>(kwlist),
                                   &path_obj, &threads_obj))
    return nullptr;
  std::optional<std::string> path = expanded_path_arg(path_obj);
  if (!path) return nullptr;
  ScanOptions options;
  if (threads_obj != Py_None) {
    if (!PyLong_Check(threads_obj)) {
      PyErr_Format(PyExc_TypeError, "argument 'threads': expected int or None, not %s",
                   Py_TYPE(threads_obj)->tp_name);
      return nullptr;
    }
    std::optional<uint32_t> n = id_arg(threads_obj, "threads");
    if (!n) return nullptr;
    if (*n > 0) options.threads = *n;
  }
  std::optional<Result<std::shared_ptr<Tree>, ScanError>> result;
  Py_BEGIN_ALLOW_THREADS
  result.emplace(scan_once(*path, options));
  Py_END_ALLOW_THREADS
  if (!result->ok()) {
    const ScanError& e = result->error();
    if (e.kind == ScanError::Kind::Io) return raise_os_error(e.errnum, *path);
    PyErr_SetString(PyExc_OSError, e.text().c_str());
    return nullptr;
  }
  return wrap_tree(std::move(result->value()));
}

PyObject* py_load(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"path", nullptr};
  PyObject* path_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:load", const_cast<char**>(kwlist), &path_obj))
    return nullptr;
  std::optional<std::string> path = expanded_path_arg(path_obj);
  if (!path) return nullptr;
  std::optional<Result<std::shared_ptr<Tree>>> loaded;
  Py_BEGIN_ALLOW_THREADS
  loaded.emplace(read_scan_file(*path));
  Py_END_ALLOW_THREADS
  if (!loaded->ok()) {
    const Error& e = loaded->error();
    if (!is_invalid_data(e)) return raise_error_by_kind(e);
    PyObject* text = text_from_bytes(*path);
    if (!text) return nullptr;
    PyErr_Format(PyExc_ValueError, "%U: %s", text, e.text.c_str());
    Py_DECREF(text);
    return nullptr;
  }
  return wrap_tree(std::move(loaded->value()));
}

PyObject* py_mounts(PyObject*, PyObject*) {
  std::optional<Result<std::vector<Mount>>> listed;
  Py_BEGIN_ALLOW_THREADS
  listed.emplace(list_mounts());
  Py_END_ALLOW_THREADS
  if (!listed->ok()) return raise_error_by_kind(listed->error());
  try {
    nb::list out;
    for (const Mount& mount : listed->value()) out.append(make_mount(mount));
    return out.release().ptr();
  } catch (nb::python_error& e) {
    e.restore();
    return nullptr;
  }
}

// ---- Tree methods ------------------------------------------------------

#define TREE_AND_ID(self, arg)                         \
  const Tree* tree_ = tree_of(self);                   \
  if (!tree_) return nullptr;                          \
  const Tree& tree = *tree_;                           \
  std::optional<FolderId> id_ = folder_arg(tree, arg); \
  if (!id_) return nullptr;                            \
  FolderId id = *id_

PyObject* tree_name(PyObject* self, PyObject* arg) {
  TREE_AND_ID(self, arg);
  return text_from_bytes(name(tree, id));
}

PyObject* tree_path(PyObject* self, PyObject* arg) {
  TREE_AND_ID(self, arg);
  return path_from_bytes(path(tree, id));
}

PyObject* tree_size(PyObject* self, PyObject* arg) {
  TREE_AND_ID(self, arg);
  return PyLong_FromUnsignedLongLong(size(tree, id));
}

PyObject* tree_own(PyObject* self, PyObject* arg) {
  TREE_AND_ID(self, arg);
  return PyLong_FromUnsignedLongLong(own(tree, id));
}

PyObject* tree_error(PyObject* self, PyObject* arg) {
  TREE_AND_ID(self, arg);
  std::optional<std::string> e = error(tree, id);
  if (!e) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(e->data(), Py_ssize_t(e->size()));
}

PyObject* tree_partial(PyObject* self, PyObject* arg) {
  TREE_AND_ID(self, arg);
  return PyBool_FromLong(partial(tree, id));
}

PyObject* tree_other_device(PyObject* self, PyObject* arg) {
  TREE_AND_ID(self, arg);
  return PyBool_FromLong(other_device(tree, id));
}

PyObject* tree_children(PyObject* self, PyObject* arg) {
  TREE_AND_ID(self, arg);
  std::span<const FolderId> kids = children(tree, id);
  PyObject* list = PyList_New(Py_ssize_t(kids.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < kids.size(); i++) {
    PyObject* n = PyLong_FromUnsignedLong(kids[i]);
    if (!n) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, Py_ssize_t(i), n);
  }
  return list;
}

PyObject* tree_find(PyObject* self, PyObject* arg) {
  const Tree* tree = tree_of(self);
  if (!tree) return nullptr;
  std::optional<std::string> p = path_arg(arg);
  if (!p) return nullptr;
  std::optional<FolderId> id = find(*tree, *p);
  if (!id) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*id);
}

PyObject* tree_files(PyObject* self, PyObject* arg) {
  std::shared_ptr<const Tree> keep = tree_ptr_of(self);
  if (!keep) return nullptr;
  const Tree& tree = *keep;
  std::optional<FolderId> id = folder_arg(tree, arg);
  if (!id) return nullptr;
  std::optional<Result<std::vector<FileEntry>>> listed;
  Py_BEGIN_ALLOW_THREADS
  listed.emplace(files(tree, *id));
  Py_END_ALLOW_THREADS
  if (!listed->ok()) return raise_os_error(listed->error().code, path(tree, *id));
  const std::vector<FileEntry>& entries = listed->value();
  PyObject* list = PyList_New(Py_ssize_t(entries.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < entries.size(); i++) {
    PyObject* item = Py_BuildValue("(NK)", text_from_bytes(entries[i].name),
                                   (unsigned long long)entries[i].size);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, Py_ssize_t(i), item);
  }
  return list;
}

PyObject* tree_largest_files(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"n", nullptr};
  PyObject* n_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:largest_files", const_cast<char**>(kwlist),
                                   &n_obj))
    return nullptr;
  size_t n = 100;
  if (n_obj) {
    if (!PyLong_Check(n_obj)) {
      PyErr_Format(PyExc_TypeError, "argument 'n': expected int, not %s",
                   Py_TYPE(n_obj)->tp_name);
      return nullptr;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n_obj, &overflow);
    if (v == -1 && PyErr_Occurred()) return nullptr;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
      PyErr_SetString(PyExc_OverflowError, "can't convert negative int to unsigned");
      return nullptr;
    }
    n = overflow > 0 ? SIZE_MAX : size_t(v);
  }
  const Tree* tree = tree_of(self);
  if (!tree) return nullptr;
  std::vector<PathSize> files = largest_files(*tree, n);
  PyObject* list = PyList_New(Py_ssize_t(files.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < files.size(); i++) {
    PyObject* item = Py_BuildValue("(NK)", path_from_bytes(files[i].path),
                                   (unsigned long long)files[i].size);
    if (!item) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, Py_ssize_t(i), item);
  }
  return list;
}

PyObject* tree_save(PyObject* self, PyObject* arg) {
  std::shared_ptr<const Tree> keep = tree_ptr_of(self);
  if (!keep) return nullptr;
  std::optional<std::string> path = expanded_path_arg(arg);
  if (!path) return nullptr;
  std::optional<Error> failed;
  Py_BEGIN_ALLOW_THREADS
  failed = write_scan_file(*keep, *path);
  Py_END_ALLOW_THREADS
  if (failed) return raise_error_by_kind(*failed);
  Py_RETURN_NONE;
}

PyObject* tree_label(PyObject* self, PyObject* arg) {
  std::shared_ptr<const Tree> keep = tree_ptr_of(self);
  if (!keep) return nullptr;
  std::optional<FolderId> id = folder_arg(*keep, arg);
  if (!id) return nullptr;
  std::optional<Label> found;
  Py_BEGIN_ALLOW_THREADS
  found = label(*keep, *id);
  Py_END_ALLOW_THREADS
  if (!found) Py_RETURN_NONE;
  try {
    return make_label(*found).release().ptr();
  } catch (nb::python_error& e) {
    e.restore();
    return nullptr;
  }
}

PyObject* tree_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;  // accepted and ignored: the schema is fixed
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                   const_cast<char**>(kwlist), &requested))
    return nullptr;
  const Tree* tree = tree_of(self);
  if (!tree) return nullptr;
  try {
    return tree_stream_capsule(*tree).release().ptr();
  } catch (nb::python_error& e) {
    e.restore();
    return nullptr;
  } catch (std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* tree_stopped(PyObject* self, PyObject*) {
  const Tree* tree = tree_of(self);
  if (!tree) return nullptr;
  return PyBool_FromLong(tree->stopped());
}

PyObject* tree_repr(PyObject* self) {
  const Tree* tree = tree_of(self);
  if (!tree) return nullptr;
  PyObject* p = text_from_bytes(path(*tree, 0));
  if (!p) return nullptr;
  PyObject* r = PyUnicode_FromFormat("<Tree %U %llu bytes>", p,
                                     (unsigned long long)size(*tree, 0));
  Py_DECREF(p);
  return r;
}

PyMethodDef module_functions[] = {
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_scan)),
     METH_VARARGS | METH_KEYWORDS,
     "scan(path, threads=None)\n--\n\nScans `path` with `threads` threads, or as many as help, "
     "with the GIL\nreleased."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_load)),
     METH_VARARGS | METH_KEYWORDS,
     "load(path)\n--\n\nThe scan `Tree.save` wrote to `path` (`~` expanded). `ValueError` if\n"
     "the file is not one, or is of another version of tallmap."},
    {"mounts", py_mounts, METH_NOARGS, "mounts()\n--\n\nEvery mounted filesystem, with its sizes."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef tree_methods[] = {
    {"name", tree_name, METH_O, "name($self, id)\n--\n\n"},
    {"path", tree_path, METH_O, "path($self, id)\n--\n\n"},
    {"size", tree_size, METH_O, "size($self, id)\n--\n\n"},
    {"own", tree_own, METH_O, "own($self, id)\n--\n\n"},
    {"error", tree_error, METH_O, "error($self, id)\n--\n\n"},
    {"partial", tree_partial, METH_O, "partial($self, id)\n--\n\n"},
    {"other_device", tree_other_device, METH_O, "other_device($self, id)\n--\n\n"},
    {"children", tree_children, METH_O, "children($self, id)\n--\n\n"},
    {"find", tree_find, METH_O, "find($self, path)\n--\n\n"},
    {"files", tree_files, METH_O,
     "files($self, id)\n--\n\nListed from disk now, as the tree keeps only folder totals."},
    {"largest_files",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_largest_files)),
     METH_VARARGS | METH_KEYWORDS, "largest_files($self, n=100)\n--\n\n"},
    {"label", tree_label, METH_O,
     "label($self, id)\n--\n\nWhat folder `id` is, if a rule knows it, by its name and a look at\n"
     "the disk now."},
    {"save", tree_save, METH_O,
     "save($self, path)\n--\n\nSaves the scan as the file `path` (`~` expanded), over any file\n"
     "there, for `tallmap.load`."},
    {"stopped", tree_stopped, METH_NOARGS, "stopped($self)\n--\n\n"},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tree_arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\nEvery folder as a row, for "
     "`pyarrow.table(tree)`, polars, duckdb."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

namespace tallmap::py {

bool add_functions(PyObject* module, PyMethodDef* defs) {
  PyObject* modname = PyModule_GetNameObject(module);
  if (!modname) return false;
  for (PyMethodDef* d = defs; d->ml_name; d++) {
    PyObject* f = PyCFunction_NewEx(d, nullptr, modname);
    if (!f || PyModule_AddObject(module, d->ml_name, f) < 0) {
      Py_XDECREF(f);
      Py_DECREF(modname);
      return false;
    }
  }
  Py_DECREF(modname);
  return true;
}

bool add_methods(PyObject* type, PyMethodDef* defs) {
  for (PyMethodDef* d = defs; d->ml_name; d++) {
    PyObject* m = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), d);
    if (!m || PyObject_SetAttrString(type, d->ml_name, m) < 0) {
      Py_XDECREF(m);
      return false;
    }
    Py_DECREF(m);
  }
  return true;
}

}  // namespace tallmap::py

NB_MODULE(tallmap, m) {
  if (!add_functions(m.ptr(), module_functions)) throw nb::python_error();
  if (!register_cli(m.ptr())) throw nb::python_error();
  auto tree_cls = nb::class_<PyTree>(m, "Tree", "A scanned tree. Every method takes a folder id.");
  if (!add_methods(tree_cls.ptr(), tree_methods)) throw nb::python_error();
  register_values(m);
  tree_cls.def("__repr__", [](nb::handle self) { return nb::steal(tree_repr(self.ptr())); });
  nb::list all;
  for (const char* n : {"scan", "live", "load", "mounts", "_cli", "Tree", "Mount", "Label",
                        "Tier", "Event", "Reason", "Live"})
    if (nb::hasattr(m, n)) all.append(n);
  m.attr("__all__") = all;
}
