// How texts travel into the page's scripts.
#pragma once

#include <string>
#include <string_view>

namespace kestrill {

// Percent-encoding for appendChat: ASCII letters, digits and ! $ ' ( ) * - . @ _ as they are, a
// space as "+", every other byte "%XX" (upper-case hex) of its UTF-8 form. The result holds no
// quote, backslash or line break, so it can stand inside any script string.
std::string EncodeForPage(std::string_view AText);

// AText as a double-quoted JavaScript/JSON string literal: " \ / BS TAB LF FF CR escaped; every
// other character as it is.
std::string EscapeForJS(std::string_view AText);

}  // namespace kestrill
