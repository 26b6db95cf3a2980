// Wrappers of the image, movie, detection and document families. A host without a family answers
// failure.
#include "orx/media.h"

#include <cstddef>

#include "orx/hosttable.h"

namespace {
// The table grows at its end: an older host's is shorter.
#define ORX_FAMILY(entry)                                                                                              \
  const OrxHostTable* t = OrxGetHostTable();                                                                           \
  return t && ORX_HAS_ENTRY(t, entry) ? t->entry : nullptr
const OrxImageTable* Images() { ORX_FAMILY(image); }
const OrxMovieTable* Movies() { ORX_FAMILY(movie); }
const OrxDetectTable* Detect() { ORX_FAMILY(detect); }
const OrxDocumentTable* Documents() { ORX_FAMILY(document); }
#undef ORX_FAMILY
} // namespace

BaseBitmap* GeLoadBitmap(const Filename& name, Int32 maxSize, Int32* result)
{
  if (result)
    *result = LOADBITMAP_FAILED;
  const OrxImageTable* t = Images();
  return t ? t->load(&name, maxSize, result) : nullptr;
}

BaseBitmap* GeLoadBitmapFromMemory(const void* data, Int64 size, Int32 maxSize, Int32* result)
{
  if (result)
    *result = LOADBITMAP_FAILED;
  const OrxImageTable* t = Images();
  return t ? t->loadMemory(data, size, maxSize, result) : nullptr;
}

Bool GeGetBitmapInfo(const Filename& name, Int32* width, Int32* height)
{
  const OrxImageTable* t = Images();
  return t && t->info(&name, width, height);
}

BaseBitmap* GeScaleBitmap(const BaseBitmap& bitmap, Int32 width, Int32 height)
{
  const OrxImageTable* t = Images();
  return t ? t->scale(&bitmap, width, height) : nullptr;
}

Bool GeSaveBitmap(const BaseBitmap& bitmap, const Filename& name, Int32 format, Int32 quality)
{
  const OrxImageTable* t = Images();
  return t && t->save(&bitmap, &name, format, quality);
}

Bool MovieReader::Open(const Filename& name)
{
  Close();
  const OrxMovieTable* t = Movies();
  handle_ = t ? t->open(&name) : nullptr;
  return handle_ != nullptr;
}

void MovieReader::Close()
{
  if (handle_)
    Movies()->close(handle_);
  handle_ = nullptr;
}

Bool MovieReader::GetInfo(MovieInfo* out) const { return handle_ && out && Movies()->info(handle_, out); }

BaseBitmap* MovieReader::GetFrame(Int64 frame, Int32 maxSize)
{
  return handle_ ? Movies()->frame(handle_, frame, maxSize) : nullptr;
}

Int32 GeIdentifyFile(const Filename& name, const void* header, Int32 size, Int32 mask)
{
  const OrxDetectTable* t = Detect();
  return t ? t->identify(&name, header, size, mask) : 0;
}

Bool GeLoadFile(const Filename& name)
{
  const OrxDocumentTable* t = Documents();
  return t && t->loadFile(&name);
}

Bool GeMergeFile(const Filename& name, Int32 filter)
{
  const OrxDocumentTable* t = Documents();
  return t && t->mergeFile(&name, filter);
}

Bool GeOpenWithSystem(const Filename& name)
{
  const OrxDocumentTable* t = Documents();
  return t && t->openWithSystem(&name);
}

void* GeLoadScene(const Filename& name, Int32 flags, Int64 maxBytes, Int32 maxMillis)
{
  const OrxDocumentTable* t = Documents();
  return t ? t->loadScene(&name, flags, maxBytes, maxMillis) : nullptr;
}

void GeFreeScene(void* scene)
{
  if (const OrxDocumentTable* t = Documents(); t && scene)
    t->freeScene(scene);
}
