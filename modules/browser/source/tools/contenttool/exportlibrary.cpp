#include "tools/contenttool/exportlibrary.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "base/browserurl.h"
#include "base/browserutils.h"
#include "contenttree/nodeconstants.h"
#include "orx/browsercontenttool.h"
#include "orx/dialogs.h"
#include "orx/files.h"
#include "orx/hyperfile.h"
#include "orx/media.h"
#include "orx/scenedoc.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "presets/filepresetnode.h"
#include "tools/contenttool/librarybuild.h"
#include "tools/contenttool/presettypetable.h"
#include "tools/contenttool/replacefile.h"
#include "tools/xml/xml_parser.h"

namespace {

constexpr Int32 kTypeScene = 1018023;
constexpr Int32 kTypeBaseObject = 1018107;
constexpr Int32 kTypeBaseMaterial = 1018108;
constexpr Int32 kSceneLoadFlags = 3;

const String kDescription(".cbinfo");

// An XML tree that frees itself.
struct XmlTree
{
  XMLNode* root = nullptr;
  ~XmlTree() { FreeXMLTree(root); }
};

String UrlText(const NodeRef& n)
{
  BrowserURL u;
  return n && n->GetURL(&u, 0) ? u.GetString() : String();
}

String LastPart(const String& url)
{
  Int32 slash = -1;
  if (!url.FindLast(u'/', &slash))
    return url;
  return url.SubStr(slash + 1, url.GetLength() - slash - 1);
}

Bool IsFolderNode(const NodeRef& n) { return (n->GetInfo(nullptr) & NODESTATUS_FOLDER) != 0; }

Int32 CountBelow(const NodeRef& n)
{
  Int32 count = 0;
  n->LoadChildren();
  for (NodeRef c = n->GetDownNode(); c; c = c->GetNextNode()) {
    ++count;
    if (IsFolderNode(c))
      count += CountBelow(c);
  }
  return count;
}

Filename DescriptionOf(const Filename& path) { return Filename(path.GetString() + kDescription); }

String Quality(Int32 q)
{
  switch (q) {
    case 1: return String("type=lowquality");
    case 2: return String("type=mediumquality");
    case 4: return String("type=highquality");
    case 8: return String("type=maximumquality");
    default: return String("type=default");
  }
}

String FiveDigits(Int32 k)
{
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.5d", int(k));
  return String(buf);
}

// A preview picture as JPEG at path, in the form the build reads back: JPEG bytes that hold a
// picture as they are, any other picture the host reads re-encoded (a library's previews are JPEG).
// Bytes that hold no picture fail, so that the export does not write what cannot build back.
Bool WritePreviewPicture(const Filename& path, const ByteArray& bytes)
{
  if (bytes.empty())
    return false;
  ByteArray jpeg;
  Int32 w = 0, h = 0;
  if (!PreviewAsJpeg(bytes.data(), Int64(bytes.size()), &jpeg, &w, &h))
    return false;
  return ReplaceFileBytes(path, jpeg.data(), Int64(jpeg.size()));
}

// The texture references of a loaded scene that lie in a "tex" folder beside the library (or are
// written relative to one) become bare file names, so that the tree carries them with the scene.
// Our equivalent of the host's texture path resolution: the folder named "tex" relative to the
// scene, or <library folder>/tex.
void MakeTexturesBare(BaseDocument* doc, const Filename& libraryFolder)
{
  const Filename texFolder = libraryFolder.IsEmpty() ? Filename() : libraryFolder + String("tex");
  std::vector<BaseList2D*> stack;
  for (Int32 list : {SCENELIST_OBJECTS, SCENELIST_MATERIALS, SCENELIST_RENDER})
    if (BaseList2D* e = DocFirst(doc, list))
      stack.push_back(e);
  while (!stack.empty()) {
    BaseList2D* e = stack.back();
    stack.pop_back();
    if (BaseList2D* n = ElemNext(e))
      stack.push_back(n);
    if (BaseList2D* d = ElemDown(e))
      stack.push_back(d);
    BaseContainer* data = ElemData(e);
    if (!data || !data->Has(MATERIAL_TEXTURE))
      continue;
    const Filename tex = data->GetFilename(MATERIAL_TEXTURE);
    const Filename dir = tex.GetDirectory();
    const Bool relativeTex = dir == Filename("tex") || dir == Filename("./tex");
    if (relativeTex || (!texFolder.IsEmpty() && dir == texFolder))
      data->SetFilename(MATERIAL_TEXTURE, tex.GetFile());
  }
}

// The scene types' data: loaded as a scene, textures made bare, saved in the native format. False
// when the data is no scene (the bytes are written as they are then).
Bool SceneBytes(const ByteArray& data, const Filename& libraryFolder, ByteArray* out)
{
  BaseDocument* doc = LoadDocumentFromMemory(data.data(), Int64(data.size()), kSceneLoadFlags);
  if (!doc)
    return false;
  MakeTexturesBare(doc, libraryFolder);
  void* block = nullptr;
  Int64 size = 0;
  Bool ok = SaveDocumentToMemory(doc, &block, &size) && block && size > 0;
  FreeDocument(doc);
  if (ok) {
    try {
      out->assign(static_cast<const UChar*>(block), static_cast<const UChar*>(block) + size);
    } catch (...) {
      ok = false;
    }
  }
  if (block)
    OrxMemFree(block);
  return ok;
}

// `name` with one `string` per language, then `annotation` when there is one. Every element that
// cannot be made or a language that cannot be written is an error of its own.
Bool AddNamesAndAnnotation(ExportContext& ctx, XMLNode* item, const BaseContainer& names, const String& annotation,
                           const String& url)
{
  Bool ok = true;
  XMLNode* name = item->AddChild(String("name"));
  if (!name) {
    ctx.LogError(String("Could not create name tag for ") + url);
    return false;
  }
  for (const BaseContainer::Entry& e : names) {
    const String* text = e.data.GetStringPtr();
    if (!text)
      continue;
    String code;
    if (e.id != 0 && !LanguageCode(e.id, &code)) {
      ctx.LogError(String("The language id ") + String::FromInt(e.id) + String(" of ") + url +
                   String(" cannot be written"));
      ok = false;
      continue;
    }
    XMLNode* s = name->AddChild(String("string"));
    if (!s) {
      ctx.LogError(String("Could not create string tag for ") + url);
      ok = false;
      continue;
    }
    if (e.id != 0)
      s->SetAttributes(String("language=") + code);
    s->SetText(*text);
  }
  if (annotation.Content()) {
    XMLNode* a = item->AddChild(String("annotation"));
    XMLNode* s = a ? a->AddChild(String("string")) : nullptr;
    if (!s) {
      ctx.LogError(String("Could not create annotation tag for ") + url);
      return false;
    }
    s->SetText(annotation);
  }
  return ok;
}

// The build reads descriptions of at most this size.
constexpr Int64 kDescriptionLimit = Int64(1) << 20;

Bool WriteDescription(ExportContext& ctx, const Filename& path, const XMLNode* root)
{
  if (!ReplaceFileWith(path, [&](const Filename& temp) { return WriteXMLFile(temp, root, StringEncoding::Utf8); }))
    return false;
  // Written all the same; the error tells that it will not come back.
  if (GeGetFileSize(path) > kDescriptionLimit)
    ctx.LogError(String("The description ") + path.GetString() + String(" is larger than 1 MiB: it cannot be built back"));
  return true;
}

// Entry points into a folder the export may write: made now, or a real folder there already (not
// a link, which would lead the export elsewhere).
enum class FolderState { Ready, FileThere, Failed };
FolderState PrepareFolder(const Filename& path)
{
  FileStatus st;
  if (GeGetFileStatus(path, &st)) {
    if (st.attributes & FILEATTR_LINK)
      return FolderState::FileThere;
    return (st.attributes & FILEATTR_FOLDER) ? FolderState::Ready : FolderState::FileThere;
  }
  return GeMakeFolder(path, false) != MAKEFOLDER_FAILED ? FolderState::Ready : FolderState::Failed;
}

// Every node below n (for a skipped folder): stepped and logged.
void SkipBelow(ExportContext& ctx, const NodeRef& n, const Filename& folder)
{
  n->LoadChildren();
  for (NodeRef c = n->GetDownNode(); c; c = c->GetNextNode()) {
    ctx.Step();
    const Filename at = folder + LastPart(UrlText(c));
    ctx.LogError(String("Exporting ") + at.GetString() + String(" failed"));
    if (IsFolderNode(c))
      SkipBelow(ctx, c, at);
  }
}

Bool ExportFolder(ExportContext& ctx, const NodeRef& node, const Filename& parent)
{
  const String url = UrlText(node);
  String f = LastPart(url);
  if (f.StartsWith(String("NEW FOLDER"))) {
    // A new folder's URL name says nothing: its shown name does, when it is a usable name.
    const String shown = node->GetName();
    Filename at;
    if (shown.Content() && JoinInside(ctx.destinationFolder, parent, shown, &at) && !GeFileExists(at) &&
        !GeFolderExists(at))
      f = shown;
  }
  Bool renamed = false;
  const String picked = ctx.names.Claim(parent, f, true, &renamed);
  Filename path;
  if (picked.IsEmpty() || !JoinInside(ctx.destinationFolder, parent, picked, &path)) {
    ctx.LogError(String("The folder name \"") + f + String("\" of ") + url + String(" is not a valid name; skipped"));
    SkipBelow(ctx, node, parent + f);
    return false;
  }
  if (renamed)
    ctx.LogError(String("The name ") + (parent + f).GetString() + String(" is taken; the folder ") + url +
                 String(" is written as ") + path.GetString());

  Bool ok = false;
  switch (PrepareFolder(path)) {
    case FolderState::FileThere:
      ctx.LogError(String("There already is a file named ") + path.GetString() +
                   String(". Cannot create folder with the same name"));
      SkipBelow(ctx, node, path);
      ctx.names.Forget(path);
      return false;
    case FolderState::Failed:
      ctx.LogError(String("Creating the folder ") + path.GetString() + String(" failed"));
      SkipBelow(ctx, node, path);
      ctx.names.Forget(path);
      return false;
    case FolderState::Ready: {
      ctx.LogOperation(String("Extracting data for folder ") + url);
      XmlTree xml;
      xml.root = OrxNewObj(XMLNode);
      BaseContainer names;
      String annotation;
      if (ctx.db) {
        ItemHandle item(ctx.db->OpenItem(url));
        if (item) {
          item->GetNames(&names);
          annotation = item->GetAnnotation();
        }
      }
      if (!xml.root) {
        ctx.LogError(String("Creating XML node for ") + url + String(" failed"));
      } else {
        xml.root->SetName(String("item"));
        xml.root->SetAttributes(String("type=folder"));
        const Bool named = AddNamesAndAnnotation(ctx, xml.root, names, annotation, url);
        ok = WriteDescription(ctx, DescriptionOf(path), xml.root);
        if (!ok)
          ctx.LogError(String("Writing XML file ") + DescriptionOf(path).GetString() + String(" failed"));
        ok = ok && named;
      }
      break;
    }
  }
  // A failed child does not change the folder's result.
  for (NodeRef c = node->GetDownNode(); c; c = c->GetNextNode()) {
    if (ctx.Cancelled())
      break;
    ExportNode(ctx, c, path);
  }
  ctx.names.Forget(path);
  return ok;
}

Bool ExportPreviews(ExportContext& ctx, BrowserDatabaseItem* item, XMLNode* root, const Filename& folder,
                    const String& n)
{
  Int32 first = 0, last = -1;
  Float fps = 0;
  std::vector<PreviewInfo> stored;
  for (Int32 i = 0, count = item->GetPreviewCount(); i < count; ++i) {
    PreviewInfo info;
    if (item->GetPreviewInfo(i, &info))
      stored.push_back(info);
  }
  if (item->GetAnimation(&first, &last, &fps)) {
    XMLNode* preview = root->AddChild(String("preview"));
    if (!preview) {
      ctx.LogError(String("Could not create preview tag"));
      return false;
    }
    const String folderName = n + String(".preview");
    Filename frames;
    if (!JoinInside(ctx.destinationFolder, folder, folderName, &frames) ||
        PrepareFolder(frames) != FolderState::Ready) {
      ctx.LogError(String("Creating the folder ") + (folder + folderName).GetString() + String(" failed"));
      return false;
    }
    preview->SetAttributes(String("type=animated"));
    XMLNode* f = preview->AddChild(String("fps"));
    if (!f) {
      ctx.LogError(String("Could not create fps tag"));
      return false;
    }
    f->SetText(FormatFps(fps));
    XMLNode* m = preview->AddChild(String("media"));
    if (!m) {
      ctx.LogError(String("Could not create media tag"));
      return false;
    }
    m->SetText(folderName);
    // Only the frames that are stored, in order, numbered without gaps: the build reads frames
    // from 0 until the first missing number.
    std::vector<Int32> ids;
    for (const PreviewInfo& p : stored)
      if (p.imageId >= first && p.imageId <= last)
        ids.push_back(p.imageId);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    Bool ok = true;
    Int32 k = 0;
    for (Int32 id : ids) {
      if (ctx.Cancelled())
        return false;
      ByteArray bytes;
      const Filename out = frames + (String("preview_") + FiveDigits(k) + String(".jpg"));
      if (!item->GetPreviewData(id, &bytes) || !WritePreviewPicture(out, bytes)) {
        ctx.LogError(String("Could not save preview file ") + out.GetString());
        ok = false;
        continue;
      }
      ++k;
    }
    // Frames of an older export beyond this one's would be read as frames of this preview.
    for (Int32 stale = k;; ++stale) {
      const Filename old = frames + (String("preview_") + FiveDigits(stale) + String(".jpg"));
      FileStatus st;
      if (!GeGetFileStatus(old, &st))
        break;
      if (!GeDelete(old)) {
        ctx.LogError(String("Could not remove the old preview file ") + old.GetString());
        ok = false;
        break;
      }
    }
    return ok;
  }
  Bool ok = true;
  for (const PreviewInfo& p : stored) {
    if (ctx.Cancelled())
      return false;
    if (p.imageId < 0) {
      ctx.LogError(String("Could not save preview file: the preview index ") + String::FromInt(p.imageId) +
                   String(" is negative"));
      ok = false;
      continue;
    }
    const String file = n + String(".preview_") + FiveDigits(p.imageId) + String(".jpg");
    ByteArray bytes;
    if (!item->GetPreviewData(p.imageId, &bytes) || !WritePreviewPicture(folder + file, bytes)) {
      ctx.LogError(String("Could not save preview file"));
      ok = false;
      continue;
    }
    XMLNode* preview = root->AddChild(String("preview"));
    XMLNode* media = preview ? preview->AddChild(String("media")) : nullptr;
    if (!media) {
      ctx.LogError(String("Could not create media tag"));
      ok = false;
      continue;
    }
    preview->SetAttributes(Quality(p.quality));
    media->SetText(file);
  }
  return ok;
}

Bool ExportPreset(ExportContext& ctx, const NodeRef& node, const Filename& parent)
{
  const String url = UrlText(node);
  ItemHandle item(ctx.db ? ctx.db->OpenItem(url) : nullptr);
  if (!item) {
    ctx.LogError(String("The library has no entry for ") + url);
    return false;
  }
  Int32 sub = 0;
  const Int32 type = item->GetType(&sub);
  const String typeName = PresetTypeName(type, sub);
  const Int32 kind = type == PRESETTYPE_GENERIC && sub != 0 ? sub : type;
  String n = LastPart(url);
  const Bool sceneKind = kind == kTypeScene || kind == kTypeBaseObject || kind == kTypeBaseMaterial;
  if (sceneKind && IsSingleName(n) && Filename(n).GetSuffix().IsEmpty())
    n = n + String(".orx");
  Bool renamed = false;
  const String picked = ctx.names.Claim(parent, n, false, &renamed);
  Filename path;
  if (picked.IsEmpty() || !JoinInside(ctx.destinationFolder, parent, picked, &path)) {
    ctx.LogError(String("The preset name \"") + n + String("\" of ") + url + String(" is not a valid name; skipped"));
    return false;
  }
  if (renamed)
    ctx.LogError(String("The name ") + (parent + n).GetString() + String(" is taken; the preset ") + url +
                 String(" is written as ") + path.GetString());
  const Filename description = DescriptionOf(path);
  ctx.LogOperation(String("Extracting data for node ") + url);
  Bool ok = true;
  if (typeName == String("notsupported")) {
    // Written all the same, so that nothing is lost; it cannot build back to its type.
    ctx.LogError(String("The type ") + String::FromInt(type) + String("/") + String::FromInt(sub) + String(" of ") +
                 url + String(" is not supported"));
  }
  XmlTree xml;
  xml.root = OrxNewObj(XMLNode);
  if (!xml.root) {
    ctx.LogError(String("Creating XML node for ") + url + String(" failed"));
    return false;
  }
  xml.root->SetName(String("item"));
  xml.root->SetAttributes(String("type=") + typeName);
  BaseContainer names;
  item->GetNames(&names);
  ok = AddNamesAndAnnotation(ctx, xml.root, names, item->GetAnnotation(), url) && ok;

  // Data.
  {
    ByteArray data;
    if (item->HasData()) {
      if (!item->GetData(&data)) {
        ctx.LogError(String("Writing preset data for ") + description.GetString() + String(" failed"));
        return false;
      }
    }
    if (!data.empty()) {
      ByteArray scene;
      const Bool asScene = (kind == kTypeScene && path.CheckSuffix(String("orx"))) || kind == kTypeBaseObject ||
                           kind == kTypeBaseMaterial;
      const ByteArray& bytes = asScene && SceneBytes(data, ctx.db->GetFilename().GetDirectory(), &scene) ? scene : data;
      if (!ReplaceFileBytes(path, bytes.data(), Int64(bytes.size()))) {
        ctx.LogError(String("Writing preset data for ") + description.GetString() + String(" failed"));
        return false;
      }
    }
  }
  // Settings.
  {
    BaseContainer settings;
    if (item->GetSettings(&settings) && settings.GetCount() > 0) {
      const String file = picked + String(".bc");
      XMLNode* s = xml.root->AddChild(String("settings"));
      ByteArray image;
      Bool wrote = false;
      try {
        wrote = s && HyperFile::ContainerToImage(settings, BROWSER_CONTAINER_IDENT, &image) &&
                ReplaceFileBytes(parent + file, image.data(), Int64(image.size()));
      } catch (...) {
        wrote = false;
      }
      if (!wrote) {
        ctx.LogError(String("Writing BaseContainer for ") + description.GetString() + String(" failed"));
        return false;
      }
      s->SetText(file);
    }
  }
  if (!ExportPreviews(ctx, item.p, xml.root, parent, picked)) {
    ctx.LogError(String("Writing previews for ") + description.GetString() + String(" failed"));
    return false;
  }
  if (!WriteDescription(ctx, description, xml.root)) {
    ctx.LogError(String("Writing XML file ") + description.GetString() + String(" failed"));
    return false;
  }
  return ok;
}

} // namespace

