#include "python/values.h"

#include <nanobind/stl/string.h>

#include <cstdio>
#include <string>

#include "core/utf8.h"
#include "python/pyutil.h"

namespace nb = nanobind;

namespace tallmap::py {

namespace {

struct TierValue {
  Tier tier;
};
struct ReasonValue {
  Reason reason;
};
struct LabelValue {
  Tier tier;
  std::string text;
  std::string why;
};
struct MountValue {
  Mount mount;
};

constexpr Tier TIERS[] = {Tier::System, Tier::Cache, Tier::Known};

const char* tier_name(Tier t) {
  switch (t) {
    case Tier::System: return "System";
    case Tier::Cache: return "Cache";
    case Tier::Known: return "Known";
  }
  return "?";
}

nb::str str_of(const std::string& utf8) { return nb::str(utf8.data(), utf8.size()); }

// The code point of the UTF-8 sequence at `i` of valid text; advances `i`.
char32_t decode(std::string_view s, size_t& i) {
  const uint8_t lead = uint8_t(s[i]);
  size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t c = len == 1 ? lead : lead & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) c = (c << 6) | (uint8_t(s[i + k]) & 0x3F);
  i += len;
  return c;
}

// Equality only with the same class; anything else is Python's business.
template <class T, class Eq>
nb::object compare(const T& a, nb::handle b, bool equal, Eq eq) {
  if (!nb::isinstance<T>(b)) return nb::not_implemented();
  return nb::bool_(eq(a, nb::cast<const T&>(b)) == equal);
}

template <class T, class Eq>
void def_equality(nb::class_<T>& cls, Eq eq) {
  cls.def("__eq__", [eq](const T& a, nb::handle b) { return compare(a, b, true, eq); });
  cls.def("__ne__", [eq](const T& a, nb::handle b) { return compare(a, b, false, eq); });
}

std::string label_repr(const LabelValue& l) {
  return "Label(tier=Tier." + std::string(tier_name(l.tier)) + ", text=" + quoted(l.text) +
         ", why=" + quoted(l.why) + ")";
}

std::string mount_repr(const Mount& m) {
  return "Mount(point=" + quoted(m.point) + ", fs=" + quoted(m.fs) +
         ", hidden=" + (m.hidden ? "True" : "False") + ", total=" + std::to_string(m.total) +
         ", used=" + std::to_string(m.used) + ", free=" + std::to_string(m.free) + ")";
}

nb::object steal_or_throw(PyObject* obj) {
  if (!obj) throw nb::python_error();
  return nb::steal(obj);
}

void register_tier(nb::module_& m) {
  nb::class_<TierValue> cls(m, "Tier",
                            "How safe deleting a labelled folder is. Mirrors the core type "
                            "`Tier` of the label rules.");
  cls.def("__repr__", [](const TierValue& t) { return "Tier." + std::string(tier_name(t.tier)); });
  cls.def("__str__", [](const TierValue& t) { return "Tier." + std::string(tier_name(t.tier)); });
  cls.def("__int__", [](const TierValue& t) { return int(t.tier); });
  def_equality(cls, [](const TierValue& a, const TierValue& b) { return a.tier == b.tier; });
  cls.def("__hash__", [](const TierValue& t) { return nb::hash(nb::int_(int(t.tier))); });
  for (Tier t : TIERS)
    cls.def_prop_ro_static(tier_name(t), [t](nb::handle) { return make_tier(t); });
}

void register_reason(nb::module_& m) {
  nb::class_<ReasonValue> cls(m, "Reason",
                              "Why changes may have been missed. Mirrors the core type `Reason` "
                              "of the live scan; `str()` gives the reason in words.");
  cls.def("__repr__", [](const ReasonValue& r) {
    return "Reason." + std::string(reason_name(r.reason));
  });
  cls.def("__str__", [](const ReasonValue& r) { return std::string(reason_text(r.reason)); });
  cls.def("__int__", [](const ReasonValue& r) { return int(r.reason); });
  def_equality(cls,
               [](const ReasonValue& a, const ReasonValue& b) { return a.reason == b.reason; });
  cls.def("__hash__", [](const ReasonValue& r) { return nb::hash(nb::int_(int(r.reason))); });
  for (Reason r : REASONS)
    cls.def_prop_ro_static(reason_name(r).data(), [r](nb::handle) { return make_reason(r); });
}

void register_label(nb::module_& m) {
  nb::class_<LabelValue> cls(m, "Label",
                             "What a folder is and how to clean it up. Mirrors the core type "
                             "`Label` of the label rules.");
  cls.def_prop_ro("tier", [](const LabelValue& l) { return make_tier(l.tier); },
                  "How safe deleting the folder is.");
  cls.def_prop_ro("text", [](const LabelValue& l) { return str_of(l.text); },
                  "The short label shown for the folder.");
  cls.def_prop_ro("why", [](const LabelValue& l) { return str_of(l.why); },
                  "What the folder is and how it can be cleaned up.");
  cls.def("__repr__", [](const LabelValue& l) { return str_of(label_repr(l)); });
  def_equality(cls, [](const LabelValue& a, const LabelValue& b) {
    return a.tier == b.tier && a.text == b.text && a.why == b.why;
  });
  cls.def("__hash__", [](const LabelValue& l) {
    return nb::hash(nb::make_tuple(int(l.tier), str_of(l.text), str_of(l.why)));
  });
}

void register_mount(nb::module_& m) {
  nb::class_<MountValue> cls(m, "Mount",
                             "A mounted filesystem. Mirrors the core type `Mount` of the "
                             "volume list.");
  cls.def_prop_ro("point",
                  [](const MountValue& v) { return steal_or_throw(path_from_bytes(v.mount.point)); },
                  "The mount point.");
  cls.def_prop_ro("fs", [](const MountValue& v) { return str_of(lossy_utf8(v.mount.fs)); },
                  "The filesystem type.");
  cls.def_prop_ro("hidden", [](const MountValue& v) { return v.mount.hidden; },
                  "Whether the volume list hides this mount by default.");
  cls.def_prop_ro("total", [](const MountValue& v) { return v.mount.total; },
                  "Size of the filesystem in bytes.");
  cls.def_prop_ro("used", [](const MountValue& v) { return v.mount.used; }, "Bytes in use.");
  cls.def_prop_ro("free", [](const MountValue& v) { return v.mount.free; }, "Bytes available.");
  cls.def("__repr__", [](const MountValue& v) { return str_of(mount_repr(v.mount)); });
  def_equality(cls, [](const MountValue& a, const MountValue& b) { return a.mount == b.mount; });
  cls.def("__hash__", [](const MountValue& v) {
    const Mount& x = v.mount;
    return nb::hash(nb::make_tuple(nb::bytes(x.point.data(), x.point.size()),
                                   nb::bytes(x.fs.data(), x.fs.size()), x.hidden, x.total,
                                   x.used, x.free));
  });
}

}  // namespace

std::string quoted(std::string_view text) {
  const std::string valid = lossy_utf8(text);
  std::string out = "\"";
  for (size_t i = 0; i < valid.size();) {
    const size_t start = i;
    const char32_t c = decode(valid, i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
    }
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", unsigned(c));
      out += buf;
    } else {
      out.append(valid, start, i - start);
    }
  }
  out += '"';
  return out;
}

void register_values(nb::module_& m) {
  register_mount(m);
  register_label(m);
  register_tier(m);
  register_reason(m);
}

nb::object make_tier(Tier tier) { return nb::cast(TierValue{tier}); }

nb::object make_reason(Reason reason) { return nb::cast(ReasonValue{reason}); }

nb::object make_label(const Label& label) {
  return nb::cast(LabelValue{label.tier, std::string(label.text), std::string(label.why)});
}

nb::object make_mount(const Mount& mount) { return nb::cast(MountValue{mount}); }

}  // namespace tallmap::py
