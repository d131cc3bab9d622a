// The small read-only value classes of the module: Tier, Reason, Label and
// Mount. None can be constructed from Python; the module makes them.
#pragma once

#include <nanobind/nanobind.h>

#include "app/volumes.h"
#include "core/labels.h"
#include "core/reason.h"

namespace tallmap::py {

// Adds the classes Mount, Label, Tier and Reason to `m`, in that order.
void register_values(nanobind::module_& m);

// Members are made on demand (class attributes are static properties), so
// they compare and hash by value; holding them in the class would make a
// reference cycle through the type that outlives the interpreter.
nanobind::object make_tier(Tier tier);
nanobind::object make_reason(Reason reason);
nanobind::object make_label(const Label& label);
nanobind::object make_mount(const Mount& mount);

// `text` in double quotes for a repr: backslash before " and \, control
// characters as \n, \r, \t or \u{hex}. Invalid UTF-8 becomes U+FFFD.
std::string quoted(std::string_view text);

}  // namespace tallmap::py