Bool ExportContext::Step()
{
  const Bool going = StepProgress(done, total, dialog);
  if (dialog)
    dialog->StepHook(done);
  return going && !Cancelled();
}

Bool ExportContext::Cancelled() const { return dialog && dialog->TestBreak(); }

String FormatFps(Float fps)
{
  char buf[64];
  // Fixed notation with six decimals, as "%f" gives it in the C locale, whatever the locale.
  const auto r = std::to_chars(buf, buf + sizeof buf, double(fps), std::chars_format::fixed, 6);
  if (r.ec != std::errc())
    return String("0.000000");
  return String(std::string_view(buf, std::size_t(r.ptr - buf)));
}

Bool LanguageCode(Int32 language, String* out)
{
  String code;
  for (Int32 shift = 24; shift >= 0; shift -= 8) {
    const char c = char((UInt32(language) >> shift) & 0xFF);
    if (c == 0)
      break;
    // Letters, digits, "_" and "-" only: anything else could not be read back from the attribute.
    const Bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!plain)
      return false;
    code += Utf16Char(c);
  }
  if (code.IsEmpty())
    return false;
  *out = code;
  return true;
}

Bool ExportNode(ExportContext& ctx, const NodeRef& node, const Filename& parentFolder)
{
  if (!node || !ctx.Step())
    return false;
  try {
    return IsFolderNode(node) ? ExportFolder(ctx, node, parentFolder) : ExportPreset(ctx, node, parentFolder);
  } catch (...) {
    ctx.LogError(String("Exporting ") + UrlText(node) + String(" failed: out of memory"));
    return false;
  }
}

