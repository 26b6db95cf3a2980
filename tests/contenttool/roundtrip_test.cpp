// The round trip of the content tool: a library exported, built back and exported again gives the
// same tree byte for byte, and the built library holds the same items as the first.
#include "exporttest.h"

#include <set>
#include <sstream>

#include "orx/hyperfile.h"
#include "presets/browserdatabaseitem.h"
#include "tools/contenttool/librarybuild.h"
#include "tools/contenttool/presettypetable.h"

using namespace exporttest;

namespace {

constexpr Int32 kTypeScene = 1018023, kTypeBaseObject = 1018107, kTypeBaseMaterial = 1018108;

std::string Bytes(const ByteArray& b) { return std::string(b.begin(), b.end()); }

// Size and a hash of bytes, for messages that stay readable.
std::string Digest(const std::string& bytes)
{
  UInt64 h = 1469598103934665603ull;
  for (unsigned char c : bytes)
    h = (h ^ c) * 1099511628211ull;
  return std::to_string(bytes.size()) + " bytes #" + std::to_string(h);
}

std::string ContainerImage(const BaseContainer& bc)
{
  ByteArray image;
  EXPECT_TRUE(HyperFile::ContainerToImage(bc, BROWSER_CONTAINER_IDENT, &image));
  return Bytes(image);
}

// All that an item holds and the round trip must keep, as one comparable text.
std::string Describe(BrowserDatabase* db, const std::string& url, bool root = false)
{
  ItemHandle h(db ? db->OpenItem(String(url.c_str())) : nullptr);
  if (!h)
    return "missing";
  std::ostringstream o;
  Int32 sub = 0;
  const Int32 type = h->GetType(&sub);
  const bool folder = h->IsFolder();
  // A folder's type is not part of the tree's format: "type=folder" is its flag.
  if (root)
    o << "root\n";
  else if (folder)
    o << "folder\n";
  else
    o << "type " << type << "/" << sub << "\n";
  BaseContainer names;
  h->GetNames(&names);
  std::set<std::pair<Int32, std::string>> sorted;
  for (const auto& e : names)
    sorted.emplace(e.id, names.GetString(e.id).ToUtf8());
  for (const auto& [language, text] : sorted)
    o << "name " << language << " [" << text << "]\n";
  o << "annotation [" << h->GetAnnotation().ToUtf8() << "]\n";
  BaseContainer settings;
  h->GetSettings(&settings);
  o << "settings " << settings.GetCount() << " [" << (settings.GetCount() ? ContainerImage(settings) : "") << "]\n";
  ByteArray data;
  if (h->HasData() && h->GetData(&data))
    o << "data [" << Bytes(data) << "]\n";
  Int32 first = 0, last = 0;
  Float fps = 0;
  if (h->GetAnimation(&first, &last, &fps))
    o << "animation " << first << ".." << last << " at " << fps << "\n";
  for (Int32 i = 0; i < h->GetPreviewCount(); ++i) {
    PreviewInfo info;
    if (!h->GetPreviewInfo(i, &info)) {
      o << "preview " << i << " unreadable\n";
      continue;
    }
    ByteArray b;
    h->GetPreviewData(info.imageId, &b);
    o << "preview " << info.imageId << " quality " << info.quality << " [" << Digest(Bytes(b)) << "]\n";
  }
  return o.str();
}

// A library file opened on its own for reading.
struct Opened
{
  BrowserDatabase* db = nullptr;
  explicit Opened(const Filename& file)
  {
    db = BrowserDatabase::Create(file, String(), 0);
    if (db && !db->Load()) {
      BrowserDatabase::Destroy(db);
      db = nullptr;
    }
  }
  ~Opened()
  {
    if (db)
      BrowserDatabase::Destroy(db);
  }
};

void Names(BrowserDatabaseItem* h, const std::string& base)
{
  h->SetName(String((base + " (en)").c_str()), kUs);
  h->SetName(String((base + " – Grüße").c_str()), kDe);
  h->SetName(String((base + " « été »").c_str()), kFr);
}

// Names that a tree and its descriptions must carry through unchanged.
const char* const kHardNames[] = {"A & B", "<lt> and >gt", "say \"so\" and 'so'", "Grüße ÄÖÜ ß", ".leading dot",
                                  "..two dots", "plain"};

struct Generated
{
  // Relative paths of the entries, each with the path it has after the build.
  std::vector<std::pair<std::string, std::string>> paths;
};

// A library with every type of the table, three languages, annotations (one empty), settings, still
// previews of every quality with gaps in their indices, an animated preview, folders two deep.
Generated Fill(BrowserDatabase* db, const String& url)
{
  Generated g;
  {
    ItemHandle root(ExportTest::Item(db, url, ""));
    Names(root.operator->(), "Library & <all>");
    root->SetAnnotation(String("The round trip's library: \"quoted\" & <marked>"));
  }
  const std::string folders[] = {"Top & <one>", "Top & <one>/Ünder \"two\"", ".dotted folder"};
  for (const std::string& f : folders) {
    ItemHandle h(ExportTest::Item(db, url, f, true));
    Names(h.operator->(), f);
    h->SetAnnotation(String(("Folder " + f).c_str()));
    g.paths.emplace_back(f, f);
  }
  const std::string root = "";
  std::vector<std::pair<Int32, Int32>> types;
  for (const PresetTypeRow& r : PresetTypeRows()) {
    if (r.id == 1018027) // type=folder is a folder of the tree, not a preset
      continue;
    types.emplace_back(r.fileKind ? PRESETTYPE_GENERIC : r.id, r.fileKind ? r.id : 0);
  }
  types.emplace_back(0, 0); // an entry without a type
  int n = 0;
  for (const auto& [type, sub] : types) {
    const Int32 kind = type == PRESETTYPE_GENERIC && sub != 0 ? sub : type;
    const bool sceneKind = kind == kTypeScene || kind == kTypeBaseObject || kind == kTypeBaseMaterial;
    std::string name = kHardNames[n % std::size(kHardNames)];
    if (sceneKind && name[0] == '.')
      name = "scene " + name.substr(1);
    name += " " + std::to_string(n);
    const std::string rel = (n % 4 == 3 ? std::string() : folders[n % 3] + "/") + name;
    ItemHandle h(ExportTest::Item(db, url, rel));
    h->SetType(type, sub);
    Names(h.operator->(), name);
    if (n != 5)
      h->SetAnnotation(String(("Note on " + name + " & <its> \"type\"\nsecond line").c_str()));
    const std::string data = "data of " + name + std::string("\0\xff\r\n", 4);
    h->SetData(data.data(), Int64(data.size()));
    if (n % 3 != 1) {
      BaseContainer settings;
      settings.SetInt32(1, n);
      settings.SetString(2, String(name.c_str()));
      settings.SetFloat(3, 0.25 * n);
      h->SetSettings(settings);
    }
    if (n % 5 == 2) {
      h->SetAnimation(0, 2, 12.5);
      for (Int32 k = 0; k < 3; ++k) {
        const std::string frame = Picture(SAVEBITMAP_JPEG, UChar(40 + 60 * k + n));
        h->AddPreview(k, frame.data(), Int64(frame.size()), 4, DateTime());
      }
    } else if (n % 5 != 4) {
      const Int32 ids[] = {0, 2, 3, 7};
      const Int32 qualities[] = {1, 2, 4, 8};
      for (int k = 0; k < 4; ++k) {
        const std::string still = Picture(SAVEBITMAP_JPEG, UChar(30 * k + n));
        h->AddPreview(ids[k], still.data(), Int64(still.size()), qualities[(k + n) % 4], DateTime());
      }
    }
    g.paths.emplace_back(rel, rel + (sceneKind ? ".orx" : ""));
    ++n;
  }
  return g;
}

std::map<std::string, std::string> TreeWithoutLogs(const std::string& root)
{
  std::map<std::string, std::string> out;
  for (const auto& [rel, bytes] : Tree(root))
    if (rel != "/error_log.txt" && rel != "/operation_log.txt")
      out[rel] = bytes;
  return out;
}

size_t Lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

class RoundTrip : public ExportTest
{
};

TEST_F(RoundTrip, ExportBuildExportGivesTheSameTreeAndTheSameItems)
{
  Generated g;
  NodeRef first = Library("orig", [&](BrowserDatabase* db, const String& url) { g = Fill(db, url); });
  ASSERT_TRUE(first);
  ASSERT_GT(g.paths.size(), 30u);

  ASSERT_TRUE(GeCreateFolderTree(dir_ + String("e1")) && GeCreateFolderTree(dir_ + String("e2")));
  const Filename e1 = dir_ + String("e1/rt");
  const Outcome one = Export(first, e1);
  ASSERT_TRUE(one.success) << one.message << one.errorLog;
  EXPECT_EQ(one.errors, 0) << one.errorLog;

  ASSERT_TRUE(GeCreateFolderTree(dir_ + String("b")));
  const Filename built = dir_ + String("b/rt.libqz");
  BuildOutcome b;
  ASSERT_TRUE(RunLibraryBuild(Filename(e1.GetString() + ".cbinfo"), built, &b))
      << b.failure.ToUtf8() << orxtest::ReadFile(b.errorLog);
  EXPECT_EQ(b.errorCount, 0) << orxtest::ReadFile(b.errorLog);

  ASSERT_TRUE(RegisterLibrary(built, 0u, nullptr));
  NodeRef second = contenttest::Find("preset://rt.libqz");
  ASSERT_TRUE(second);
  const Filename e2 = dir_ + String("e2/rt");
  const Outcome two = Export(second, e2);
  ASSERT_TRUE(two.success) << two.message << two.errorLog;
  EXPECT_EQ(two.errors, 0) << two.errorLog;

  // The trees: every name and every byte.
  EXPECT_EQ(orxtest::ReadFile(Filename(e1.GetString() + ".cbinfo")), orxtest::ReadFile(Filename(e2.GetString() + ".cbinfo")));
  const auto t1 = TreeWithoutLogs(P(e1)), t2 = TreeWithoutLogs(P(e2));
  EXPECT_GT(t1.size(), g.paths.size() * 2);
  for (const auto& [rel, bytes] : t1) {
    const auto it = t2.find(rel);
    if (it == t2.end())
      ADD_FAILURE() << rel << " is missing from the second export";
    else
      EXPECT_TRUE(it->second == bytes) << rel << " differs:\n"
                                           << (rel.find(".cbinfo") != std::string::npos ? bytes + "\n---\n" + it->second : "");
  }
  for (const auto& [rel, bytes] : t2)
    EXPECT_TRUE(t1.count(rel)) << rel << " is only in the second export";
  // The logs name other paths and URLs; they tell the same story.
  EXPECT_EQ(orxtest::ReadFile(e1 + String("error_log.txt")), "0 errors\n");
  EXPECT_EQ(orxtest::ReadFile(e2 + String("error_log.txt")), "0 errors\n");
  EXPECT_EQ(Lines(orxtest::ReadFile(e1 + String("operation_log.txt"))),
            Lines(orxtest::ReadFile(e2 + String("operation_log.txt"))));

  // The items.
  Opened a(dir_ + String("orig.libqz")), c(built);
  ASSERT_TRUE(a.db && c.db);
  EXPECT_EQ(Describe(a.db, "preset://orig.libqz", true), Describe(c.db, "preset://rt.libqz", true));
  for (const auto& [before, after] : g.paths)
    EXPECT_EQ(Describe(a.db, "preset://orig.libqz/" + before), Describe(c.db, "preset://rt.libqz/" + after)) << before;
}

} // namespace

