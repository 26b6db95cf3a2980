// Reading the command line's values the same way in every command.
#pragma once

#include <string>

namespace orxhost {

// A decimal whole number that is the whole of text and lies in [lo, hi]; false for anything else
// (empty, a sign alone, other characters after it, out of range), so that no command takes "12x",
// "" or an overflow for a number.
bool ParseWholeNumber(const std::string& text, long long lo, long long hi, long long* out);

} // namespace orxhost
