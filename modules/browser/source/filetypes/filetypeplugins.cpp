#include "filetypes/filetypeplugins.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>

#include "orx/bitmap.h"
#include "orx/files.h"
#include "orx/media.h"
#include "orx/services.h"

namespace {

// --- tables ---

constexpr const char* kImageSuffixes[] = {"bmp",  "pntg", "pnt",  "mac", "pict", "pic", "pct", "png",
                                          "jpeg", "jpe",  "jpg",  "jfif", "jif", "jp2", "jpf", "jpm",
                                          "qtif", "qti",  "sgi",  "rgb", "targa", "tga", "tif", "tiff",
                                          "b3d",  "psd",  "gif",  "iff", "fpx",  "xbm", "xpm", "exr"};
constexpr Int32 kImageStrings[] = {10294, 10295, 10295, 10295, 10296, 10296, 10296, 10297, 10298, 10298, 10298,
                                   10298, 10298, 10299, 10299, 10299, 10300, 10300, 10301, 10301, 10302, 10302,
                                   10303, 10303, 10307, 10304, 10306, 10305, 10308, 10309, 10309, 10310};
static_assert(std::size(kImageSuffixes) == 32 && std::size(kImageStrings) == 32);

constexpr const char* kMovieSuffixes[] = {"mpg", "mpeg", "mp4",  "mpg4", "qt",  "mov", "smi", "smil", "sml",
                                          "avi", "wfv",  "fli",  "swf",  "flc", "m1s", "m1v", "m1a",  "m75",
                                          "m15", "mp2",  "mpm",  "mpv",  "mpa", "sdv", "dv",  "dif",  "3gp",
                                          "3gpp", "3g2", "3gp2", "m4v",  "qt",  "qtl", "amc", "flv"};
// Detailed movie names by container family.
enum : Int32
{
  kMpeg = 10420,
  kMpeg4 = 10421,
  kQuickTime = 10422,
  kSmil = 10423,
  kAvi = 10424,
  kWfv = 10425,
  kFlic = 10426,
  kFlash = 10427,
  kDv = 10428,
  kMobile = 10429,
  kAmc = 10430,
  kFlashVideo = 10431,
};
constexpr Int32 kMovieStrings[] = {kMpeg,  kMpeg,  kMpeg4, kMpeg4, kQuickTime, kQuickTime, kSmil,  kSmil,  kSmil,
                                   kAvi,   kWfv,   kFlic,  kFlash, kFlic,      kMpeg,      kMpeg,  kMpeg,  kMpeg,
                                   kMpeg,  kMpeg,  kMpeg,  kMpeg,  kMpeg,      kDv,        kDv,    kDv,    kMobile,
                                   kMobile, kMobile, kMobile, kMpeg4, kQuickTime, kQuickTime, kAmc, kFlashVideo};
static_assert(std::size(kMovieSuffixes) == 35 && std::size(kMovieStrings) == 35);

constexpr const char* kSceneSuffixes[] = {"orx", "fbx", "lws", "lwo", "stl", "vrml", "vrm", "q3d", "3ds", "wrl"};
constexpr const char* kSceneRejected[] = {"vwqz", "aorx"};
constexpr const char* kSoundSuffixes[] = {"aif", "aiff", "aifc", "au", "mp2", "mp3", "m4a", "m4p", "wma", "wav", "wave"};
constexpr const char* kScriptSuffixes[] = {"osc"};
constexpr const char* kKorvexSuffixes[] = {"kvx", "kvb"};
constexpr const char* kLayoutSuffixes[] = {"lqz"};

template <std::size_t N>
constexpr Int32 Count(const char* const (&)[N])
{
  return Int32(N);
}

using P = FileTypePreview;
using A = FileTypeAction;

// id, name, type name, icon, suffixes, detailed names, mask, expected, quick unless asked, host
// comparison, rejected, preview, action, store edits
const FileTypeTable kImage = {HANDLER_ID_IMAGE, 10355, 10293, 10, kImageSuffixes, Count(kImageSuffixes), kImageStrings,
                              DETECT_IMAGE, DETECT_IMAGE, true, false, nullptr, 0, P::Bitmap, A::Load, true};
const FileTypeTable kScene = {HANDLER_ID_SCENE, 10330, 10283, 9, kSceneSuffixes, Count(kSceneSuffixes), nullptr,
                              DETECT_SCENE | DETECT_QUICK, DETECT_SCENE, false, false, kSceneRejected,
                              Count(kSceneRejected), P::Scene, A::LoadOrMerge, true};
const FileTypeTable kMovie = {HANDLER_ID_MOVIE, 10349, 10350, 11, kMovieSuffixes, Count(kMovieSuffixes), kMovieStrings,
                              DETECT_MOVIE, DETECT_MOVIE, true, false, nullptr, 0, P::Bitmap, A::OpenBySystem, false};
const FileTypeTable kSound = {HANDLER_ID_SOUND, 10311, 10312, 24, kSoundSuffixes, Count(kSoundSuffixes), nullptr,
                              DETECT_SOUND, DETECT_SOUND, true, false, nullptr, 0, P::None, A::OpenBySystem, false};
const FileTypeTable kScript = {HANDLER_ID_SCRIPT, 10362, 10363, 18, kScriptSuffixes, Count(kScriptSuffixes), nullptr,
                               DETECT_SCRIPT | DETECT_QUICK, DETECT_SCRIPT, false, true, nullptr, 0, P::None, A::Load,
                               false};
const FileTypeTable kKorvex = {HANDLER_ID_KORVEX, 10321, 10322, 25, kKorvexSuffixes, Count(kKorvexSuffixes), nullptr,
                               DETECT_KORVEX, DETECT_KORVEX, false, false, nullptr, 0, P::None, A::None, false};
const FileTypeTable kLayout = {HANDLER_ID_LAYOUT, 10325, 10326, 26, kLayoutSuffixes, Count(kLayoutSuffixes), nullptr,
                               DETECT_LAYOUT, DETECT_LAYOUT, false, false, nullptr, 0, P::None, A::Load, false};
const FileTypeTable kFolder = {HANDLER_ID_FOLDER, 10337, 10338, 3, nullptr, 0, nullptr, 0, 0, false, false, nullptr, 0,
                               P::None, A::Refuse, false};
const FileTypeTable kUnknown = {HANDLER_ID_UNKNOWN_FILE, 10339, 10340, 8, nullptr, 0, nullptr, 0, 0, false, false,
                                nullptr, 0, P::None, A::OpenBySystem, true};

std::atomic<FileTypeIconSource> g_iconSource{nullptr};

// The suffix as 8-bit text of at most 15 characters; a character beyond 8 bits matches nothing.
Bool SuffixBytes(const String& suffix, char (&out)[16])
{
  const Int32 n = std::min<Int32>(suffix.GetLength(), 15);
  for (Int32 i = 0; i < n; ++i) {
    const Utf16Char c = suffix[i];
    if (c > 0xFF)
      return false;
    out[i] = char(c);
  }
  out[n] = '\0';
  return true;
}

Bool InList(const String& suffix, const char* const* list, Int32 count)
{
  char bytes[16];
  if (!list || !SuffixBytes(suffix, bytes))
    return false;
  for (Int32 i = 0; i < count; ++i)
    if (std::strcmp(bytes, list[i]) == 0)
      return true;
  return false;
}

// The file that the given URL, or else the node's, stands for; empty when it is not a file.
Filename FileOf(BrowserContentNode* node, BrowserURL* url)
{
  BrowserURL own;
  if (!url) {
    if (!node || !node->GetURL(&own, 0))
      return Filename();
    url = &own;
  }
  // Not a file (a preset, a catalog entry): its text would be taken as a relative path and could
  // name an unrelated file in the working folder.
  if (!url->IsFile())
    return Filename();
  Filename f;
  if (!url->GetFilename(&f))
    return Filename();
  return f;
}

struct BitmapPreview
{
  ORX_HOST_ALLOCATED
  Filename file;
  BaseBitmap* bitmap = nullptr;
  Int32 result = LOADBITMAP_OK;
};

struct ScenePreview
{
  ORX_HOST_ALLOCATED
  NodeRef node;
  void* scene = nullptr;
};

// Preview data says which kind it is, so that one FreePreviewData serves both.
struct PreviewData
{
  ORX_HOST_ALLOCATED
  FileTypePreview kind;
  BitmapPreview bitmap;
  ScenePreview scene;
  ~PreviewData()
  {
    delete bitmap.bitmap;
    GeFreeScene(scene.scene);
  }
};

} // namespace

