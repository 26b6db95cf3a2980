// Reads arbitrary bytes as a scene document followed by its undo history (a big-endian UInt32
// length, the document, then the history). A history that loads must undo and redo from end to
// end and come back to the document's bytes; one that does not load leaves the document as it was.
#include <cstdlib>

#include "scene/scenedoc.h"
#include "services/host.h"

namespace sc = orxhost::scene;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static bool installed = (orxhost::InstallForThisProcess(), true);
  (void)installed;
  if (size < 4)
    return 0;
  const size_t n = size_t(data[0]) << 24 | size_t(data[1]) << 16 | size_t(data[2]) << 8 | data[3];
  if (n > size - 4)
    return 0;
  auto doc = sc::LoadFromMemory(data + 4, Int64(n), nullptr);
  if (!doc)
    return 0;
  std::vector<UChar> current;
  if (!sc::SaveToMemory(*doc, &current))
    std::abort();
  std::string error;
  if (!sc::HistoryFromMemory(doc.get(), current, data + 4 + n, Int64(size - 4 - n), &error)) {
    std::vector<UChar> after;
    if (error.empty() || !doc->undo.empty() || !doc->redo.empty() || !sc::SaveToMemory(*doc, &after) ||
        after != current)
      std::abort();
    return 0;
  }
  const std::size_t back = doc->undo.size(), ahead = doc->redo.size();
  for (std::size_t i = 0; i < back; ++i)
    if (!sc::DoUndo(doc.get()))
      std::abort();
  for (std::size_t i = 0; i < back + ahead; ++i)
    if (!sc::DoRedo(doc.get()))
      std::abort();
  for (std::size_t i = 0; i < ahead; ++i)
    if (!sc::DoUndo(doc.get()))
      std::abort();
  std::vector<UChar> again, history;
  if (!sc::SaveToMemory(*doc, &again) || again != current ||
      !sc::HistoryToMemory(doc.get(), current, 1000, Int64(1) << 40, &history))
    std::abort();
  return 0;
}
