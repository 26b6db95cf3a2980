#include "presets/presettypeplugins.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>

#include "base/browserutils.h"
#include "orx/basefile.h"
#include "orx/files.h"
#include "orx/media.h"
#include "orx/memory.h"
#include "orx/scenedoc.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabaseitem.h"

namespace {
const PresetTypeTable kTables[] = {
    {HANDLER_ID_BASEOBJECT, 10345, 10346},   {HANDLER_ID_BASEMATERIAL, 10347, 10348},
    {HANDLER_ID_BASETAG, 10328, 10329},      {HANDLER_ID_RENDERDATA, 10341, 10342},
    {HANDLER_ID_SHADER, 10333, 10334},       {HANDLER_ID_VIDEOPOST, 10335, 10336},
    {HANDLER_ID_PLEXION, 10356, 10357},      {HANDLER_ID_FILE_PRESET, 10343, 10344},
    {HANDLER_ID_PRESET_LIBRARY, 10358, 0},   {HANDLER_ID_DEFAULTS, 10331, 10332},
};

// Frees a document on every path.
struct DocHolder
{
  BaseDocument* d;
  ~DocHolder() { FreeDocument(d); }
};

bool IsTag(Int32 k) { return k == Tbase || k == Tfixed; }
bool IsNodeSetup(Int32 k) { return k == Tnodes; }

BaseList2D* FirstChildOfKind(BaseList2D* parent, bool (*pred)(Int32))
{
  for (BaseList2D* c = ElemDown(parent); c; c = ElemNext(c))
    if (pred(ElemKind(c)))
      return c;
  return nullptr;
}

BaseList2D* LastChild(BaseList2D* parent)
{
  BaseList2D* last = nullptr;
  for (BaseList2D* c = ElemDown(parent); c; c = ElemNext(c))
    last = c;
  return last;
}

// Inserts a free element within the open undo step; frees it when the document refuses it.
bool InsertNew(BaseDocument* doc, BaseList2D* e, BaseList2D* parent, BaseList2D* pred)
{
  if (!DocInsert(doc, e, parent, pred)) {
    ElemFree(e);
    return false;
  }
  DocAddUndo(doc, UNDOTYPE_NEW, e);
  return true;
}

// The element leaves the preset document before that is freed: the caller owns it.
bool Take(BaseList2D* e, BaseList2D** taken)
{
  if (!e || !ElemRemove(e))
    return false;
  *taken = e;
  return true;
}

bool ApplyMaterial(BaseDocument* doc, BaseDocument* src, Int32 flags, BaseList2D** taken)
{
  BaseList2D* m = DocFirst(src, SCENELIST_MATERIALS);
  if (!m)
    return false;
  if (flags & APPLY_TAKE_ELEMENT)
    return Take(m, taken);
  ElemRemove(m);
  DocStartUndo(doc);
  const bool ok = InsertNew(doc, m, nullptr, nullptr);
  if (ok)
    DocSetActive(doc, ACTIVE_MATERIAL, m);
  DocEndUndo(doc);
  return ok;
}

bool ApplyTag(BaseDocument* doc, BaseDocument* src, Int32 flags, BaseList2D** taken)
{
  BaseList2D* obj = DocFirst(src, SCENELIST_OBJECTS);
  BaseList2D* tag = obj ? FirstChildOfKind(obj, IsTag) : nullptr;
  if (!tag)
    return false;
  if (flags & APPLY_TAKE_ELEMENT)
    return Take(tag, taken);
  ElemRemove(tag);
  DocStartUndo(doc);
  BaseList2D* target = DocGetActive(doc, ACTIVE_OBJECT);
  bool ok = true;
  if (!target) {
    target = ElemNew(Onull);
    ok = target && InsertNew(doc, target, nullptr, LastChild(nullptr));
    if (ok)
      DocSetActive(doc, ACTIVE_OBJECT, target);
  }
  ok = ok && InsertNew(doc, tag, target, LastChild(target));
  if (!ok && tag && !ElemDocument(tag))
    ElemFree(tag);
  if (ok)
    DocSetActive(doc, ACTIVE_TAG, tag);
  DocEndUndo(doc);
  return ok;
}

bool ApplyShader(BaseDocument* doc, BaseDocument* src, Int32 flags, BaseList2D** taken)
{
  BaseList2D* mat = DocFirst(src, SCENELIST_MATERIALS);
  BaseList2D* sh = mat ? ElemDown(mat) : nullptr;
  if (!sh)
    return false;
  if (flags & APPLY_TAKE_ELEMENT)
    return Take(sh, taken);
  ElemRemove(sh);
  BaseList2D* holder = ElemNew(Mshaderholder);
  if (!holder) {
    ElemFree(sh);
    return false;
  }
  if (BaseContainer* bc = ElemData(holder))
    bc->SetInt32(SHADER_LINK, 1);
  DocStartUndo(doc);
  bool ok = InsertNew(doc, holder, nullptr, nullptr);
  ok = ok && DocInsert(doc, sh, holder, nullptr);
  if (!ok && !ElemDocument(sh))
    ElemFree(sh);
  DocEndUndo(doc);
  return ok;
}

bool ApplyRenderData(BaseDocument* doc, BaseDocument* src, Int32 flags, BaseList2D** taken)
{
  BaseList2D* rd = DocFirst(src, SCENELIST_RENDER);
  if (!rd)
    return false;
  if (flags & APPLY_TAKE_ELEMENT)
    return Take(rd, taken);
  ElemRemove(rd);
  DocStartUndo(doc);
  const bool ok = InsertNew(doc, rd, nullptr, nullptr);
  DocEndUndo(doc);
  return ok;
}

bool ApplyVideoPost(BaseDocument* doc, BaseDocument* src, Int32 flags, BaseList2D** taken)
{
  BaseList2D* srcRd = DocGetActive(src, ACTIVE_RENDER);
  if (!srcRd)
    srcRd = DocFirst(src, SCENELIST_RENDER);
  BaseList2D* fx = srcRd ? ElemDown(srcRd) : nullptr;
  if (!fx)
    return false;
  if (flags & APPLY_TAKE_ELEMENT)
    return Take(fx, taken);
  BaseList2D* rd = DocGetActive(doc, ACTIVE_RENDER);
  if (!rd)
    return false;
  ElemRemove(fx);
  const BaseContainer* fxData = ElemData(fx);
  DocStartUndo(doc);
  if (fxData && fxData->GetBool(POSTEFFECT_ONEPERRENDER))
    for (BaseList2D* c = ElemDown(rd); c; c = ElemNext(c))
      if (ElemData(c)->GetId() == fxData->GetId()) {
        // Recorded first, so that the step keeps the effect and undo brings it back.
        if (DocAddUndo(doc, UNDOTYPE_DELETE, c) && !ElemRemove(c))
          break;
        DocEndUndo(doc);
        ElemFree(fx);
        return false;
      }
  const bool ok = InsertNew(doc, fx, rd, LastChild(rd));
  DocEndUndo(doc);
  return ok;
}

// A graph whose links all join nodes it holds; anything else is damaged and never reaches a
// document.
bool WholeNodeSetup(BaseList2D* e)
{
  const BaseContainer* bc = ElemData(e);
  const BaseContainer* nodes = bc ? bc->GetContainerInstance(NODESETUP_NODES) : nullptr;
  if (!nodes || nodes->GetCount() == 0)
    return false;
  for (const auto& n : *nodes)
    if (n.id < 1 || !n.data.GetContainer())
      return false;
  const BaseContainer* links = bc->GetContainerInstance(NODESETUP_LINKS);
  if (!links)
    return !bc->Has(NODESETUP_LINKS);
  for (const auto& l : *links) {
    const BaseContainer* link = l.data.GetContainer();
    if (!link)
      return false;
    const Int32 from = link->GetInt32(LINK_FROM), to = link->GetInt32(LINK_TO);
    if (from < 1 || to < 1 || from == to || !nodes->GetContainerInstance(from) || !nodes->GetContainerInstance(to))
      return false;
  }
  return true;
}

// The node setup goes onto the active object, in place of one that object carries already (an
// object is driven by one setup): both changes in one undo step. Without an active object there
// is nowhere to put it.
bool ApplyNodeSetup(BaseDocument* doc, BaseDocument* src, Int32 flags, BaseList2D** taken)
{
  BaseList2D* obj = DocFirst(src, SCENELIST_OBJECTS);
  BaseList2D* setup = obj ? FirstChildOfKind(obj, IsNodeSetup) : nullptr;
  if (!setup || !WholeNodeSetup(setup))
    return false;
  if (flags & APPLY_TAKE_ELEMENT)
    return Take(setup, taken);
  BaseList2D* target = DocGetActive(doc, ACTIVE_OBJECT);
  if (!target)
    return false;
  ElemRemove(setup);
  BaseList2D* old = FirstChildOfKind(target, IsNodeSetup);
  DocStartUndo(doc);
  // Recorded before the removal, so that the step keeps the old setup and undo brings it back.
  bool ok = !old || (DocAddUndo(doc, UNDOTYPE_DELETE, old) && !ElemRemove(old) && !ElemDocument(old));
  ok = ok && InsertNew(doc, setup, target, LastChild(target));
  if (!ok && !ElemDocument(setup))
    ElemFree(setup);
  if (ok)
    DocSetActive(doc, ACTIVE_TAG, setup);
  DocEndUndo(doc);
  return ok;
}

bool ApplyObject(BaseDocument* doc, const void* data, Int64 size)
{
  DocStartUndo(doc);
  const bool ok = DocMergeMemory(doc, data, size, PRESET_OBJECT_MERGE_FILTER);
  DocEndUndo(doc);
  return ok;
}
} // namespace

