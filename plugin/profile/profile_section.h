// Whether a profile document's text changed only inside one section (an element under the root),
// as a save must: the profile holds the user's whole machine set-up.
#pragma once

#include <string_view>

namespace kv {

// True when `after` differs from `before` only in the element `section` (changed, added or
// removed, with the white space of its layout).
bool ChangesOnlySection(std::string_view before, std::string_view after, std::string_view section);

}  // namespace kv