Int32 FileTypePlugin::GetPluginID(String* name)
{
  if (name)
    *name = GeLoadString(t_.nameString);
  return t_.id;
}

Int32 FileTypePlugin::FindSuffix(const String& suffix) const
{
  if (!t_.suffixes)
    return -1;
  if (t_.hostComparison) {
    for (Int32 i = 0; i < t_.suffixCount; ++i)
      if (suffix.Compare(String(t_.suffixes[i])) == 0)
        return i;
    return -1;
  }
  char bytes[16];
  if (!SuffixBytes(suffix, bytes))
    return -1;
  for (Int32 i = 0; i < t_.suffixCount; ++i)
    if (std::strcmp(bytes, t_.suffixes[i]) == 0)
      return i;
  return -1;
}

Bool FileTypePlugin::Identify(BrowserURL& url, const void* header, Int32 headerSize, Int32 reserved)
{
  if (!t_.suffixes)
    return false;
  const String suffix = url.GetSuffix();
  if (!header)
    return FindSuffix(suffix) >= 0;
  if (headerSize <= 0 || InList(suffix, t_.rejected, t_.rejectedCount))
    return false;
  Int32 mask = t_.mask;
  if (t_.quickUnlessAsked && !(reserved & 1))
    mask |= DETECT_QUICK;
  Filename file;
  if (url.IsFile())
    url.GetFilename(&file);
  return GeIdentifyFile(file, header, headerSize, mask) == t_.expected;
}