Bool ApplyPresetData(Int32 type, const void* data, Int64 size, Int32 flags, BaseList2D** taken)
{
  if (taken)
    *taken = nullptr;
  if ((flags & APPLY_TAKE_ELEMENT) && !taken)
    return false;
  BaseDocument* doc = GetActiveDocument();
  if (!doc || !data || size <= 0)
    return false;
  if (type == HANDLER_ID_BASEOBJECT)
    return ApplyObject(doc, data, size) && (DocChanged(doc), true);
  DocHolder src{LoadDocumentFromMemory(data, size, 0)};
  if (!src.d)
    return false;
  bool ok = false;
  switch (type) {
  case HANDLER_ID_BASEMATERIAL: ok = ApplyMaterial(doc, src.d, flags, taken); break;
  case HANDLER_ID_BASETAG: ok = ApplyTag(doc, src.d, flags, taken); break;
  case HANDLER_ID_SHADER: ok = ApplyShader(doc, src.d, flags, taken); break;
  case HANDLER_ID_RENDERDATA: ok = ApplyRenderData(doc, src.d, flags, taken); break;
  case HANDLER_ID_VIDEOPOST: ok = ApplyVideoPost(doc, src.d, flags, taken); break;
  case HANDLER_ID_PLEXION: ok = ApplyNodeSetup(doc, src.d, flags, taken); break;
  default: return false;
  }
  if (ok && !(flags & APPLY_TAKE_ELEMENT))
    DocChanged(doc);
  return ok;
}