namespace {

// A stored preview in the shape of a JPEG stream but without a picture in it: the build cannot read it
// back, so the export must not write it as if all were well.
TEST_F(RoundTrip, APreviewTheBuildCannotReadIsAnExportError)
{
  std::string shell = "\xFF\xD8\xFF\xE0";
  shell += std::string("\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 16);
  shell += std::string("\xFF\xFE\x00\x05\x40\x40\x40\xFF\xD9", 9);
  const std::string jpeg = Picture(SAVEBITMAP_JPEG);
  NodeRef root = Library("shell", [&](BrowserDatabase* db, const String& url) {
    ItemHandle p(Item(db, url, "P"));
    p->SetType(PRESETTYPE_GENERIC, 0);
    p->SetData("p", 1);
    p->AddPreview(0, shell.data(), Int64(shell.size()), 1, DateTime());
    p->AddPreview(1, jpeg.data(), Int64(jpeg.size()), 2, DateTime());
  });
  const Filename d = dir_ + String("D");
  const Outcome run = Export(root, d);
  EXPECT_GE(run.errors, 1) << run.errorLog;
  EXPECT_NE(run.errorLog.find("Could not save preview file\nWriting previews for " + P(d) + "/P.cbinfo failed"),
            std::string::npos)
      << run.errorLog;
  EXPECT_FALSE(fs::exists(P(d) + "/P.preview_00000.jpg"));
  EXPECT_EQ(orxtest::ReadFile(d + String("P.preview_00001.jpg")), jpeg) << "a real JPEG is written as it is";
}

} // namespace
