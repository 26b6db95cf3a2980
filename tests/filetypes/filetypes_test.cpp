// The file-type handlers on real files: matching by name and content, type names, previews made by
// the host's codecs, double-click actions, and files that are not what their names say.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>

#include "contenttest.h"
#include "filetypes/filetypeplugins.h"
#include "mediatest.h"
#include "nodes/directorynode.h"
#include "orx/filesignatures.h"
#include "orx/media.h"
#include "watchdog.h"

using namespace contenttest;
using mediatest::Quoted;
using mediatest::Shell;
namespace fs = std::filesystem;

namespace {

struct BitmapDeleter
{
  void operator()(BaseBitmap* b) const { delete b; }
};
using Bitmap = std::unique_ptr<BaseBitmap, BitmapDeleter>;

BrowserURL FileURL(const Filename& f) { return BrowserURL(f); }

std::string TypeName(BrowserPluginInterface* h, const std::string& url, Int32 mode)
{
  BrowserURL u{String(url.c_str())};
  String out;
  h->GetTypeName(&out, nullptr, &u, mode);
  return out.ToUtf8();
}

BrowserPluginInterface* Match(const Filename& f, Bool full)
{
  BrowserPluginInterface* h = nullptr;
  FindPluginForURL(FileURL(f), full, &h);
  return h;
}

Int32 IdOf(BrowserPluginInterface* h) { return h ? h->GetPluginID(nullptr) : 0; }

// The preview bitmap that a handler gives for a file, as the background thread asks for it.
Bitmap Preview(BrowserPluginInterface* h, const Filename& f, Int32 size, Int32* qualities = nullptr)
{
  BrowserURL u = FileURL(f);
  Int32 q = -1;
  void* data = h->OpenPreviewData(0, nullptr, &u, &q);
  if (qualities)
    *qualities = q;
  Bitmap b(data ? h->GetPreviewBitmap(data, size, size, 0) : nullptr);
  h->FreePreviewData(data);
  return b;
}

std::string SceneBytes() { return std::string("orxs") + std::string(60, '\0'); }

Int32 g_iconAsked = -1;
BaseBitmap* TestIcon(Int32 icon, Int32 size)
{
  g_iconAsked = icon;
  auto* b = new BaseBitmap;
  b->Init(size, size, 3);
  return b;
}

class FileTypes : public ContentTest
{
protected:
  void SetUp() override
  {
    dir_ = orxtest::TempDir();
    const char* res = std::getenv("ORX_TEST_RES");
    ASSERT_TRUE(res && GeOpenResource(Filename(res) + String("strings.txt")));
    ContentTest::SetUp();
    Start();
    orxhost::ClearHostRequests();
  }
  void TearDown() override
  {
    for (NodeRef& n : made_)
      n->Remove();
    made_.clear();
    SetFileTypeIconSource(nullptr);
    ContentTest::TearDown();
  }
  NodeRef Folder(const Filename& f)
  {
    Ref<DirectoryNode> d = DirectoryNode::MakeForPath(f);
    made_.push_back(NodeRef(d.Get()));
    return NodeRef(d.Get());
  }
  BrowserPluginInterface* Handler(Int32 id) { return FindPluginByID(id); }

  Filename dir_;
  std::vector<NodeRef> made_;
};

} // namespace

