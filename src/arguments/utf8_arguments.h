#pragma once

#include <string>
#include <string_view>

// Hosts other than Windows hand the process its arguments as bytes, normally UTF-8; the tool
// works on UTF-16 units as Windows hands them out. A valid sequence becomes its code point
// (a surrogate pair above U+FFFF); every byte that does not start a valid sequence becomes
// U+FFFD on its own, so no input is ever dropped or merged with its neighbours.
std::u16string DecodeUtf8Argument(std::string_view bytes);

// The way back, for arguments handed on to another program: each code point as UTF-8; a lone
// surrogate, which UTF-8 cannot carry, becomes U+FFFD.
std::string EncodeUtf8Argument(std::u16string_view units);
