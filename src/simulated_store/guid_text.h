#pragma once

#include <string>
#include <string_view>

#include "power_platform.h"

// The registry text form of a GUID: "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", hexadecimal in
// either case. Anything else is rejected and `value` is left alone.
bool ParseGuidText(std::string_view text, GUID& value);

// The same form in lower case, as the platform writes it.
std::string FormatGuidText(const GUID& value);

bool SameGuid(const GUID& left, const GUID& right);
