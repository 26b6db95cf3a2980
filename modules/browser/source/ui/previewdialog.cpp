#include "ui/previewdialog.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "base/browserutils.h"
#include "contenttree/contentevents.h"
#include "contenttree/nodeconstants.h"
#include "core/contentaccess.h"
#include "orx/bitmap.h"
#include "orx/media.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/browserdatabaseitem.h"
#include "previews/bgthread.h"

namespace {

constexpr Int32 kPictureSide = 256;
constexpr Int32 kPictureKept = 512;
constexpr Int32 kAreaMin = 128;

String DateText(const DateTime& d)
{
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u", unsigned(d.year), unsigned(d.month), unsigned(d.day),
                unsigned(d.hour), unsigned(d.minute));
  return String(buf);
}

String SizeText(Int32 w, Int32 h)
{
  char buf[48];
  std::snprintf(buf, sizeof buf, "%d x %d", int(w), int(h));
  return String(buf);
}

Bool ValidPage(Int32 page)
{
  return (page >= 0 && page <= 2) || (page >= PREVIEWPAGE_EXTRA && page < PREVIEWPAGE_EXTRA * 2);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// PreviewBitmap

PreviewBitmap::~PreviewBitmap() { SetBitmap(nullptr); }

void PreviewBitmap::SetBitmap(BaseBitmap* bitmap)
{
  if (bitmap_ == bitmap)
    return;
  if (bitmap_)
    OrxDeleteObj(bitmap_);
  bitmap_ = bitmap && !bitmap->IsEmpty() ? bitmap : nullptr;
  if (bitmap && !bitmap_)
    OrxDeleteObj(bitmap);
}

Bool PreviewBitmap::GetMinSize(Int32& w, Int32& h)
{
  w = kAreaMin;
  h = kAreaMin;
  return true;
}

void PreviewBitmap::DrawMsg(Int32, Int32, Int32, Int32)
{
  const Int32 w = GetWidth(), h = GetHeight();
  DrawSetPen(ORX_COLOR_BG);
  DrawRectangle(0, 0, w - 1, h - 1);
  if (w <= 0 || h <= 0)
    return;
  if (!bitmap_) {
    const Int32 side = std::min({w, h, Int32(64)});
    DrawIcon(icon_, (w - side) / 2, (h - side) / 2, side, side);
    return;
  }
  // Scaled to fit, never enlarged, centred.
  Int32 dw = 0, dh = 0;
  FitPreviewSize(bitmap_->GetWidth(), bitmap_->GetHeight(), w, h, &dw, &dh);
  DrawBitmap(*bitmap_, (w - dw) / 2, (h - dh) / 2, dw, dh);
}

// ---------------------------------------------------------------------------------------------
// PreviewDialog

PreviewDialog::PreviewDialog(NodeRef node, const PreviewDialogRequest& request)
    : node_(std::move(node)), request_(request)
{
  SetPage(request.page);
  picture_.SetIcon(request.icon);
}

PreviewDialog::~PreviewDialog() = default;

void PreviewDialog::SetPage(Int32 page) { page_ = ValidPage(page) ? page : 0; }

void PreviewDialog::SetField(Int32 id, const String& text)
{
  for (FieldText& f : fields_)
    if (f.id == id) {
      f.text = text;
      return;
    }
  fields_.push_back({id, text});
}

String PreviewDialog::Field(Int32 id) const
{
  for (const FieldText& f : fields_)
    if (f.id == id)
      return f.text;
  return String();
}

void PreviewDialog::Load()
{
  fields_.clear();
  annotation_ = String();
  annotationEditable_ = false;
  picture_.SetBitmap(nullptr);
  // A node that is gone shows nothing of what it was.
  if (!node_ || node_->IsDeleted())
    return;
  hasURL_ = node_->GetURL(&url_, 0);
  SetField(IDC_PREVIEW_NAME, node_->GetName());
  String type;
  node_->GetTypeName(&type, 0);
  SetField(IDC_PREVIEW_KIND, type);
  Int64 size = -1;
  const UInt32 info = node_->GetInfo(&size);
  if (!(info & (NODEMASK_NO_SIZE | NODESTATUS_CONTAINER)) && size >= 0) {
    String s;
    FormatFileSize(&s, size, true);
    SetField(IDC_PREVIEW_SIZE, s);
  }
  DateTime d;
  if (node_->GetFileTime(1, &d) && d.year)
    SetField(IDC_PREVIEW_MODIFIED, DateText(d));
  d = DateTime();
  if (node_->GetFileTime(0, &d) && d.year)
    SetField(IDC_PREVIEW_CREATED, DateText(d));
  if (hasURL_)
    SetField(IDC_PREVIEW_LOCATION, url_.GetDirectory().GetString());
  String format;
  node_->GetTypeName(&format, TYPENAME_DETAILED);
  SetField(IDC_PREVIEW_FORMAT, format);

  BaseBitmap* picture = nullptr;
  BrowserPluginInterface* handler = node_->GetPluginInterface(0);
  if (handler && WantsPreview()) {
    Int32 qualities = 0;
    if (void* data = handler->OpenPreviewData(0, node_, nullptr, &qualities)) {
      picture = handler->GetPreviewBitmap(data, kPictureSide, kPictureSide, 0);
      handler->FreePreviewData(data);
    }
  }
  // The node's own picture (a stored preview) stands in for content that gives none.
  if (!picture)
    picture = node_->GetIcon(0, kPictureSide);
  // Handlers may give the whole picture: the pane keeps no more than it can show.
  if (picture && (picture->GetWidth() > kPictureKept || picture->GetHeight() > kPictureKept)) {
    if (BaseBitmap* small = ScaleToPreview(*picture, kPictureKept, kPictureKept)) {
      OrxDeleteObj(picture);
      picture = small;
    }
  }
  picture_.SetBitmap(picture);

  String first, second;
  Details(&first, &second);
  SetField(IDC_PREVIEW_DETAIL1, first);
  SetField(IDC_PREVIEW_DETAIL2, second);

  if (HasAnnotationGroup() && hasURL_) {
    BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(url_.GetStringRef());
    if (db) {
      ItemHandle item(db->OpenItem(url_.GetStringRef(), url_.GetHash()));
      if (item.p)
        annotation_ = item.p->GetAnnotation();
      annotationEditable_ = !db->IsReadOnly() && !(info & NODESTATUS_READONLY);
    }
  }
}

void PreviewDialog::Details(String* first, String* second)
{
  BrowserPluginInterface* h = node_ ? node_->GetPluginInterface(PLUGINREQUEST_QUICK) : nullptr;
  if (h)
    h->GetPluginID(first);
  (void)second;
}

Bool PreviewDialog::CreateLayout()
{
  GroupBegin(IDC_PREVIEW_GROUP, ORX_FIT_H | ORX_FIT_V, 1, 0);
  GroupBegin(IDC_PREVIEW_PICTURE_GROUP, ORX_FIT_H, 1, 0, GeLoadString(IDS_PREVIEW_PICTURE), 1);
  AddUserArea(IDC_PREVIEW_PICTURE, ORX_FIT_H | ORX_FIT_V, picture_, kAreaMin, kAreaMin);
  GroupEnd();
  GroupBegin(IDC_PREVIEW_INFO, ORX_FIT_H, 2, 0, GeLoadString(IDS_PREVIEW_INFO), 1);
  AddStaticText(IDC_PREVIEW_NAME, ORX_FIT_H, String());
  AddStaticText(IDC_PREVIEW_KIND, ORX_FIT_H, String());
  const struct
  {
    Int32 label, value, text;
  } pairs[] = {
      {IDC_PREVIEW_SIZE_LABEL, IDC_PREVIEW_SIZE, IDS_PREVIEW_SIZE},
      {IDC_PREVIEW_MODIFIED_LABEL, IDC_PREVIEW_MODIFIED, IDS_PREVIEW_MODIFIED},
      {IDC_PREVIEW_CREATED_LABEL, IDC_PREVIEW_CREATED, IDS_PREVIEW_CREATED},
      {IDC_PREVIEW_LOCATION_LABEL, IDC_PREVIEW_LOCATION, IDS_PREVIEW_LOCATION},
      {IDC_PREVIEW_FORMAT_LABEL, IDC_PREVIEW_FORMAT, IDS_PREVIEW_FORMAT},
  };
  for (const auto& p : pairs) {
    AddStaticText(p.label, 0, GeLoadString(p.text));
    AddStaticText(p.value, ORX_FIT_H, String());
  }
  AddStaticText(IDC_PREVIEW_DETAIL_LABEL, 0, GeLoadString(IDS_PREVIEW_DETAILS));
  AddStaticText(IDC_PREVIEW_DETAIL1, ORX_FIT_H, String());
  AddStaticText(0, 0, String());
  AddStaticText(IDC_PREVIEW_DETAIL2, ORX_FIT_H, String());
  GroupEnd();
  LayoutExtra();
  if (HasAnnotationGroup()) {
    GroupBegin(IDC_PREVIEW_ANNOTATION_GROUP, ORX_FIT_H, 1, 0, GeLoadString(IDS_PREVIEW_ANNOTATION), 1);
    AddEditText(IDC_PREVIEW_ANNOTATION, ORX_FIT_H);
    AddStaticText(IDC_PREVIEW_ANNOTATION_STATE, ORX_FIT_H, String());
    GroupBegin(0, 0, 2, 0);
    AddButton(IDC_PREVIEW_ANNOTATION_STORE, 0, GeLoadString(IDS_PREVIEW_STORE));
    AddButton(IDC_PREVIEW_ANNOTATION_REVERT, 0, GeLoadString(IDS_PREVIEW_REVERT));
    GroupEnd();
    GroupEnd();
  }
  GroupEnd();
  laidOut_ = true;
  return true;
}

Bool PreviewDialog::InitValues()
{
  for (const FieldText& f : fields_)
    SetString(f.id, f.text);
  if (HasAnnotationGroup()) {
    SetString(IDC_PREVIEW_ANNOTATION, annotation_);
    const Bool editable = annotationEditable_ && !ended_;
    Enable(IDC_PREVIEW_ANNOTATION, editable);
    Enable(IDC_PREVIEW_ANNOTATION_STORE, editable);
    Enable(IDC_PREVIEW_ANNOTATION_REVERT, editable);
    SetString(IDC_PREVIEW_ANNOTATION_STATE, editable ? String() : GeLoadString(IDS_PREVIEW_READONLY));
  }
  return true;
}

Bool PreviewDialog::Command(Int32 id)
{
  switch (id) {
    case IDC_PREVIEW_ANNOTATION_STORE: StoreAnnotation(); return true;
    case IDC_PREVIEW_ANNOTATION_REVERT: SetString(IDC_PREVIEW_ANNOTATION, annotation_); return true;
    default: return CommandExtra(id) || true;
  }
}

Bool PreviewDialog::StoreAnnotation()
{
  if (!HasAnnotationGroup() || !laidOut_ || !annotationEditable_ || !hasURL_ || !node_ || node_->IsDeleted())
    return false;
  String text;
  if (!GetString(IDC_PREVIEW_ANNOTATION, text) || text == annotation_)
    return true;
  BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(url_.GetStringRef());
  if (!db || db->IsReadOnly())
    return false;
  Bool ok = false;
  {
    // An empty text does not make a record for content that has none.
    ItemHandle item(text.IsEmpty() ? db->OpenItem(url_.GetStringRef(), url_.GetHash())
                                 : db->OpenOrCreateItem(url_.GetStringRef(), url_.GetHash()));
    if (!item.p)
      return text.IsEmpty();
    if (item.p->GetDatabase() != db)
      return false;
    ok = item.p->SetAnnotation(text);
  }
  if (ok) {
    annotation_ = text;
    UpdateItemNode(db, url_);
  }
  return ok;
}

Int32 PreviewDialog::End(Bool storeEdits)
{
  if (ended_)
    return page_;
  if (storeEdits)
    StoreAnnotation();
  else if (laidOut_ && HasAnnotationGroup())
    SetString(IDC_PREVIEW_ANNOTATION, annotation_); // the edit is dropped
  ended_ = true;
  if (laidOut_ && HasAnnotationGroup()) {
    Enable(IDC_PREVIEW_ANNOTATION, false);
    Enable(IDC_PREVIEW_ANNOTATION_STORE, false);
    Enable(IDC_PREVIEW_ANNOTATION_REVERT, false);
  }
  node_ = nullptr;
  return page_;
}

// ---------------------------------------------------------------------------------------------
// The kinds

void ImagePreviewDialog::Details(String* first, String* second)
{
  // The picture's own size, from the file's header: the preview was reduced while it was read.
  Filename file;
  Int32 w = 0, h = 0;
  if (hasURL_ && url_.GetFilename(&file) && GeGetBitmapInfo(file, &w, &h) && w > 0 && h > 0)
    *first = SizeText(w, h);
  if (node_)
    node_->GetTypeName(second, TYPENAME_DETAILED);
}

void PresetPreviewDialog::Details(String* first, String* second)
{
  if (!hasURL_)
    return;
  *first = BrowserDatabase::DisplayNameForURL(url_.GetStringRef());
  if (BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(url_.GetStringRef()))
    *second = db->GetFilename().GetString();
}

BrowserDatabase* CatalogPreviewDialog::Catalog()
{
  if (!hasURL_)
    return nullptr;
  // A catalog file on disk is open when its catalog is shown; a catalog:// URL names it directly.
  Filename file;
  if (url_.GetStringRef().StartsWith(String("file:/")))
    return url_.GetFilename(&file) ? BrowserDatabase::FindLibraryForFile(file) : nullptr;
  return BrowserDatabase::FindLibraryForURL(url_.GetStringRef());
}

void CatalogPreviewDialog::LayoutExtra()
{
  GroupBegin(0, ORX_FIT_H, 2, 0, GeLoadString(IDS_PREVIEW_CATALOG_BASE), 1);
  AddEditText(IDC_PREVIEW_CATALOG_BASE, ORX_FIT_H);
  AddButton(IDC_PREVIEW_CATALOG_CHOOSE, 0, String("..."));
  GroupEnd();
  BrowserDatabase* db = Catalog();
  if (db)
    db->GetCatalogString(&base_);
  SetField(IDC_PREVIEW_CATALOG_BASE, base_);
  // Only a catalog that is open has a base path to edit.
  Enable(IDC_PREVIEW_CATALOG_BASE, db && !db->IsReadOnly());
  Enable(IDC_PREVIEW_CATALOG_CHOOSE, db && !db->IsReadOnly());
}

Bool CatalogPreviewDialog::StoreBasePath(const String& path)
{
  BrowserDatabase* db = ended_ ? nullptr : Catalog();
  if (!db || db->IsReadOnly())
    return false;
  db->SetCatalogString(path);
  base_ = path;
  // Relative links read their targets against the new base when next looked up; the views are told.
  if (node_)
    NotifyNodeChanged(node_);
  SetField(IDC_PREVIEW_CATALOG_BASE, base_);
  return true;
}

Bool CatalogPreviewDialog::CommandExtra(Int32 id)
{
  if (id == IDC_PREVIEW_CATALOG_BASE) {
    String text;
    if (GetString(IDC_PREVIEW_CATALOG_BASE, text) && text != base_)
      StoreBasePath(text);
    return true;
  }
  if (id == IDC_PREVIEW_CATALOG_CHOOSE) {
    Filename chosen(base_);
    if (GeFileSelect(chosen, ORX_FILESELECT_FOLDER, GeLoadString(IDS_PREVIEW_CATALOG_BASE)) &&
        StoreBasePath(chosen.GetString()))
      SetString(IDC_PREVIEW_CATALOG_BASE, base_);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Several nodes

String PreviewMultiText(const String& pattern, Int32 first, Int32 second)
{
  String out = pattern;
  const struct
  {
    const char* key;
    Int32 value;
  } keys[] = {{"%d1", first}, {"%d2", second}};
  for (const auto& k : keys) {
    const String key(k.key), value = String::FromInt(k.value);
    Int32 pos = 0, from = 0;
    while (out.FindFirst(key, &pos, from)) {
      out = out.SubStr(0, pos) + value + out.SubStr(pos + key.GetLength(), out.GetLength() - pos - key.GetLength());
      from = pos + value.GetLength();
    }
  }
  return out;
}

PreviewMultiUserArea::~PreviewMultiUserArea() { Clear(); }

void PreviewMultiUserArea::Clear()
{
  for (BaseBitmap*& b : pictures_)
    if (b)
      OrxDeleteObj(b);
  pictures_.clear();
}

namespace {
constexpr Int32 kThumb = 48, kThumbGap = 4, kThumbsMax = 64;
}

namespace {
// The node's own picture (a stored preview) when it has one, else its handler's preview.
BaseBitmap* SmallPicture(const NodeRef& n)
{
  if (BaseBitmap* b = n->GetIcon(0, kThumb))
    return b;
  BrowserPluginInterface* h = n->GetPluginInterface(0);
  if (!h)
    return nullptr;
  Int32 qualities = 0;
  void* data = h->OpenPreviewData(0, n, nullptr, &qualities);
  if (!data)
    return nullptr;
  BaseBitmap* b = h->GetPreviewBitmap(data, kThumb, kThumb, 0);
  h->FreePreviewData(data);
  return b;
}
} // namespace

void PreviewMultiUserArea::SetNodes(const std::vector<NodeRef>& nodes)
{
  Clear();
  for (const NodeRef& n : nodes) {
    if (Int32(pictures_.size()) >= kThumbsMax)
      break;
    pictures_.push_back(n && !n->IsDeleted() ? SmallPicture(n) : nullptr);
  }
}

Bool PreviewMultiUserArea::GetMinSize(Int32& w, Int32& h)
{
  w = 4 * (kThumb + kThumbGap);
  h = kThumb + kThumbGap;
  return true;
}

void PreviewMultiUserArea::DrawMsg(Int32, Int32, Int32, Int32)
{
  const Int32 w = GetWidth(), h = GetHeight();
  DrawSetPen(ORX_COLOR_BG);
  DrawRectangle(0, 0, w - 1, h - 1);
  const Int32 cell = kThumb + kThumbGap;
  const Int32 perRow = std::max<Int32>(1, w / cell);
  for (Int32 i = 0; i < Int32(pictures_.size()); ++i) {
    const Int32 x = (i % perRow) * cell + kThumbGap / 2, y = (i / perRow) * cell + kThumbGap / 2;
    if (y >= h)
      break;
    if (const BaseBitmap* b = pictures_[std::size_t(i)]) {
      DrawBitmap(*b, x, y, kThumb, kThumb);
    } else {
      DrawSetPen(ORX_COLOR_TEXT_NOFOCUS);
      DrawFrame(x, y, x + kThumb - 1, y + kThumb - 1);
    }
  }
}

PreviewMultiDialog::PreviewMultiDialog(std::vector<NodeRef> nodes) : nodes_(std::move(nodes))
{
  pictures_.SetNodes(nodes_);
}

Int32 PreviewMultiDialog::ContainerCount() const
{
  Int32 n = 0;
  for (const NodeRef& node : nodes_) {
    Int64 size = 0;
    if (node && !node->IsDeleted() && (node->GetInfo(&size) & NODEMASK_BROWSABLE))
      ++n;
  }
  return n;
}

String PreviewMultiDialog::Text() const
{
  return PreviewMultiText(GeLoadString(IDS_PREVIEWMULTI), SelectedCount(), ContainerCount());
}

Bool PreviewMultiDialog::CreateLayout()
{
  GroupBegin(IDC_PREVIEW_GROUP, ORX_FIT_H | ORX_FIT_V, 1, 0);
  AddStaticText(IDC_PREVIEWMULTI_TEXT, ORX_FIT_H, String());
  AddUserArea(IDC_PREVIEWMULTI_PICTURES, ORX_FIT_H | ORX_FIT_V, pictures_);
  GroupEnd();
  return true;
}

Bool PreviewMultiDialog::InitValues()
{
  SetString(IDC_PREVIEWMULTI_TEXT, Text());
  return true;
}

// ---------------------------------------------------------------------------------------------
// The hooks through which the handlers reach the dialogs

namespace {

PreviewDialog* NewDialog(NodeRef node, const PreviewDialogRequest& r)
{
  switch (r.kind) {
    case PREVIEWDIALOG_IMAGE: return new ImagePreviewDialog(std::move(node), r);
    case PREVIEWDIALOG_MOVIE: return new MoviePreviewDialog(std::move(node), r);
    case PREVIEWDIALOG_SOUND: return new SoundPreviewDialog(std::move(node), r);
    case PREVIEWDIALOG_SCRIPT: return new ScriptPreviewDialog(std::move(node), r);
    case PREVIEWDIALOG_KORVEX: return new KorvexPreviewDialog(std::move(node), r);
    case PREVIEWDIALOG_LAYOUT: return new LayoutFilePreviewDialog(std::move(node), r);
    case PREVIEWDIALOG_CATALOG: return new CatalogPreviewDialog(std::move(node), r);
    case PREVIEWDIALOG_PRESET_LIBRARY: return new PresetLibraryPreviewDialog(std::move(node), r);
    case PREVIEWDIALOG_PRESET: return new PresetPreviewDialog(std::move(node), r);
    case PREVIEWDIALOG_RENDERDATA: return new RenderDataPreviewDialog(std::move(node), r);
    default: return new PreviewDialog(std::move(node), r);
  }
}

PreviewDialog* MakeDialog(NodeRef node, const PreviewDialogRequest& request)
{
  PreviewDialog* d = nullptr;
  try {
    d = NewDialog(std::move(node), request);
    if (d)
      d->Load();
    return d;
  } catch (...) {
    delete d;
    return nullptr;
  }
}

Int32 DestroyDialog(PreviewDialog* dialog)
{
  const Int32 page = dialog->GetPage();
  delete dialog;
  return page;
}

Int32 CloseDialog(PreviewDialog* dialog, Bool storeEdits)
{
  try {
    return dialog->End(storeEdits);
  } catch (...) {
    return dialog->GetPage();
  }
}

Int32 DialogHandle(PreviewDialog* dialog) { return dialog->GetHandle(); }
Int32 DialogPage(PreviewDialog* dialog) { return dialog->GetPage(); }

void* MakeMulti(const NodeRef* nodes, Int32 count, Int32* handle)
{
  try {
    auto* d = new PreviewMultiDialog(std::vector<NodeRef>(nodes, nodes + count));
    if (handle)
      *handle = d->GetHandle();
    return d;
  } catch (...) {
    return nullptr;
  }
}

void FreeMulti(void* dialog) { delete static_cast<PreviewMultiDialog*>(dialog); }

const PreviewDialogOps kOps = {&DestroyDialog, &CloseDialog, &DialogHandle, &DialogPage, &MakeMulti, &FreeMulti};

struct Install
{
  Install() { InstallPreviewDialogs(true); }
} g_install;

} // namespace

void InstallPreviewDialogs(Bool on)
{
  SetPreviewDialogOps(on ? &kOps : nullptr);
  SetPreviewDialogFactory(on ? &MakeDialog : nullptr);
}
