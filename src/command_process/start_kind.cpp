#include "start_kind.h"

namespace {

bool SameExtension(std::u16string_view extension, std::u16string_view lowerCase) {
  if (extension.size() != lowerCase.size()) return false;
  for (std::size_t i = 0; i < extension.size(); ++i) {
    const char16_t unit = extension[i] >= u'A' && extension[i] <= u'Z'
                              ? static_cast<char16_t>(extension[i] | 0x20)
                              : extension[i];
    if (unit != lowerCase[i]) return false;
  }
  return true;
}

}  // namespace

StartKind HowToStart(std::u16string_view extension, bool appExecutionAlias) {
  if (SameExtension(extension, u".bat") || SameExtension(extension, u".cmd")) {
    return StartKind::ThroughCmd;
  }
  if (!SameExtension(extension, u".exe") && !SameExtension(extension, u".com")) {
    return StartKind::Refused;
  }
  return appExecutionAlias ? StartKind::Program : StartKind::CheckedProgram;
}
