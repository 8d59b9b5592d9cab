// UTF-8 at the system-call boundary. Wide text inside the program is UTF-16 in meaning;
// where wchar_t is 32 bits wide a unit may hold a whole code point, and surrogate pairs
// are accepted too.
#pragma once

#include <string>
#include <string_view>

namespace Platform {

// Encodes wide text as UTF-8. Unpaired surrogates become U+FFFD.
std::string EncodeUtf8(std::wstring_view text);

// Decodes UTF-8. A byte that does not start a well-formed sequence becomes U+FFFD, so
// text from the OS that is not UTF-8 still decodes to something of the same length order.
std::wstring DecodeUtf8(std::string_view text);

}  // namespace Platform
