#include "start_kind.h"

StartKind HowToStart(std::u16string_view extension, bool appExecutionAlias) {
  // By the extension in lower case; anything longer than four is none of these.
  char16_t lower[4] = {};
  if (extension.size() != 4) return StartKind::Refused;
  for (std::size_t i = 0; i < 4; ++i) {
    const char16_t unit = extension[i];
    lower[i] = unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit | 0x20) : unit;
  }
  const std::u16string_view name(lower, 4);
  if (name == u".bat" || name == u".cmd") return StartKind::ThroughCmd;
  if (name != u".exe" && name != u".com") return StartKind::Refused;
  return appExecutionAlias ? StartKind::Program : StartKind::CheckedProgram;
}