TEST_F(FileTypes, RegisteredInTheFixedOrderWithTheirTables)
{
  const std::vector<Int32> expected = {HANDLER_ID_IMAGE,  HANDLER_ID_SCENE,  HANDLER_ID_MOVIE,
                                       HANDLER_ID_UNKNOWN_FILE, HANDLER_ID_FOLDER, HANDLER_ID_SCRIPT,
                                       HANDLER_ID_SOUND,  HANDLER_ID_KORVEX, HANDLER_ID_LAYOUT};
  std::vector<Int32> ids;
  for (Int32 i = 0; BrowserPluginInterface* h = GetPlugin(i); ++i)
    if (dynamic_cast<FileTypePlugin*>(h))
      ids.push_back(h->GetPluginID(nullptr));
  EXPECT_EQ(ids, expected);
  // Registered once, also when content starts again.
  RegisterFileTypePlugins(0);
  RegisterFileTypePlugins(1);
  Int32 images = 0;
  for (Int32 i = 0; BrowserPluginInterface* h = GetPlugin(i); ++i)
    images += IdOf(h) == HANDLER_ID_IMAGE;
  EXPECT_EQ(images, 1);

  BrowserPluginInterface* image = Handler(HANDLER_ID_IMAGE);
  String name;
  EXPECT_EQ(image->GetPluginID(&name), HANDLER_ID_IMAGE);
  EXPECT_EQ(name.ToUtf8(), "Images");
  Int32 count = 0;
  String* names = image->GetTypeNames(TYPENAME_DETAILED, &count);
  EXPECT_EQ(count, 32);
  EXPECT_EQ(TypeNamesCount(names), 32);
  EXPECT_EQ(names[10].ToUtf8(), "JPEG Image");
  EXPECT_EQ(names[31].ToUtf8(), "OpenEXR Image");
  FreeTypeNames(names);
  names = image->GetTypeNames(1, &count);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(names[0].ToUtf8(), "Image");
  FreeTypeNames(names);

  EXPECT_EQ(TypeName(image, "file:///x/a.jpg", TYPENAME_DETAILED), "JPEG Image");
  EXPECT_EQ(TypeName(image, "file:///x/a.tga", TYPENAME_DETAILED), "Targa Image");
  EXPECT_EQ(TypeName(image, "file:///x/a.JPG", TYPENAME_DETAILED), "Image");
  EXPECT_EQ(TypeName(image, "file:///x/a.jpg", 1), "Image");
  BrowserPluginInterface* movie = Handler(HANDLER_ID_MOVIE);
  // "qt" stands twice in the table; the first position counts.
  EXPECT_EQ(TypeName(movie, "file:///x/a.qt", TYPENAME_DETAILED), "QT Movie");
  EXPECT_EQ(TypeName(movie, "file:///x/a.mp4", TYPENAME_DETAILED), "MPEG-4 Movie");
  names = movie->GetTypeNames(TYPENAME_DETAILED, &count);
  EXPECT_EQ(count, 35);
  FreeTypeNames(names);
  EXPECT_EQ(TypeName(Handler(HANDLER_ID_SOUND), "file:///x/a.wav", TYPENAME_DETAILED), "Sound");

  // Every type name is a real text of the string table.
  for (Int32 i = 0; BrowserPluginInterface* h = GetPlugin(i); ++i) {
    if (!dynamic_cast<FileTypePlugin*>(h))
      continue;
    String n;
    h->GetPluginID(&n);
    EXPECT_FALSE(n.IsEmpty()) << IdOf(h);
    String* all = h->GetTypeNames(TYPENAME_DETAILED, &count);
    for (Int32 k = 0; k < count; ++k)
      EXPECT_FALSE(all[k].IsEmpty()) << IdOf(h) << " " << k;
    FreeTypeNames(all);
  }
  EXPECT_TRUE(orxhost::ConsoleLines().empty()) << orxhost::ConsoleLines().front();
}

TEST_F(FileTypes, QuickMatchBySuffixExactlyFullMatchByContent)
{
  MEDIATEST_NEED("convert");
  const Filename upper = dir_ + String("picture.PNG"), scene = dir_ + String("s.orx"),
                 vwqz = dir_ + String("s.vwqz"), aorx = dir_ + String("s.aorx"), lying = dir_ + String("s.png"),
                 script = dir_ + String("a.osc"), layout = dir_ + String("a.lqz"), korvex = dir_ + String("a.kvb"),
                 empty = dir_ + String("e.png");
  ASSERT_TRUE(Shell("convert -size 8x8 xc:green png:" + Quoted(upper)));
  ASSERT_TRUE(orxtest::WriteFile(scene, SceneBytes()));
  ASSERT_TRUE(orxtest::WriteFile(vwqz, SceneBytes()));
  ASSERT_TRUE(orxtest::WriteFile(aorx, SceneBytes()));
  ASSERT_TRUE(orxtest::WriteFile(lying, SceneBytes()));
  ASSERT_TRUE(orxtest::WriteFile(script, "print(1);\n"));
  ASSERT_TRUE(orxtest::WriteFile(layout, std::string("lqzl") + std::string(20, '\0')));
  ASSERT_TRUE(orxtest::WriteFile(korvex, std::string("kvxf") + std::string(20, '\3')));
  ASSERT_TRUE(orxtest::WriteFile(empty, ""));

  EXPECT_EQ(Match(upper, false), nullptr);
  EXPECT_EQ(IdOf(Match(upper, true)), HANDLER_ID_IMAGE);
  EXPECT_EQ(IdOf(Match(scene, true)), HANDLER_ID_SCENE);
  // Scene content under a refused suffix is no scene.
  EXPECT_EQ(Match(vwqz, true), nullptr);
  EXPECT_EQ(Match(aorx, true), nullptr);
  // The name says image, the bytes say scene.
  EXPECT_EQ(IdOf(Match(lying, false)), HANDLER_ID_IMAGE);
  EXPECT_EQ(IdOf(Match(lying, true)), HANDLER_ID_SCENE);
  EXPECT_EQ(IdOf(Match(script, true)), HANDLER_ID_SCRIPT);
  EXPECT_EQ(IdOf(Match(layout, true)), HANDLER_ID_LAYOUT);
  EXPECT_EQ(IdOf(Match(korvex, true)), HANDLER_ID_KORVEX);
  // No bytes, no full match.
  EXPECT_EQ(IdOf(Match(empty, false)), HANDLER_ID_IMAGE);
  EXPECT_EQ(Match(empty, true), nullptr);
  // The script suffix is compared as a host string: other letter cases are other suffixes.
  EXPECT_EQ(Match(dir_ + String("b.OSC"), false), nullptr);
}

