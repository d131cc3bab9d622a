// Conversions between Python objects and the core's values, shared by the
// module's source files. Every function here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"

namespace tallmap::py {

// New reference to the attribute `name` of module `module` (imported on
// first use, afterwards found in sys.modules).
PyObject* module_attr(const char* module, const char* name);

// os.fspath(obj) as raw bytes; nothing with a Python error set.
std::optional<std::string> path_arg(PyObject* obj);
// The same after `~` expansion through pathlib and os.path.expanduser.
std::optional<std::string> expanded_path_arg(PyObject* obj);

// Text from bytes: UTF-8 when valid, else the filesystem encoding with
// surrogate escapes. New reference.
PyObject* text_from_bytes(std::string_view bytes);
// pathlib.Path of `bytes` decoded as above. New reference.
PyObject* path_from_bytes(std::string_view bytes);

// Raises OSError(errnum, os.strerror(errnum), Path(path)); Python picks the
// subclass. Returns nullptr for `return raise_os_error(...)`.
PyObject* raise_os_error(int errnum, std::string_view path);
// Raises the OSError subclass that matches the error's number, with the
// error's text as message; plain OSError when there is no number.
PyObject* raise_error_by_kind(const Error& e);

// A folder id argument: int() of the object, 0 <= id < 2^32. Nothing with
// a Python error set.
std::optional<uint32_t> id_arg(PyObject* obj, const char* argname);

}  // namespace tallmap::py
