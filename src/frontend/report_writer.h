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

// "%d, %d, %d, %d, %d, %d": the six values in record order, as signed decimals, after
// `label` and a space when a label is given ("restored 3, 4, 1, 2, 0, 5").
void WritePolicyValuesLine(std::FILE* report, const ButtonPolicy& policy,
                           std::string_view label = {});

// `label`, a space and the status as HRESULT_FROM_WIN32 in "0x%08X" ("restore failed
// 0x80070005"), so that a status line can never be taken for a policy code.
void WriteStatusLine(std::FILE* report, std::string_view label, std::uint32_t status);

// The code as "%08X".
void WritePolicyCodeLine(std::FILE* report, std::uint32_t code);