// Formats written by other tools keep their colour in the handlers' previews; a movie gives a frame.
TEST_F(FileTypes, PreviewsOfPicturesAndMoviesMadeByOtherTools)
{
  MEDIATEST_NEED("convert");
  MEDIATEST_NEED("oiiotool");
  MEDIATEST_NEED("ffmpeg");
  const Filename jpg = dir_ + String("a.jpg"), png = dir_ + String("a.png"), tif = dir_ + String("a.tiff"),
                 exr = dir_ + String("a.exr"), mov = dir_ + String("a.mov");
  ASSERT_TRUE(Shell("convert -size 1200x800 xc:'rgb(30,160,90)' -quality 92 " + Quoted(jpg)));
  ASSERT_TRUE(Shell("convert -size 90x60 xc:'rgb(250,250,0)' " + Quoted(png)));
  ASSERT_TRUE(Shell("convert -size 500x500 xc:'rgb(0,0,255)' -compress lzw " + Quoted(tif)));
  ASSERT_TRUE(Shell("oiiotool --create 512x256 3 --fill:color=1,0.5,0 0,0,512,256 -d half -o " + Quoted(exr)));
  ASSERT_TRUE(Shell("ffmpeg -nostdin -y -f lavfi -i testsrc=size=320x240:rate=10:duration=1 " + Quoted(mov)));
  struct Case
  {
    Filename file;
    Int32 w, h;
    double r, g, b;
  };
  for (const Case& c : {Case{jpg, 256, 171, 30, 160, 90}, Case{png, 90, 60, 250, 250, 0},
                        Case{tif, 256, 256, 0, 0, 255}, Case{exr, 256, 128, 255, 188, 0}}) {
    BrowserPluginInterface* h = Match(c.file, true);
    ASSERT_EQ(IdOf(h), HANDLER_ID_IMAGE) << c.file.ToUtf8();
    Int32 q = 0;
    Bitmap b = Preview(h, c.file, 256, &q);
    ASSERT_TRUE(b) << c.file.ToUtf8();
    EXPECT_EQ(q, 1);
    EXPECT_EQ(b->GetWidth(), c.w) << c.file.ToUtf8();
    EXPECT_EQ(b->GetHeight(), c.h) << c.file.ToUtf8();
    const mediatest::Mean m = mediatest::MeanColour(*b);
    EXPECT_NEAR(m.r, c.r, 3) << c.file.ToUtf8();
    EXPECT_NEAR(m.g, c.g, 3) << c.file.ToUtf8();
    EXPECT_NEAR(m.b, c.b, 3) << c.file.ToUtf8();
  }
  BrowserPluginInterface* movie = Match(mov, true);
  ASSERT_EQ(IdOf(movie), HANDLER_ID_MOVIE);
  Bitmap frame = Preview(movie, mov, 160);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->GetWidth(), 160);
  EXPECT_EQ(frame->GetHeight(), 120);
}