Bool TakePresetElement(Int32 type, const void* data, Int64 size, BaseList2D** taken)
{
  if (!taken)
    return false;
  *taken = nullptr;
  if (!data || size <= 0)
    return false;
  DocHolder src{LoadDocumentFromMemory(data, size, 0)};
  if (!src.d)
    return false;
  switch (type) {
  case HANDLER_ID_BASEMATERIAL: return ApplyMaterial(nullptr, src.d, APPLY_TAKE_ELEMENT, taken);
  case HANDLER_ID_BASETAG: return ApplyTag(nullptr, src.d, APPLY_TAKE_ELEMENT, taken);
  case HANDLER_ID_SHADER: return ApplyShader(nullptr, src.d, APPLY_TAKE_ELEMENT, taken);
  case HANDLER_ID_RENDERDATA: return ApplyRenderData(nullptr, src.d, APPLY_TAKE_ELEMENT, taken);
  case HANDLER_ID_VIDEOPOST: return ApplyVideoPost(nullptr, src.d, APPLY_TAKE_ELEMENT, taken);
  case HANDLER_ID_PLEXION: return ApplyNodeSetup(nullptr, src.d, APPLY_TAKE_ELEMENT, taken);
  default: return false;
  }
}

Int32 PresetTypeOfElement(const BaseList2D* e)
{
  switch (e ? ElemKind(e) : 0) {
  case Obase: return HANDLER_ID_BASEOBJECT;
  case Tbase: return HANDLER_ID_BASETAG;
  case Mbase: return HANDLER_ID_BASEMATERIAL;
  case Xbase: return HANDLER_ID_SHADER;
  case VPbase: return HANDLER_ID_VIDEOPOST;
  case RDbase: return HANDLER_ID_RENDERDATA;
  case Tnodes: return HANDLER_ID_PLEXION;
  default: return 0;
  }
}