Bool ExportWholeLibrary(ExportContext& ctx, const NodeRef& root)
{
  const Filename d = ctx.destinationFolder;
  auto* lib = static_cast<FilePresetNode*>(root.Get());
  ctx.db = lib->GetLibrary();
  if (!ctx.db) {
    ctx.LogError(String("The library of ") + UrlText(root) + String(" is not open"));
    return false;
  }
  ctx.total = 1 + CountBelow(root);
  ctx.done = 0;

  const String url = UrlText(root);
  XmlTree xml;
  xml.root = OrxNewObj(XMLNode);
  if (!xml.root) {
    ctx.LogError(String("Creating XML node for ") + url + String(" failed"));
    return false;
  }
  xml.root->SetName(String("item"));
  xml.root->SetAttributes(String("type=library"));
  BaseContainer names;
  String annotation;
  {
    ItemHandle item(ctx.db->OpenItem(url));
    if (item) {
      item->GetNames(&names);
      annotation = item->GetAnnotation();
    }
  }
  if (names.GetCount() == 0)
    names = ctx.db->GetDisplayNames();
  // A name that cannot be written is an error of its own; the description is written all the same.
  AddNamesAndAnnotation(ctx, xml.root, names, annotation, url);
  const Filename description = DescriptionOf(d);
  if (!WriteDescription(ctx, description, xml.root)) {
    ctx.LogError(String("Writing XML file ") + description.GetString() + String(" failed"));
    return false;
  }
  if (!ctx.Step()) {
    ctx.LogError(String("The export was cancelled"));
    return false;
  }
  for (NodeRef c = root->GetDownNode(); c; c = c->GetNextNode()) {
    if (!ExportNode(ctx, c, d))
      ctx.LogError(String("Exporting ") + (d + LastPart(UrlText(c))).GetString() + String(" failed"));
    else if (IsFolderNode(c) && ctx.Cancelled())
      ctx.LogError(String("Exporting ") + (d + LastPart(UrlText(c))).GetString() + String(" failed"));
  }
  // A cancelled run is a failed one, whatever it wrote.
  if (ctx.Cancelled()) {
    ctx.LogError(String("The export was cancelled"));
    return false;
  }
  return true;
}