// Pictures that nobody here wrote: every one of the system's pixmaps and 48-pixel icons in a format
// of the image table gets the image handler and a preview of the size that ImageMagick reports.
TEST_F(FileTypes, SystemPicturesGetTheirHandlerAndAPreviewOfTheirSize)
{
  MEDIATEST_NEED("identify");
  Int32 checked = 0;
  for (const char* root : {"/usr/share/pixmaps", "/usr/share/icons/hicolor/48x48"}) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->is_regular_file())
        continue;
      const Filename f(String(it->path().string().c_str()));
      BrowserPluginInterface* h = Match(f, false);
      const std::string suffix = it->path().extension().string();
      if (suffix == ".svg" || suffix == ".svgz")
        continue; // vector pictures are not in the image table
      ASSERT_EQ(IdOf(h), HANDLER_ID_IMAGE) << f.ToUtf8();
      EXPECT_EQ(IdOf(Match(f, true)), HANDLER_ID_IMAGE) << f.ToUtf8();
      const std::string out = dir_.ToUtf8() + "/size.txt";
      ASSERT_TRUE(Shell("(identify -format '%w %h\\n' " + Quoted(f) + " | head -1 > '" + out + "')"));
      int w = 0, hgt = 0;
      ASSERT_EQ(std::sscanf(orxtest::ReadFile(Filename(String(out.c_str()))).c_str(), "%d %d", &w, &hgt), 2);
      Bitmap b = Preview(h, f, 256);
      ASSERT_TRUE(b) << f.ToUtf8();
      EXPECT_EQ(b->GetWidth(), std::min(w, 256)) << f.ToUtf8();
      EXPECT_EQ(b->GetHeight(), std::min(hgt, 256)) << f.ToUtf8();
      ++checked;
    }
  }
  if (!checked)
    GTEST_SKIP() << "no system pictures on this machine";
}

