// Why a live scan may have missed changes below a folder.
#pragma once

#include <cstdint>
#include <string_view>

namespace tallmap {

enum class Reason : uint8_t { Dropped, IdsWrapped, RootMoved, NoReplay, MustScan };

inline constexpr Reason REASONS[] = {Reason::Dropped, Reason::IdsWrapped, Reason::RootMoved,
                                     Reason::NoReplay, Reason::MustScan};

// The member's name, as Python shows it after "Reason.".
constexpr std::string_view reason_name(Reason r) {
  switch (r) {
    case Reason::Dropped: return "Dropped";
    case Reason::IdsWrapped: return "IdsWrapped";
    case Reason::RootMoved: return "RootMoved";
    case Reason::NoReplay: return "NoReplay";
    case Reason::MustScan: return "MustScan";
  }
  return "?";
}

// The reason in words, for people.
constexpr std::string_view reason_text(Reason r) {
  switch (r) {
    case Reason::Dropped: return "the OS dropped change events";
    case Reason::IdsWrapped: return "macOS event ids wrapped";
    case Reason::RootMoved: return "the scanned dir moved";
    case Reason::NoReplay:
      return "macOS did not replay the changes made while scanning within 30 s";
    case Reason::MustScan: return "the OS asked to scan it again";
  }
  return "?";
}

}  // namespace tallmap