// --- the dialog ---

ExportLibraryUI::ExportLibraryUI(const Filename& destination, NodeRef library)
    : destination_(destination), library_(std::move(library))
{
}

ExportLibraryUI::~ExportLibraryUI()
{
  // Run uses the members: it must have returned before they go.
  StopWork();
  library_ = nullptr;
}

Bool ExportLibraryUI::Run(ProgressThread*)
{
  success_ = false;
  errorCount_ = 0;
  failure_ = String();
  SetProgress(0.0);
  Filename d = destination_;
  if (d.CheckSuffix(String("libqz")))
    d.ClearSuffix();
  // A trailing separator names the same folder.
  while (d.GetString().GetLength() > 1 && d.GetString()[d.GetString().GetLength() - 1] == Filename::kSeparator)
    d = Filename(d.GetString().Left(d.GetString().GetLength() - 1));
  folder_ = d;
  FileStatus st;
  const Bool exists = GeGetFileStatus(d, &st);
  if (d.IsEmpty() || d.GetFile().GetString() == String("..") || d.GetFile().GetString() == String(".")) {
    failure_ = String("Creating the root folder failed.");
  } else if (exists && !(st.attributes & FILEATTR_FOLDER)) {
    failure_ = String("Creating the root folder failed.");
  } else if (!exists && GeMakeFolder(d, false) == MAKEFOLDER_FAILED) {
    failure_ = String("Creating the root folder failed.");
  }
  if (failure_.Content()) {
    SetProgress(1.0);
    return false;
  }
  ExportContext ctx(d, this);
  String why;
  if (!ctx.logs.Open(d, &why)) {
    failure_ = String("Opening the logs failed: ") + why;
    SetProgress(1.0);
    return false;
  }
  errorLog_ = ctx.logs.ErrorLogPath();
  operationLog_ = ctx.logs.OperationLogPath();
  Bool ok = false;
  if (!library_ || library_->GetNodeType() != NODETYPE_PRESET ||
      !static_cast<FilePresetNode*>(library_.Get())->IsLibraryRoot()) {
    ctx.LogError(String("The node to export is no preset library"));
  } else {
    ok = ExportWholeLibrary(ctx, library_);
  }
  SetProgress(1.0);
  ctx.logs.Close();
  errorCount_ = ctx.logs.ErrorCount();
  success_ = ok && !TestBreak();
  if (!success_ && errorCount_ == 0)
    failure_ = String("The export failed");
  return success_;
}