// A browsed folder with a pipe, a device node, an empty file and a truncated JPEG: no wait, no
// crash, no preview, and the handler's icon for the view instead.
TEST_F(FileTypes, FilesThatAreNotPicturesGiveNoPreviewAndTheIcon)
{
  MEDIATEST_NEED("convert");
  const Filename whole = dir_ + String("whole.jpg");
  ASSERT_TRUE(Shell("convert -size 300x200 plasma:fractal " + Quoted(whole)));
  const std::string bytes = orxtest::ReadFile(whole);
  ASSERT_TRUE(orxtest::WriteFile(dir_ + String("cut.jpg"), bytes.substr(0, bytes.size() * 2 / 3)));
  ASSERT_TRUE(orxtest::WriteFile(dir_ + String("empty.png"), ""));
  ASSERT_EQ(::mkfifo((dir_ + String("pipe.jpg")).ToUtf8().c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo((dir_ + String("pipe.orx")).ToUtf8().c_str(), 0644), 0);
  const bool device = ::mknod((dir_ + String("device.tif")).ToUtf8().c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;
  ASSERT_EQ(::remove(whole.ToUtf8().c_str()), 0);
  SetFileTypeIconSource(TestIcon);

  NodeRef folder = Folder(dir_);
  ASSERT_TRUE(folder->LoadChildren());
  std::set<std::string> seen;
  ASSERT_TRUE(orxtest::FinishesWithin([&] {
    for (NodeRef c = folder->GetDownNode(); c; c = c->GetNextNode()) {
      const std::string name = c->GetName().ToUtf8();
      seen.insert(name);
      BrowserPluginInterface* h = c->GetPluginInterface(0);
      if (!h)
        h = c->GetPluginInterface(PLUGINREQUEST_QUICK);
      if (!h) {
        // No bytes to match: no handler, and the view shows the node's own file icon.
        EXPECT_EQ(name, "empty.png");
        ASSERT_TRUE(dynamic_cast<DirectoryNode*>(c.Get()));
        EXPECT_EQ(dynamic_cast<DirectoryNode*>(c.Get())->GetIconId(0), ICON_FILE);
        continue;
      }
      void* data = h->OpenPreviewData(0, c, nullptr, nullptr);
      Bitmap b(data ? h->GetPreviewBitmap(data, 128, 128, 0) : nullptr);
      EXPECT_FALSE(b) << name;
      h->FreePreviewData(data);
      g_iconAsked = -1;
      Bitmap icon(c->GetIcon(0, 64));
      ASSERT_TRUE(icon) << name;
      EXPECT_EQ(icon->GetWidth(), 64);
      EXPECT_EQ(g_iconAsked, static_cast<FileTypePlugin*>(h)->Table().icon) << name;
    }
  }));
  EXPECT_EQ(seen.size(), device ? 5u : 4u);
  EXPECT_TRUE(orxhost::HostRequests().empty());
}

// A URL that is not a file gives no preview data, even when its text names a file relative to the
// working folder.
TEST_F(FileTypes, PreviewOfAURLThatIsNoFileReadsNothing)
{
  MEDIATEST_NEED("convert");
  const Filename cwd = dir_ + String("cwd");
  ASSERT_TRUE(Shell("mkdir -p " + Quoted(cwd) + "/preset:/lib.libqz && convert -size 8x8 xc:red " + Quoted(cwd) +
                    "/preset:/lib.libqz/pic.png"));
  ASSERT_TRUE(Shell("mkdir -p " + Quoted(cwd) + "/preset:/lib.libqz/s.orx && rmdir " + Quoted(cwd) +
                    "/preset:/lib.libqz/s.orx"));
  ASSERT_TRUE(orxtest::WriteFile(cwd + String("preset:") + String("lib.libqz") + String("s.orx"), SceneBytes()));
  const fs::path old = fs::current_path();
  fs::current_path(cwd.ToUtf8());
  for (const char* text : {"preset://lib.libqz/pic.png", "preset:/lib.libqz/pic.png", "catalog://lib.libqz/pic.png"}) {
    BrowserURL u{String(text)};
    for (Int32 id : {HANDLER_ID_IMAGE, HANDLER_ID_MOVIE}) {
      Int32 q = -1;
      void* data = Handler(id)->OpenPreviewData(0, nullptr, &u, &q);
      EXPECT_EQ(data, nullptr) << text;
      EXPECT_EQ(q, 0);
      Handler(id)->FreePreviewData(data);
    }
  }
  BrowserURL scene{String("preset:/lib.libqz/s.orx")};
  EXPECT_EQ(Handler(HANDLER_ID_SCENE)->OpenPreviewData(0, nullptr, &scene, nullptr), nullptr);
  fs::current_path(old);
  EXPECT_TRUE(orxhost::HostRequests().empty());
}

// Double clicks: the action of each kind, and nothing asked of the host without a file.
TEST_F(FileTypes, ExecuteActsOnTheFileAndNeverOnAnEmptyName)
{
  const Filename pic = dir_ + String("a.png"), scene = dir_ + String("a.orx"), movie = dir_ + String("a.mp4");
  for (const Filename& f : {pic, scene, movie})
    ASSERT_TRUE(orxtest::WriteFile(f, "x"));
  const Int32 all[] = {HANDLER_ID_IMAGE,  HANDLER_ID_SCENE,  HANDLER_ID_MOVIE,  HANDLER_ID_UNKNOWN_FILE,
                       HANDLER_ID_FOLDER, HANDLER_ID_SCRIPT, HANDLER_ID_SOUND,  HANDLER_ID_KORVEX,
                       HANDLER_ID_LAYOUT};
  for (Int32 id : all) {
    BrowserURL none{String("preset://lib.libqz/a.png")};
    EXPECT_FALSE(Handler(id)->Execute(nullptr, &none, 0)) << id;
    EXPECT_FALSE(Handler(id)->Execute(nullptr, &none, EXECUTE_MERGE)) << id;
    EXPECT_FALSE(Handler(id)->Execute(nullptr, nullptr, 0)) << id;
  }
  EXPECT_TRUE(orxhost::HostRequests().empty());

  BrowserURL p = FileURL(pic), s = FileURL(scene), m = FileURL(movie);
  EXPECT_TRUE(Handler(HANDLER_ID_IMAGE)->Execute(nullptr, &p, 0));
  EXPECT_TRUE(Handler(HANDLER_ID_SCENE)->Execute(nullptr, &s, EXECUTE_MERGE));
  EXPECT_TRUE(Handler(HANDLER_ID_SCENE)->Execute(nullptr, &s, 0));
  EXPECT_TRUE(Handler(HANDLER_ID_MOVIE)->Execute(nullptr, &m, 0));
  EXPECT_TRUE(Handler(HANDLER_ID_KORVEX)->Execute(nullptr, &m, 0));
  EXPECT_FALSE(Handler(HANDLER_ID_FOLDER)->Execute(nullptr, &m, 0));
  // The node's URL when no URL is given.
  NodeRef folder = Folder(dir_);
  ASSERT_TRUE(folder->LoadChildren());
  NodeRef node;
  for (NodeRef c = folder->GetDownNode(); c; c = c->GetNextNode())
    if (c->GetName().ToUtf8() == "a.png")
      node = c;
  ASSERT_TRUE(node);
  EXPECT_TRUE(Handler(HANDLER_ID_UNKNOWN_FILE)->Execute(node, nullptr, 0));
  const auto r = orxhost::HostRequests();
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].kind, "load");
  EXPECT_EQ(r[0].path, pic.ToUtf8());
  EXPECT_EQ(r[1].kind, "merge");
  EXPECT_EQ(r[1].value, SCENEFILTER_MERGE_ALL);
  EXPECT_EQ(r[2].kind, "load");
  EXPECT_EQ(r[2].path, scene.ToUtf8());
  EXPECT_EQ(r[3].kind, "open");
  EXPECT_EQ(r[4].kind, "open");
  EXPECT_EQ(r[4].path, pic.ToUtf8());
}

