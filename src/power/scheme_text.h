#pragma once

#include <string_view>

#include "button_policy.h"

// A scheme's identifier in the platform's registry form, lower case:
// "{381b4222-f694-41f0-9685-ff5bb260df2e}", kSchemeTextLength characters, no terminator.
inline constexpr std::size_t kSchemeTextLength = 38;

// Writes the text at `out`; returns its end.
char* AppendSchemeText(char* out, const SchemeIdentifier& scheme);

// Exactly that form, lower case; false, leaving `scheme` alone, for anything else.
bool ParseSchemeText(std::string_view text, SchemeIdentifier& scheme);
