// The assembled service table.
#include "internal.h"
#include "services/host.h"

namespace orxhost {
const OrxHostTable* Table()
{
  static const OrxHostTable table = {ORX_HOST_VERSION,        sizeof(OrxHostTable),  &detail::kMemoryTable,
                                     &detail::kTextTable,     &detail::kFileTable,   &detail::kFolderTable,
                                     &detail::kThreadTable,   &detail::kCompressTable, &detail::kSystemTable,
                                     &detail::kSceneTable,    &detail::kUiTable,     &detail::kNetworkTable,
                                     &detail::kImageTable,    &detail::kMovieTable,  &detail::kDetectTable,
                                     &detail::kDocumentTable, &detail::kSceneDocumentTable};
  return &table;
}

void InstallForThisProcess() { OrxInstallHostTable(Table()); }
} // namespace orxhost
