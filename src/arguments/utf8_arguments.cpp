#include "utf8_arguments.h"

#include <cstddef>
#include <cstdint>

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the valid sequence starting at `bytes[0]`, with its code point, or 0. Overlong
// forms, surrogates and values above U+10FFFF are not valid.
std::size_t DecodeSequence(std::string_view bytes, char32_t& codePoint) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length = 0;
  char32_t smallest = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    smallest = 0x80;
    codePoint = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    smallest = 0x800;
    codePoint = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    smallest = 0x10000;
    codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (!IsContinuation(byte)) return 0;
    codePoint = (codePoint << 6) | (byte & 0x3F);
  }
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  if (codePoint < smallest || surrogate || codePoint > 0x10FFFF) return 0;
  return length;
}

void AppendUtf16(std::u16string& text, char32_t codePoint) {
  if (codePoint < 0x10000) {
    text += static_cast<char16_t>(codePoint);
    return;
  }
  const char32_t offset = codePoint - 0x10000;
  text += static_cast<char16_t>(0xD800 + (offset >> 10));
  text += static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
}

}  // namespace

std::u16string DecodeUtf8Argument(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t codePoint = 0;
    std::size_t length = DecodeSequence(bytes, codePoint);
    if (length == 0) {
      codePoint = kReplacementCharacter;
      length = 1;
    }
    AppendUtf16(text, codePoint);
    bytes.remove_prefix(length);
  }
  return text;
}

std::string EncodeUtf8Argument(std::u16string_view units) {
  std::string bytes;
  bytes.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t codePoint = units[i];
    const bool high = codePoint >= 0xD800 && codePoint <= 0xDBFF;
    const bool low = codePoint >= 0xDC00 && codePoint <= 0xDFFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (high || low) {
      codePoint = kReplacementCharacter;
    }
    if (codePoint < 0x80) {
      bytes += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
      bytes += static_cast<char>(0xC0 | (codePoint >> 6));
      bytes += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
      bytes += static_cast<char>(0xE0 | (codePoint >> 12));
      bytes += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (codePoint >> 18));
      bytes += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
  }
  return bytes;
}