Bool MakePresetData(BaseList2D* e, ByteArray* out, Int32* type)
{
  const Int32 t = PresetTypeOfElement(e);
  if (!t || !out || !type)
    return false;
  DocHolder doc{NewDocument()};
  BaseList2D* copy = ElemClone(e);
  if (!doc.d || !copy) {
    ElemFree(copy);
    return false;
  }
  // The element goes where applying looks for it; a container element that the document refuses
  // is freed by InsertNew.
  bool ok = false;
  auto put = [&](Int32 kind, BaseList2D* inner, Int32 active) {
    BaseList2D* outer = ElemNew(kind);
    if (!outer || !DocInsert(doc.d, outer, nullptr, nullptr)) {
      ElemFree(outer);
      ElemFree(inner);
      return false;
    }
    if (active >= 0)
      DocSetActive(doc.d, active, outer);
    if (!DocInsert(doc.d, inner, outer, nullptr)) {
      ElemFree(inner);
      return false;
    }
    return true;
  };
  switch (t) {
  case HANDLER_ID_BASETAG:
  case HANDLER_ID_PLEXION: ok = put(Obase, copy, ACTIVE_OBJECT); break;
  case HANDLER_ID_SHADER: ok = put(Mbase, copy, -1); break;
  case HANDLER_ID_VIDEOPOST: ok = put(RDbase, copy, ACTIVE_RENDER); break;
  default:
    ok = DocInsert(doc.d, copy, nullptr, nullptr);
    if (!ok)
      ElemFree(copy);
    else if (t == HANDLER_ID_RENDERDATA)
      DocSetActive(doc.d, ACTIVE_RENDER, copy);
    break;
  }
  if (!ok)
    return false;
  // A material keeps its document context.
  if (t == HANDLER_ID_BASEMATERIAL)
    if (BaseDocument* from = ElemDocument(e)) {
      const BaseContainer* s = DocSettings(from);
      BaseContainer* d = DocSettings(doc.d);
      if (s && d)
        for (Int32 id : {DOCUMENT_SETTINGS_GENERAL, DOCUMENT_SETTINGS_DOCUMENT, DOCUMENT_SETTINGS_MODELING})
          if (s->Has(id))
            d->SetData(id, *s->GetData(id));
    }
  void* block = nullptr;
  Int64 size = 0;
  if (!SaveDocumentToMemory(doc.d, &block, &size))
    return false;
  bool copied = true;
  try {
    out->assign(static_cast<const UChar*>(block), static_cast<const UChar*>(block) + size);
  } catch (...) {
    copied = false;
  }
  OrxMemFree(block);
  *type = t;
  return copied;
}

// ---- the handlers ----
Int32 PresetTypePlugin::GetPluginID(String* name)
{
  if (name)
    *name = GeLoadString(t_.nameString);
  return t_.id;
}

Bool PresetTypePlugin::Identify(BrowserURL&, const void*, Int32, Int32) { return false; }

String* PresetTypePlugin::GetTypeName(String* out, NodeRef, BrowserURL*, Int32)
{
  if (out)
    *out = t_.typeString ? GeLoadString(t_.typeString) : String();
  return out;
}

