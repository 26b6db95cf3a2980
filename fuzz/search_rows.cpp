// Reads arbitrary bytes as a container image and then as stored search rows (the browser
// preferences are outside input): whatever is read must build filters or be refused, never crash.
#include <cstdlib>

#include "orx/hyperfile.h"
#include "search/browsersearch.h"
#include "services/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = (orxhost::InstallForThisProcess(), true);
  (void)installed;
  BaseContainer bc;
  if (!HyperFile::ImageToContainer(data, Int64(size), FourCC("brow"), &bc))
    return 0;
  SearchQuery q;
  if (!ReadSearchRows(bc, &q))
    return 0;
  if (q.rows.empty() || q.rows.size() > std::size_t(SEARCH_MAX_ROWS))
    std::abort();
  SearchFilterList filters;
  String error;
  BuildSearchFilters(q, &filters, &error);
  DescribeSearch(q, true);
  SearchQuery again;
  if (!ReadSearchRows(StoreSearchRows(q), &again) || again.rows.size() != q.rows.size())
    std::abort();
  return 0;
}
