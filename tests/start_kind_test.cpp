#include "start_kind.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

struct StartCase {
  std::u16string_view extension;
  bool appExecutionAlias;
  StartKind kind;
};

// An alias must never be refused as "no program" (the platform cannot read its image), yet a
// file that merely claims a program's extension is still checked, and an alias's name decides
// nothing else.
TEST(HowToStart, DecidesByTheExtensionAndTrustsOnlyAnAliasWithoutReadingIt) {
  const StartCase cases[] = {
      {u".exe", true, StartKind::Program},         {u".EXE", false, StartKind::CheckedProgram},
      {u".com", false, StartKind::CheckedProgram}, {u".Cmd", false, StartKind::ThroughCmd},
      {u".bat", true, StartKind::ThroughCmd},      {u".msi", true, StartKind::Refused},
  };
  for (const StartCase& c : cases) {
    EXPECT_EQ(HowToStart(c.extension, c.appExecutionAlias), c.kind)
        << std::string(c.extension.begin(), c.extension.end()) << " " << c.appExecutionAlias;
  }
}

}  // namespace