// "mp2" is in the movie and the sound table: MPEG audio is a movie by name, sound by content, and
// its movie preview is simply empty.
TEST_F(FileTypes, MpegAudioNamedLikeAMovieHasNoPictureAndNoError)
{
  MEDIATEST_NEED("ffmpeg");
  const Filename mp2 = dir_ + String("tone.mp2");
  ASSERT_TRUE(Shell("ffmpeg -nostdin -y -f lavfi -i sine=frequency=300:duration=1 -c:a mp2 " + Quoted(mp2)));
  BrowserPluginInterface* quick = Match(mp2, false);
  ASSERT_EQ(IdOf(quick), HANDLER_ID_MOVIE);
  EXPECT_EQ(IdOf(Match(mp2, true)), HANDLER_ID_SOUND);
  orxhost::ClearConsole();
  BrowserURL u = FileURL(mp2);
  Int32 q = -1;
  void* data = quick->OpenPreviewData(0, nullptr, &u, &q);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(q, 0);
  EXPECT_EQ(quick->GetPreviewBitmap(data, 64, 64, 0), nullptr);
  EXPECT_EQ(quick->GetPreviewBitmap(data, 64, 64, 0), nullptr);
  quick->FreePreviewData(data);
  EXPECT_TRUE(orxhost::ConsoleLines().empty());
  EXPECT_TRUE(orxhost::MessageBoxes().empty());
}

// A scene preview reads only a regular file of bounded size, and a file that cannot be read gives no
// preview.
TEST_F(FileTypes, ScenePreviewsAreBoundedAndFailQuietly)
{
  BrowserPluginInterface* scene = Handler(HANDLER_ID_SCENE);
  const Filename small = dir_ + String("small.orx"), huge = dir_ + String("huge.fbx"), pipe = dir_ + String("p.orx"),
                 junk = dir_ + String("junk.3ds");
  ASSERT_TRUE(orxtest::WriteFile(small, SceneBytes()));
  ASSERT_TRUE(orxtest::WriteFile(junk, std::string(5000, '\xff')));
  ASSERT_TRUE(orxtest::WriteFile(huge, "Kaydara FBX Binary"));
  fs::resize_file(huge.ToUtf8(), std::uintmax_t(SCENEPREVIEW_MAX_BYTES) + 1); // sparse
  ASSERT_EQ(::mkfifo(pipe.ToUtf8().c_str(), 0644), 0);
  ASSERT_TRUE(orxtest::FinishesWithin([&] {
    for (const Filename& f : {small, huge, pipe, junk, dir_ + String("missing.orx")}) {
      BrowserURL u = FileURL(f);
      Int32 q = -1;
      void* data = scene->OpenPreviewData(0, nullptr, &u, &q);
      // There is no scene reader yet: never a document, never a bitmap.
      EXPECT_EQ(data, nullptr) << f.ToUtf8();
      EXPECT_EQ(q, 0);
      EXPECT_EQ(scene->GetPreviewBitmap(data, 64, 64, 0), nullptr);
      scene->FreePreviewData(data);
    }
  }));
  // The others never reached the scene reader.
  std::set<std::string> asked;
  for (const orxhost::HostRequest& r : orxhost::HostRequests()) {
    EXPECT_EQ(r.kind, "scene");
    EXPECT_EQ(r.value, 3);
    EXPECT_TRUE(r.done);
    asked.insert(r.path);
  }
  EXPECT_EQ(asked, (std::set<std::string>{small.ToUtf8(), junk.ToUtf8()}));
}