namespace {
struct PresetPreview
{
  Int32 type = 0;
  BaseBitmap* stored = nullptr; // the item's own preview
  ByteArray data;               // the preset's document
};

Bool ResolveURL(NodeRef& node, BrowserURL* url, BrowserURL* out)
{
  if (url) {
    *out = *url;
    return true;
  }
  return node && node->GetURL(out, 0);
}

// The library that keeps the preset of url (or of node when there is no url), with its URL in *at.
BrowserDatabase* LibraryOf(NodeRef& node, BrowserURL* url, BrowserURL* at)
{
  return ResolveURL(node, url, at) ? BrowserDatabase::FindLibraryForURL(at->GetString()) : nullptr;
}

double Channel(const BaseContainer* bc, Int32 id, double fallback)
{
  if (!bc || !bc->Has(id))
    return fallback;
  const double v = bc->GetFloat(id);
  return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : fallback;
}
} // namespace

BaseBitmap* DrawMaterialBall(const void* data, Int64 size, Int32 width, Int32 height)
{
  if (!data || size <= 0 || width <= 0 || height <= 0 || Int64(width) * height > (Int64(1) << 26))
    return nullptr;
  double rgb[3], reflect;
  {
    DocHolder doc{LoadDocumentFromMemory(data, size, 0)};
    BaseList2D* m = doc.d ? DocFirst(doc.d, SCENELIST_MATERIALS) : nullptr;
    if (!m)
      return nullptr;
    const BaseContainer* bc = ElemData(m);
    for (Int32 i = 0; i < 3; ++i)
      rgb[i] = Channel(bc, MATERIAL_COLOR + i, 0.8);
    reflect = Channel(bc, MATERIAL_REFLECTANCE, 0.0);
  }
  BaseBitmap* b = OrxNewObj(BaseBitmap);
  if (!b || !b->Init(width, height, 3)) {
    OrxDeleteObj(b);
    return nullptr;
  }
  const double cx = width / 2.0, cy = height / 2.0, r = 0.45 * std::min(width, height);
  // Light from the upper left front; the half vector for the highlight looks along +z.
  const double lx = -0.45, ly = -0.55, lz = 0.70, ln = std::sqrt(lx * lx + ly * ly + lz * lz);
  const double hx = lx / ln, hy = ly / ln, hz = lz / ln + 1.0, hn = std::sqrt(hx * hx + hy * hy + hz * hz);
  const double shine = 8.0 + 120.0 * reflect;
  for (Int32 y = 0; y < height; ++y)
    for (Int32 x = 0; x < width; ++x) {
      const double nx = (x + 0.5 - cx) / r, ny = (y + 0.5 - cy) / r, d2 = nx * nx + ny * ny;
      if (d2 > 1.0) {
        const UChar g = UChar(56 + 24 * y / std::max(1, height - 1));
        b->SetPixel(x, y, g, g, g);
        continue;
      }
      const double nz = std::sqrt(1.0 - d2);
      const double diffuse = std::max(0.0, (nx * lx + ny * ly + nz * lz) / ln);
      const double highlight = std::pow(std::max(0.0, (nx * hx + ny * hy + nz * hz) / hn), shine) * (0.15 + 0.85 * reflect);
      UChar px[3];
      for (Int32 i = 0; i < 3; ++i)
        px[i] = UChar(std::lround(255.0 * std::clamp(rgb[i] * (0.12 + 0.88 * diffuse) + highlight, 0.0, 1.0)));
      b->SetPixel(x, y, px[0], px[1], px[2]);
    }
  return b;
}

void* PresetTypePlugin::OpenPreviewData(Int32, NodeRef node, BrowserURL* url, Int32* qualities)
{
  if (qualities)
    *qualities = 0;
  const Int32 id = t_.id;
  const bool stored = id == HANDLER_ID_BASEMATERIAL || id == HANDLER_ID_SHADER;
  if (!stored && id != HANDLER_ID_BASEOBJECT && id != HANDLER_ID_BASETAG)
    return nullptr;
  BrowserURL at;
  BrowserDatabase* db = LibraryOf(node, url, &at);
  if (!db)
    return nullptr;
  PresetPreview* p = OrxNewObj(PresetPreview);
  if (!p)
    return nullptr;
  p->type = id;
  {
    ItemHandle item(db->OpenItem(at.GetStringRef(), at.GetHash()));
    PreviewInfo info;
    if (item && stored && item->GetPreviewCount() > 0 && item->GetPreviewInfo(0, &info))
      p->stored = db->CacheGetCopy(UInt32(item->GetId()), UInt32(info.imageId));
    if (item && (id == HANDLER_ID_BASEMATERIAL || id == HANDLER_ID_BASEOBJECT) && !p->stored && !item->GetData(&p->data))
      p->data.clear();
  }
  if (!p->stored && p->data.empty()) {
    OrxDeleteObj(p);
    return nullptr;
  }
  // One quality value, as every caller of the interface provides.
  if (qualities)
    *qualities = stored ? 4 : 0;
  return p;
}

