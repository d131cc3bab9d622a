#include "python/pyutil.h"

#include <cerrno>
#include <cstring>

namespace tallmap::py {

PyObject* module_attr(const char* module, const char* name) {
  PyObject* mod = PyImport_ImportModule(module);
  if (!mod) return nullptr;
  PyObject* attr = PyObject_GetAttrString(mod, name);
  Py_DECREF(mod);
  return attr;
}

std::optional<std::string> path_arg(PyObject* obj) {
  PyObject* fs = PyOS_FSPath(obj);
  if (!fs) return std::nullopt;
  PyObject* bytes = nullptr;
  if (PyBytes_Check(fs)) {
    bytes = fs;
  } else {
    bytes = PyUnicode_EncodeFSDefault(fs);
    Py_DECREF(fs);
    if (!bytes) return std::nullopt;
  }
  std::string out(PyBytes_AS_STRING(bytes), size_t(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return out;
}

std::optional<std::string> expanded_path_arg(PyObject* obj) {
  PyObject* path_cls = module_attr("pathlib", "Path");
  if (!path_cls) return std::nullopt;
  // pathlib.Path refuses bytes; those go to expanduser as they are.
  PyObject* fs = PyOS_FSPath(obj);
  if (!fs) {
    Py_DECREF(path_cls);
    return std::nullopt;
  }
  PyObject* p = PyBytes_Check(fs) ? (Py_INCREF(fs), fs) : PyObject_CallOneArg(path_cls, fs);
  Py_DECREF(fs);
  Py_DECREF(path_cls);
  if (!p) return std::nullopt;
  PyObject* expand = module_attr("os.path", "expanduser");
  if (!expand) {
    Py_DECREF(p);
    return std::nullopt;
  }
  PyObject* expanded = PyObject_CallOneArg(expand, p);
  Py_DECREF(expand);
  Py_DECREF(p);
  if (!expanded) return std::nullopt;
  auto out = path_arg(expanded);
  Py_DECREF(expanded);
  return out;
}

PyObject* text_from_bytes(std::string_view bytes) {
  PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), Py_ssize_t(bytes.size()), "strict");
  if (s) return s;
  PyErr_Clear();
  return PyUnicode_DecodeFSDefaultAndSize(bytes.data(), Py_ssize_t(bytes.size()));
}

PyObject* path_from_bytes(std::string_view bytes) {
  PyObject* text = text_from_bytes(bytes);
  if (!text) return nullptr;
  PyObject* path_cls = module_attr("pathlib", "Path");
  if (!path_cls) {
    Py_DECREF(text);
    return nullptr;
  }
  PyObject* p = PyObject_CallOneArg(path_cls, text);
  Py_DECREF(path_cls);
  Py_DECREF(text);
  return p;
}

PyObject* raise_os_error(int errnum, std::string_view path) {
  PyObject* p = path_from_bytes(path);
  if (!p) return nullptr;
  PyObject* args = Py_BuildValue("(isN)", errnum, std::strerror(errnum), p);
  if (!args) return nullptr;
  PyObject* exc = PyObject_Call(PyExc_OSError, args, nullptr);
  Py_DECREF(args);
  if (!exc) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  Py_DECREF(exc);
  return nullptr;
}

PyObject* raise_error_by_kind(const Error& e) {
  if (e.code == 0) {
    PyErr_SetString(PyExc_OSError, e.text.c_str());
    return nullptr;
  }
  // OSError(errno, text) maps the number to its subclass; keep the message
  // as the error's own text.
  PyObject* args = Py_BuildValue("(is)", e.code, e.text.c_str());
  if (!args) return nullptr;
  PyObject* exc = PyObject_Call(PyExc_OSError, args, nullptr);
  Py_DECREF(args);
  if (!exc) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  Py_DECREF(exc);
  return nullptr;
}

std::optional<uint32_t> id_arg(PyObject* obj, const char* argname) {
  PyObject* n = PyNumber_Long(obj);
  if (!n) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      PyObject* msg = value ? PyObject_Str(value) : nullptr;
      if (msg)
        PyErr_Format(PyExc_TypeError, "argument '%s': %U", argname, msg);
      else
        PyErr_Format(PyExc_TypeError, "argument '%s': not an integer", argname);
      Py_XDECREF(msg);
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
    }
    return std::nullopt;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
  Py_DECREF(n);
  if (v == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow < 0 || (overflow == 0 && v < 0)) {
    PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
    return std::nullopt;
  }
  if (overflow > 0 || v > 0xFFFFFFFFll) {
    PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
    return std::nullopt;
  }
  return uint32_t(v);
}

}  // namespace tallmap::py
