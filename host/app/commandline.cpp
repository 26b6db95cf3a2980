#include "commandline.h"

#include <charconv>
#include <system_error>

namespace orxhost {

bool ParseWholeNumber(const std::string& text, long long lo, long long hi, long long* out)
{
  long long v = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [end, ec] = std::from_chars(first, last, v);
  if (text.empty() || ec != std::errc() || end != last || v < lo || v > hi)
    return false;
  *out = v;
  return true;
}

} // namespace orxhost
