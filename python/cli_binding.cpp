// The module function behind the `tallmap` console script.

#include <Python.h>

#include <string>
#include <vector>

#include "app/cli.h"
#include "python/module.h"
#include "python/pyutil.h"

namespace {

// sys.argv as raw bytes, each element taken like a path argument.
std::optional<std::vector<std::string>> argv_bytes() {
  PyObject* argv = PySys_GetObject("argv");  // borrowed
  if (!argv) {
    PyErr_SetString(PyExc_RuntimeError, "sys.argv is not set");
    return std::nullopt;
  }
  if (PyUnicode_Check(argv) || !PySequence_Check(argv)) {
    PyErr_Format(PyExc_TypeError, "sys.argv must be a sequence of strings, not %s",
                 Py_TYPE(argv)->tp_name);
    return std::nullopt;
  }
  PyObject* items = PySequence_Fast(argv, "sys.argv must be a sequence of strings");
  if (!items) return std::nullopt;
  std::vector<std::string> args;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  for (Py_ssize_t i = 0; i < n; i++) {
    std::optional<std::string> arg =
        tallmap::py::path_arg(PySequence_Fast_GET_ITEM(items, i));
    if (!arg) {
      Py_DECREF(items);
      return std::nullopt;
    }
    args.push_back(std::move(*arg));
  }
  Py_DECREF(items);
  return args;
}

PyObject* py_cli(PyObject*, PyObject*) {
  std::optional<std::vector<std::string>> args = argv_bytes();
  if (!args) return nullptr;
  int status;
  Py_BEGIN_ALLOW_THREADS
  status = tallmap::run_cli(std::move(*args));
  Py_END_ALLOW_THREADS
  return PyLong_FromLong(status);
}

PyMethodDef cli_functions[] = {
    {"_cli", py_cli, METH_NOARGS,
     "_cli()\n--\n\nThe `tallmap` console script: the command line, from `sys.argv`."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

namespace tallmap::py {

bool register_cli(PyObject* module) { return add_functions(module, cli_functions); }

}  // namespace tallmap::py