void PresetTypePlugin::FreePreviewData(void* data)
{
  PresetPreview* p = static_cast<PresetPreview*>(data);
  if (!p)
    return;
  if (p->stored)
    OrxDeleteObj(p->stored);
  OrxDeleteObj(p);
}

BaseBitmap* PresetTypePlugin::GetPreviewBitmap(void* data, Int32 width, Int32 height, Int32)
{
  PresetPreview* p = static_cast<PresetPreview*>(data);
  if (!p || width <= 0 || height <= 0)
    return nullptr;
  if (p->stored)
    return p->stored->GetWidth() == width && p->stored->GetHeight() == height ? p->stored->GetClone()
                                                                             : GeScaleBitmap(*p->stored, width, height);
  if (p->type != HANDLER_ID_BASEMATERIAL && p->type != HANDLER_ID_BASEOBJECT)
    return nullptr;
  BaseBitmap* rendered = nullptr;
  {
    DocHolder doc{LoadDocumentFromMemory(p->data.data(), Int64(p->data.size()), 0)};
    if (doc.d)
      rendered = RenderScenePreview(doc.d, width, height, p->type == HANDLER_ID_BASEMATERIAL ? SCENEPREVIEW_MATERIAL : 0);
  }
  // Without the host's renderer a material still shows its colour on a ball drawn here.
  if (!rendered && p->type == HANDLER_ID_BASEMATERIAL)
    return DrawMaterialBall(p->data.data(), Int64(p->data.size()), width, height);
  return rendered;
}

// Icons come from the icon service of the views; none is made here.
BaseBitmap* PresetTypePlugin::GetIcon(NodeRef, BrowserURL*, Int32) { return nullptr; }
PreviewDialog* PresetTypePlugin::CreatePreviewDialog(NodeRef node, Int32 page)
{
  // The whole family shows icon 12; every item of a library keeps an annotation.
  const Int32 kind = t_.id == HANDLER_ID_PRESET_LIBRARY ? PREVIEWDIALOG_PRESET_LIBRARY
                     : t_.id == HANDLER_ID_RENDERDATA   ? PREVIEWDIALOG_RENDERDATA
                                                        : PREVIEWDIALOG_PRESET;
  return MakePreviewDialog(std::move(node), kind, 12, PREVIEWDIALOG_ANNOTATION, page);
}

Bool PresetTypePlugin::Execute(NodeRef node, BrowserURL* url, Int32 flags)
{
  BrowserURL at;
  BrowserDatabase* db = LibraryOf(node, url, &at);
  if (!db)
    return false;
  ByteArray data;
  {
    ItemHandle item(db->OpenItem(at.GetStringRef(), at.GetHash()));
    if (!item || !item->GetData(&data))
      return false;
  }
  BaseList2D* taken = nullptr;
  return ApplyPresetData(t_.id, data.data(), Int64(data.size()), flags & ~APPLY_TAKE_ELEMENT, &taken);
}

String* PresetTypePlugin::GetTypeNames(Int32, Int32* count)
{
  if (count)
    *count = 0;
  return t_.typeString ? MakeTypeNames(GeLoadString(t_.typeString), count) : nullptr;
}

// ---- generic presets ----
namespace {
std::atomic<UInt32> g_applyCounter{0};

const PresetTypeTable& FilePresetTable()
{
  for (const PresetTypeTable& t : kTables)
    if (t.id == HANDLER_ID_FILE_PRESET)
      return t;
  return kTables[0];
}

String LastURLPart(const String& text)
{
  Int32 pos = -1;
  return text.FindLast(Utf16Char('/'), &pos) ? text.SubStr(pos + 1, text.GetLength() - pos - 1) : text;
}
} // namespace