String* FileTypePlugin::GetTypeName(String* out, NodeRef node, BrowserURL* url, Int32 mode)
{
  if (!out)
    return nullptr;
  Int32 id = t_.typeString;
  if (mode == TYPENAME_DETAILED && t_.detailedStrings) {
    BrowserURL own;
    BrowserURL* u = url;
    if (!u && node && node->GetURL(&own, 0))
      u = &own;
    const Int32 i = u ? FindSuffix(u->GetSuffix()) : -1;
    if (i >= 0)
      id = t_.detailedStrings[i];
  }
  *out = GeLoadString(id);
  return out;
}

String* FileTypePlugin::GetTypeNames(Int32 mode, Int32* count)
{
  if (mode != TYPENAME_DETAILED || !t_.detailedStrings)
    return MakeTypeNames(GeLoadString(t_.typeString), count);
  String* names = AllocTypeNames(t_.suffixCount);
  if (count)
    *count = names ? t_.suffixCount : 0;
  for (Int32 i = 0; names && i < t_.suffixCount; ++i)
    names[i] = GeLoadString(t_.detailedStrings[i]);
  return names;
}

void* FileTypePlugin::OpenPreviewData(Int32 flags, NodeRef node, BrowserURL* url, Int32* qualities)
{
  if (qualities)
    *qualities = 0;
  if (t_.preview == P::None)
    return nullptr;
  const Filename file = FileOf(node.Get(), url);
  if (!file.Content())
    return nullptr;
  if (t_.preview == P::Scene) {
    // Browsing a folder must not parse whatever lies in it without bounds: only regular files of a
    // bounded size are given to the scene reader, which stops at the same bounds.
    FileStatus st;
    if (!GeGetFileStatus(file, &st) || (st.attributes & (FILEATTR_FOLDER | FILEATTR_SPECIAL)) ||
        st.size <= 0 || st.size > SCENEPREVIEW_MAX_BYTES)
      return nullptr;
    void* scene = GeLoadScene(file, 3, SCENEPREVIEW_MAX_BYTES, SCENEPREVIEW_MAX_MILLIS);
    if (!scene)
      return nullptr;
    PreviewData* d = OrxNewObj(PreviewData);
    if (!d) {
      GeFreeScene(scene);
      return nullptr;
    }
    d->kind = P::Scene;
    d->scene.node = std::move(node);
    d->scene.scene = scene;
    if (qualities)
      *qualities = 1;
    return d;
  }
  PreviewData* d = OrxNewObj(PreviewData);
  if (!d)
    return nullptr;
  d->kind = P::Bitmap;
  d->bitmap.file = file;
  // Only the header is read here: the picture is decoded once its size is asked for, reduced while
  // it is read.
  Int32 w = 0, h = 0;
  if (GeGetBitmapInfo(file, &w, &h)) {
    if (qualities)
      *qualities = 1;
  } else {
    d->bitmap.result = LOADBITMAP_FAILED;
  }
  (void)flags;
  return d;
}

void FileTypePlugin::FreePreviewData(void* data)
{
  PreviewData* d = static_cast<PreviewData*>(data);
  delete d;
}

BaseBitmap* FileTypePlugin::GetPreviewBitmap(void* data, Int32 width, Int32 height, Int32 flags)
{
  PreviewData* d = static_cast<PreviewData*>(data);
  if (!d || d->kind != P::Bitmap)
    return nullptr; // scenes are rendered by the preview renderer, which is not there yet
  if (BaseBitmap* b = d->bitmap.bitmap) {
    d->bitmap.bitmap = nullptr;
    return b;
  }
  if (d->bitmap.result != LOADBITMAP_OK)
    return nullptr;
  const Int32 box = width > 0 && height > 0 ? std::min(width, height) : std::max(width, height);
  Int32 result = LOADBITMAP_FAILED;
  BaseBitmap* b = GeLoadBitmap(d->bitmap.file, std::max<Int32>(0, box), &result);
  // A movie file with sound only holds no picture: no bitmap, and nothing to report.
  d->bitmap.result = b ? LOADBITMAP_OK : result;
  (void)flags;
  return b;
}

