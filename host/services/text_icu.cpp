// ICU behind plain functions: ICU's own UChar would clash with the host API's types.
#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/utf16.h>

#include <cstdint>
#include <memory>

namespace orxhost::icu {

void MapCase(char16_t* u, std::int32_t n, bool upper)
{
  std::int32_t i = 0;
  while (i < n) {
    // Plain ASCII, most of every name and URL, maps the same in every table: no lookup for it.
    if (u[i] < 0x80) {
      const char16_t a = u[i];
      if (upper ? (a >= u'a' && a <= u'z') : (a >= u'A' && a <= u'Z'))
        u[i] = char16_t(a ^ 0x20);
      ++i;
      continue;
    }
    std::int32_t start = i;
    UChar32 c;
    U16_NEXT(u, i, n, c);
    UChar32 m = upper ? u_toupper(c) : u_tolower(c);
    // Keep the length: a mapping that would change the number of units is not taken.
    if (std::int32_t(U16_LENGTH(m)) != i - start)
      continue;
    std::int32_t w = start;
    U16_APPEND_UNSAFE(u, w, m);
  }
}

namespace {
struct CollatorClose
{
  void operator()(UCollator* c) const { ucol_close(c); }
};
} // namespace

// <0, 0 or >0; 0 also when no collator could be made.
int Collate(const char16_t* a, std::int32_t na, const char16_t* b, std::int32_t nb)
{
  // One collator per thread: no lock on the sort path.
  thread_local std::unique_ptr<UCollator, CollatorClose> coll = [] {
    UErrorCode err = U_ZERO_ERROR;
    UCollator* c = ucol_open("", &err);
    if (U_FAILURE(err))
      c = nullptr;
    else
      ucol_setAttribute(c, UCOL_NUMERIC_COLLATION, UCOL_ON, &err);
    return std::unique_ptr<UCollator, CollatorClose>(c);
  }();
  if (!coll)
    return 0;
  UCollationResult r = ucol_strcoll(coll.get(), a, na, b, nb);
  return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

} // namespace orxhost::icu
