// Text services: one fixed, length-keeping case mapping and a collator for sorting names.
#include <atomic>

#include "internal.h"
#include "services/host.h"

namespace orxhost::icu {
void MapCase(char16_t* u, std::int32_t n, bool upper);
int Collate(const char16_t* a, std::int32_t na, const char16_t* b, std::int32_t nb);
} // namespace orxhost::icu

namespace {
std::atomic<Int32> g_language{0x75730000};

void ToUpper(Utf16Char* u, Int32 n) { orxhost::icu::MapCase(u, n, true); }
void ToLower(Utf16Char* u, Int32 n) { orxhost::icu::MapCase(u, n, false); }

Int32 LexCompare(const Utf16Char* a, Int32 na, const Utf16Char* b, Int32 nb)
{
  if (int r = orxhost::icu::Collate(a, na, b, nb))
    return r;
  // Equal for the collator: the code units decide, so the order is total.
  for (Int32 i = 0; i < na && i < nb; ++i)
    if (a[i] != b[i])
      return a[i] < b[i] ? -1 : 1;
  return na < nb ? -1 : na > nb ? 1 : 0;
}

Int32 LanguageId() { return g_language.load(); }
} // namespace

namespace orxhost {
namespace detail {
const OrxTextTable kTextTable = {1, sizeof(OrxTextTable), ToUpper, ToLower, LexCompare, LanguageId};
}
void SetLanguageId(Int32 id) { g_language.store(id); }
} // namespace orxhost