BaseBitmap* FileTypePlugin::GetIcon(NodeRef, BrowserURL*, Int32 size)
{
  const FileTypeIconSource source = g_iconSource.load(std::memory_order_acquire);
  return source ? source(t_.icon, size) : nullptr;
}

PreviewDialog* FileTypePlugin::CreatePreviewDialog(NodeRef node, Int32 page)
{
  Int32 kind = PREVIEWDIALOG_GENERIC;
  switch (t_.id) {
    case HANDLER_ID_IMAGE: kind = PREVIEWDIALOG_IMAGE; break;
    case HANDLER_ID_MOVIE: kind = PREVIEWDIALOG_MOVIE; break;
    case HANDLER_ID_SOUND: kind = PREVIEWDIALOG_SOUND; break;
    case HANDLER_ID_SCRIPT: kind = PREVIEWDIALOG_SCRIPT; break;
    case HANDLER_ID_KORVEX: kind = PREVIEWDIALOG_KORVEX; break;
    case HANDLER_ID_LAYOUT: kind = PREVIEWDIALOG_LAYOUT; break;
    default: break;
  }
  // Files keep their annotations in the main database's record of their URL.
  return MakePreviewDialog(std::move(node), kind, t_.icon, PREVIEWDIALOG_ANNOTATION, page);
}

Int32 FileTypePlugin::ClosePreviewDialog(NodeRef, PreviewDialog* dialog)
{
  return EndPreviewDialog(dialog, t_.storeEdits);
}

Bool FileTypePlugin::Execute(NodeRef node, BrowserURL* url, Int32 flags)
{
  if (t_.action == A::Refuse)
    return false;
  const Filename file = FileOf(node.Get(), url);
  // Nothing to act on: the host is not asked to load or open an empty name.
  if (!file.Content())
    return false;
  switch (t_.action) {
    case A::None: return true;
    case A::Load: return GeLoadFile(file);
    case A::LoadOrMerge: return (flags & EXECUTE_MERGE) ? GeMergeFile(file, SCENEFILTER_MERGE_ALL) : GeLoadFile(file);
    case A::OpenBySystem: return GeOpenWithSystem(file);
    case A::Refuse: break;
  }
  return false;
}

BrowserImagePlugin::BrowserImagePlugin() : FileTypePlugin(kImage) {}
BrowserScenePlugin::BrowserScenePlugin() : FileTypePlugin(kScene) {}
BrowserMoviePlugin::BrowserMoviePlugin() : FileTypePlugin(kMovie) {}
BrowserSoundPlugin::BrowserSoundPlugin() : FileTypePlugin(kSound) {}
BrowserScriptPlugin::BrowserScriptPlugin() : FileTypePlugin(kScript) {}
BrowserKorvexPlugin::BrowserKorvexPlugin() : FileTypePlugin(kKorvex) {}
BrowserLayoutFilePlugin::BrowserLayoutFilePlugin() : FileTypePlugin(kLayout) {}
BrowserFolderPlugin::BrowserFolderPlugin() : FileTypePlugin(kFolder) {}
BrowserUnknownFilePlugin::BrowserUnknownFilePlugin() : FileTypePlugin(kUnknown) {}

namespace {
template <typename T>
void Register(Int32 id, Int32 identifiesFiles)
{
  if (FindPluginByID(id))
    return;
  T* h = OrxNewObj(T);
  if (!h)
    return;
  const SuffixMatch byName = h->ByName();
  if (!RegisterPlugin(h, identifiesFiles, true, &byName))
    delete h;
}
} // namespace

void RegisterFileTypePlugins(Int32 group)
{
  if (group == 0) {
    Register<BrowserImagePlugin>(HANDLER_ID_IMAGE, 1);
    Register<BrowserScenePlugin>(HANDLER_ID_SCENE, 1);
    Register<BrowserMoviePlugin>(HANDLER_ID_MOVIE, 1);
    Register<BrowserUnknownFilePlugin>(HANDLER_ID_UNKNOWN_FILE, 0);
    Register<BrowserFolderPlugin>(HANDLER_ID_FOLDER, 0);
  } else {
    Register<BrowserScriptPlugin>(HANDLER_ID_SCRIPT, 1);
    Register<BrowserSoundPlugin>(HANDLER_ID_SOUND, 1);
    Register<BrowserKorvexPlugin>(HANDLER_ID_KORVEX, 1);
    Register<BrowserLayoutFilePlugin>(HANDLER_ID_LAYOUT, 1);
  }
}

void SetFileTypeIconSource(FileTypeIconSource source) { g_iconSource.store(source, std::memory_order_release); }
