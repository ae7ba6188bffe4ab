#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "button_policy.h"

// The report goes out as bytes the tool writes itself, identical on every platform: each
// UTF-16 unit below 256 becomes that one byte, any other unit "?", and every line ends in
// CR LF. Each line is flushed at once, so a caller watching the progress marks sees how far a
// run got even if it never finishes.
void WriteReportLine(std::FILE* report, std::u16string_view text);
void WriteReportLine(std::FILE* report, std::string_view asciiText);

// "%d, %d, %d, %d, %d, %d": the six values in record order, as signed decimals.
void WritePolicyValuesLine(std::FILE* report, const ButtonPolicy& policy);

// The code as "%08X".
void WritePolicyCodeLine(std::FILE* report, std::uint32_t code);
