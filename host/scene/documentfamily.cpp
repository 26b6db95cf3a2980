// The scene document family of the service table. No entry lets an exception out: an allocation
// that fails answers null or false.
#include <cstring>
#include <new>

#include "orx/memory.h"
#include "scene/scenedoc.h"
#include "services/internal.h"

namespace {
namespace sc = orxhost::scene;

template <class F>
auto Guard(F f, decltype(f()) fail) noexcept -> decltype(f())
{
  try {
    return f();
  } catch (...) {
    return fail;
  }
}

BaseDocument* NewDoc() { return Guard([] { return new BaseDocument; }, nullptr); }
void FreeDoc(BaseDocument* doc)
{
  if (doc && doc != sc::ActiveDocument())
    delete doc;
}
BaseDocument* Active() { return sc::ActiveDocument(); }

BaseDocument* LoadMemory(const void* data, Int64 size, Int32)
{
  return Guard([&] { return sc::LoadFromMemory(data, size, nullptr).release(); }, nullptr);
}

Bool SaveMemory(const BaseDocument* doc, void** out, Int64* size)
{
  if (!doc || !out || !size)
    return false;
  *out = nullptr;
  *size = 0;
  return Guard(
      [&] {
        std::vector<UChar> bytes;
        if (!sc::SaveToMemory(*doc, &bytes))
          return false;
        void* block = orxhost::detail::kMemoryTable.alloc(Int64(bytes.size()), __LINE__, __FILE__, false);
        if (!block)
          return false;
        std::memcpy(block, bytes.data(), bytes.size());
        *out = block;
        *size = Int64(bytes.size());
        return true;
      },
      false);
}

BaseDocument* LoadFile(const Filename* name, Int32)
{
  return Guard(
      [&]() -> BaseDocument* {
        const std::string path = name ? orxhost::detail::SystemPath(name) : std::string();
        std::string error;
        return path.empty() ? nullptr : sc::LoadFromFile(path, &error).release();
      },
      nullptr);
}

Bool SaveFile(const BaseDocument* doc, const Filename* name)
{
  return Guard(
      [&] {
        const std::string path = name ? orxhost::detail::SystemPath(name) : std::string();
        std::string error;
        return doc && !path.empty() && sc::SaveToFile(*doc, path, &error);
      },
      false);
}

BaseList2D* First(const BaseDocument* doc, Int32 list)
{
  if (!doc || list < 0 || list > 2 || doc->roots[list].children.empty())
    return nullptr;
  return doc->roots[list].children.front().get();
}

BaseList2D* Next(const BaseList2D* e)
{
  if (!e || !e->parent)
    return nullptr;
  const auto& sib = e->parent->children;
  for (std::size_t i = 0; i + 1 < sib.size(); ++i)
    if (sib[i].get() == e)
      return sib[i + 1].get();
  return nullptr;
}

BaseList2D* Down(const BaseList2D* e) { return e && !e->children.empty() ? e->children.front().get() : nullptr; }
BaseList2D* Up(const BaseList2D* e) { return e && e->parent && !e->parent->rootOf ? e->parent : nullptr; }
Int32 Kind(const BaseList2D* e) { return e ? e->kind : 0; }
BaseContainer* Data(BaseList2D* e) { return e ? &e->data : nullptr; }
void SetName(BaseList2D* e, const String* name)
{
  if (e && name)
    Guard([&] { return (e->name = *name, true); }, false);
}
BaseDocument* DocumentOf(const BaseList2D* e) { return sc::DocumentOf(e); }

BaseList2D* NewElem(Int32 kind)
{
  return Guard([&]() -> BaseList2D* { return new BaseList2D(kind); }, nullptr);
}
BaseList2D* CloneElem(const BaseList2D* e)
{
  return e ? Guard([&] { return sc::Clone(*e).release(); }, nullptr) : nullptr;
}
void FreeElem(BaseList2D* e)
{
  if (e && !e->parent && !e->rootOf)
    delete e;
}

Bool RemoveElem(BaseList2D* e)
{
  if (!e || !sc::DocumentOf(e) || e->rootOf)
    return false;
  return Guard([&] { return sc::Remove(e).release() != nullptr; }, false);
}

Bool InsertElem(BaseDocument* doc, BaseList2D* e, BaseList2D* parent, BaseList2D* pred)
{
  if (!doc || !e || e->parent || e->rootOf)
    return false;
  std::unique_ptr<BaseList2D> owned(e);
  const bool ok = Guard([&] { return sc::Insert(doc, std::move(owned), parent, pred); }, false);
  // The caller keeps a refused element.
  (void)owned.release();
  return ok;
}

BaseList2D* GetActive(const BaseDocument* doc, Int32 which)
{
  return doc && which >= 0 && which < 4 ? doc->active[which] : nullptr;
}
void SetActiveElem(BaseDocument* doc, Int32 which, BaseList2D* e) { sc::SetActive(doc, which, e); }
Bool StartUndo(BaseDocument* doc) { return Guard([&] { return sc::StartUndo(doc); }, false); }
Bool AddUndo(BaseDocument* doc, Int32 kind, BaseList2D* e) { return Guard([&] { return sc::AddUndo(doc, kind, e); }, false); }
Bool EndUndo(BaseDocument* doc) { return Guard([&] { return sc::EndUndo(doc); }, false); }
Bool DoUndo(BaseDocument* doc) { return Guard([&] { return sc::DoUndo(doc); }, false); }
Bool DoRedo(BaseDocument* doc) { return Guard([&] { return sc::DoRedo(doc); }, false); }

Bool MergeMemory(BaseDocument* doc, const void* data, Int64 size, Int32 filter)
{
  if (!doc)
    return false;
  return Guard(
      [&] {
        auto src = sc::LoadFromMemory(data, size, nullptr);
        return src && sc::Merge(doc, src.get(), filter);
      },
      false);
}

void Changed(BaseDocument* doc) { sc::EventChanged(doc); }
BaseContainer* Settings(BaseDocument* doc) { return doc ? &doc->settings : nullptr; }

BaseBitmap* RenderPreview(const BaseDocument* doc, const BaseList2D* e, Int32 width, Int32 height, Int32 flags,
                          String* reason)
{
  std::string error;
  BaseBitmap* b = Guard([&] { return sc::RenderPreview(doc, e, width, height, flags, &error); }, nullptr);
  if (!b && reason)
    Guard([&] { return (*reason = String(error.empty() ? std::string("the preview cannot be made") : error), true); },
          false);
  return b;
}
} // namespace

namespace orxhost::detail {
const OrxSceneDocumentTable kSceneDocumentTable = {
    2,         sizeof(OrxSceneDocumentTable), NewDoc,    FreeDoc,   Active,      LoadMemory,    SaveMemory,
    LoadFile,  SaveFile,                      First,     Next,      Down,        Up,            Kind,
    Data,      SetName,                       DocumentOf, NewElem,  CloneElem,   FreeElem,      RemoveElem,
    InsertElem, GetActive,                    SetActiveElem, StartUndo, AddUndo, EndUndo,       DoUndo,
    DoRedo,    MergeMemory,                   Changed,   Settings,    RenderPreview};
} // namespace orxhost::detail
