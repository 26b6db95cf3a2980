// Wrappers of the host's scene document family.
#include "orx/scenedoc.h"

#include "orx/hosttable.h"
#include "orx/string.h"
#include "orx/bitmap.h"

namespace {
const OrxSceneDocumentTable* D()
{
  const OrxHostTable* t = OrxGetHostTable();
  if (!t || t->size < Int32(offsetof(OrxHostTable, sceneDocument) + sizeof(t->sceneDocument)))
    return nullptr;
  const OrxSceneDocumentTable* d = t->sceneDocument;
  return d && ORX_HAS_ENTRY(d, settings) ? d : nullptr;
}
} // namespace

#define ORX_DOC_CALL(fail, call)                                                                                      \
  do {                                                                                                                 \
    const OrxSceneDocumentTable* d = D();                                                                              \
    return d ? d->call : fail;                                                                                         \
  } while (0)

BaseDocument* GetActiveDocument() { ORX_DOC_CALL(nullptr, activeDocument()); }
BaseDocument* LoadDocumentFromMemory(const void* data, Int64 size, Int32 flags)
{
  ORX_DOC_CALL(nullptr, loadMemory(data, size, flags));
}
Bool SaveDocumentToMemory(const BaseDocument* doc, void** out, Int64* size) { ORX_DOC_CALL(false, saveMemory(doc, out, size)); }
BaseDocument* NewDocument() { ORX_DOC_CALL(nullptr, docNew()); }
void FreeDocument(BaseDocument* doc)
{
  if (const OrxSceneDocumentTable* d = D())
    d->docFree(doc);
}
BaseList2D* DocFirst(const BaseDocument* doc, Int32 list) { ORX_DOC_CALL(nullptr, first(doc, list)); }
BaseList2D* ElemNext(const BaseList2D* e) { ORX_DOC_CALL(nullptr, next(e)); }
BaseList2D* ElemDown(const BaseList2D* e) { ORX_DOC_CALL(nullptr, down(e)); }
BaseList2D* ElemUp(const BaseList2D* e) { ORX_DOC_CALL(nullptr, up(e)); }
Int32 ElemKind(const BaseList2D* e) { ORX_DOC_CALL(0, kind(e)); }
BaseContainer* ElemData(BaseList2D* e) { ORX_DOC_CALL(nullptr, data(e)); }
void ElemSetName(BaseList2D* e, const String& name)
{
  if (const OrxSceneDocumentTable* d = D())
    d->setName(e, &name);
}
BaseDocument* ElemDocument(const BaseList2D* e) { ORX_DOC_CALL(nullptr, documentOf(e)); }
BaseList2D* ElemNew(Int32 kind) { ORX_DOC_CALL(nullptr, elemNew(kind)); }
BaseList2D* ElemClone(const BaseList2D* e) { ORX_DOC_CALL(nullptr, elemClone(e)); }
void ElemFree(BaseList2D* e)
{
  if (const OrxSceneDocumentTable* d = D())
    d->elemFree(e);
}
Bool ElemRemove(BaseList2D* e) { ORX_DOC_CALL(false, remove(e)); }
Bool DocInsert(BaseDocument* doc, BaseList2D* e, BaseList2D* parent, BaseList2D* pred)
{
  ORX_DOC_CALL(false, insert(doc, e, parent, pred));
}
BaseList2D* DocGetActive(const BaseDocument* doc, Int32 which) { ORX_DOC_CALL(nullptr, getActive(doc, which)); }
void DocSetActive(BaseDocument* doc, Int32 which, BaseList2D* e)
{
  if (const OrxSceneDocumentTable* d = D())
    d->setActive(doc, which, e);
}
Bool DocStartUndo(BaseDocument* doc) { ORX_DOC_CALL(false, startUndo(doc)); }
Bool DocAddUndo(BaseDocument* doc, Int32 kind, BaseList2D* e) { ORX_DOC_CALL(false, addUndo(doc, kind, e)); }
Bool DocEndUndo(BaseDocument* doc) { ORX_DOC_CALL(false, endUndo(doc)); }
Bool DocMergeMemory(BaseDocument* doc, const void* data, Int64 size, Int32 filter)
{
  ORX_DOC_CALL(false, mergeMemory(doc, data, size, filter));
}
void DocChanged(BaseDocument* doc)
{
  if (const OrxSceneDocumentTable* d = D())
    d->changed(doc);
}
BaseContainer* DocSettings(BaseDocument* doc) { ORX_DOC_CALL(nullptr, settings(doc)); }

BaseBitmap* RenderDocumentPreview(const BaseDocument* doc, const BaseList2D* element, Int32 width, Int32 height,
                                  Int32 flags, String* reason)
{
  const OrxSceneDocumentTable* d = D();
  if (d && ORX_HAS_ENTRY(d, renderPreview))
    return d->renderPreview(doc, element, width, height, flags, reason);
  if (reason)
    *reason = String("the host has no preview renderer");
  return nullptr;
}