Bool WriteApplyFile(const String& name, const void* data, Int64 size, Filename* out)
{
  String valid = MakeValidName(name);
  for (Int32 i = 0; i < valid.GetLength(); ++i)
    if (valid[i] == 0)
      valid.SetChar(i, Utf16Char('_'));
  if (valid.IsEmpty() || valid == String(".") || valid == String(".."))
    valid = String("preset");
  const Filename temp = GetTempFolder();
  if (!GeFolderExists(temp) && !GeCreateFolderTree(temp))
    return false;
  // A folder that this call made: one that exists already may be another apply's, or another
  // program's that shares the temporary folder.
  Filename folder;
  bool made = false;
  const Int64 stamp = Int64(GeGetTimer());
  for (Int32 tries = 0; tries < 1000 && !made; ++tries) {
    folder = temp + (String("apply-") + String::FromInt(stamp) + String("-") +
                     String::FromInt(Int64(g_applyCounter.fetch_add(1, std::memory_order_relaxed))));
    const Int32 r = GeMakeFolder(folder, false);
    if (r == MAKEFOLDER_FAILED)
      return false;
    made = r == MAKEFOLDER_CREATED;
  }
  if (!made)
    return false;
  const Filename part = folder + (String(".part-") + valid);
  const Filename file = folder + valid;
  BaseFile f;
  bool written = f.Open(part, FileMode::Write);
  written = written && (size <= 0 || f.WriteBytes(data, size));
  written = f.Close() && written;
  if (!written || !GeRenameNoReplace(part, file)) {
    GeDelete(part);
    GeDelete(folder);
    return false;
  }
  *out = file;
  return true;
}

// Applying a default setting does nothing.
Bool BrowserDefaultsPlugin::Execute(NodeRef, BrowserURL*, Int32) { return false; }

BrowserFilePresetPlugin::BrowserFilePresetPlugin() : PresetTypePlugin(FilePresetTable()) {}

Bool BrowserFilePresetPlugin::Execute(NodeRef node, BrowserURL* url, Int32 flags)
{
  BrowserURL at;
  BrowserDatabase* db = LibraryOf(node, url, &at);
  if (!db)
    return false;
  ByteArray data;
  Int32 type = 0, type2 = 0;
  {
    ItemHandle item(db->OpenItem(at.GetStringRef(), at.GetHash()));
    if (!item || !item->GetData(&data) || data.empty())
      return false;
    type = item->GetType(&type2);
  }
  // The URL names an item of a library, never a file: the host only ever gets a file that holds
  // the preset's bytes.
  const String name = LastURLPart(at.GetString());
  Filename file;
  if (!WriteApplyFile(name, data.data(), Int64(data.size()), &file))
    return false;
  if (type == HANDLER_ID_FILE_PRESET && type2 == HANDLER_ID_SCENE && file.CheckSuffix(String("orx")))
    return GeLoadFile(file);
  BrowserURL fileURL(file);
  BrowserPluginInterface* handler = nullptr;
  // A file that no handler claims goes to the handler of unknown files, as on disk.
  if (!FindPluginForURL(fileURL, true, &handler) || !handler)
    handler = FindPluginByID(HANDLER_ID_UNKNOWN_FILE);
  if (!handler || handler == this)
    return false;
  return handler->Execute(nullptr, &fileURL, flags);
}

void RegisterPresetTypePlugins()
{
  for (const PresetTypeTable& t : kTables) {
    if (FindPluginByID(t.id))
      continue;
    PresetTypePlugin* h = t.id == HANDLER_ID_FILE_PRESET ? OrxNewObj(BrowserFilePresetPlugin)
                          : t.id == HANDLER_ID_DEFAULTS  ? OrxNewObj(BrowserDefaultsPlugin, t)
                                                         : OrxNewObj(PresetTypePlugin, t);
    if (h && !RegisterPlugin(h, 0, true))
      delete h;
  }
}