String ExportLibraryUI::ResultMessage() const
{
  if (success_)
    return String("Library export successfully (") + String::FromInt(errorCount_) + String(" errors)");
  if (errorCount_ < 1)
    return failure_.Content() ? failure_ : String("Creating the root folder failed.");
  return String("Export failed with ") + String::FromInt(errorCount_) +
         String(" errors. Please check error_log.txt in the destination folder for more details.");
}

Bool ExportLibrary(const NodeRef& node)
{
  if (!node)
    return false;
  String url = UrlText(node);
  Filename proposed = Filename(LastPart(url));
  proposed.ClearSuffix();
  Filename destination = proposed;
  if (!GeFileSelect(destination, ORX_FILESELECT_SAVE, GeLoadString(IDS_EXPORT_DESTINATION)))
    return false;
  ExportLibraryUI dialog(destination, node);
  dialog.Execute();
  const Bool ok = dialog.GetSuccess();
  // Only the root failure without errors is a plain message; the others warn.
  const Bool plain = !ok && dialog.GetErrorCount() < 1;
  GeOutString(dialog.ResultMessage(), plain ? ORX_MB_PLAIN : ORX_MB_WARNING);
  return ok;
}

// --- the published entry ---

Int32 ExportLibraryMessage(BrowserContentNode* node, OrxContentToolRequest* r)
{
  if (!node || !r)
    return MESSAGE_NOT_HANDLED;
  NodeRef n(node);
  ExportLibraryUI dialog(Filename(r->destination), n);
  const Bool ran = dialog.Execute([&](double p) {
    if (r->progress && r->progress(r->progressData, p) != 0 && !dialog.WasCancelled())
      dialog.Cancel();
  });
  r->ok = ran && dialog.GetSuccess();
  // A cancel that came after the work had ended stopped nothing.
  r->cancelled = dialog.WasCancelled() && !dialog.GetSuccess();
  r->errorCount = dialog.GetErrorCount();
  r->message = ran ? dialog.ResultMessage() : String("The export could not start a thread");
  r->folder = dialog.GetFolder().GetString();
  r->errorLog = dialog.GetErrorLogPath().GetString();
  r->operationLog = dialog.GetOperationLogPath().GetString();
  return 0;
}
