// The undo history of a scene document kept between processes, beside its file.
#include <sys/stat.h>

#include "orxtest.h"
#include "scene/scenedoc.h"

namespace sc = orxhost::scene;

namespace {
std::unique_ptr<BaseList2D> Elem(Int32 kind, const char* name)
{
  auto e = std::make_unique<BaseList2D>(kind);
  e->name = name;
  return e;
}

std::vector<UChar> Bytes(const BaseDocument& doc)
{
  std::vector<UChar> out;
  EXPECT_TRUE(sc::SaveToMemory(doc, &out));
  return out;
}

// One undo step that adds an element of kind under parent (a list when null) and makes it active.
BaseList2D* AddStep(BaseDocument* doc, Int32 kind, const char* name, BaseList2D* parent = nullptr, Int32 active = -1)
{
  EXPECT_TRUE(sc::StartUndo(doc));
  auto e = Elem(kind, name);
  BaseList2D* raw = e.get();
  EXPECT_TRUE(sc::Insert(doc, std::move(e), parent, nullptr));
  EXPECT_TRUE(sc::AddUndo(doc, UNDOTYPE_NEW, raw));
  if (active >= 0)
    sc::SetActive(doc, active, raw);
  EXPECT_TRUE(sc::EndUndo(doc));
  return raw;
}

// A document with four steps, one of them taken back: the states' bytes in b[0..4], the document
// at b[3].
struct Stepped
{
  std::unique_ptr<BaseDocument> doc = std::make_unique<BaseDocument>();
  std::vector<UChar> b[5];
  Stepped()
  {
    doc->settings.SetContainer(DOCUMENT_SETTINGS_GENERAL, BaseContainer(3))->SetString(1, "units: cm");
    b[0] = Bytes(*doc);
    BaseList2D* cube = AddStep(doc.get(), Obase, "Cube", nullptr, ACTIVE_OBJECT);
    b[1] = Bytes(*doc);
    AddStep(doc.get(), Tbase, "Phong", cube, ACTIVE_TAG);
    b[2] = Bytes(*doc);
    // A removal: the step keeps the removed object.
    EXPECT_TRUE(sc::StartUndo(doc.get()));
    EXPECT_TRUE(sc::AddUndo(doc.get(), UNDOTYPE_DELETE, cube));
    EXPECT_EQ(sc::Remove(cube), nullptr);
    AddStep(doc.get(), Mbase, "Red", nullptr, ACTIVE_MATERIAL);
    EXPECT_TRUE(sc::EndUndo(doc.get()));
    b[3] = Bytes(*doc);
    AddStep(doc.get(), Mbase, "Blue", nullptr, ACTIVE_MATERIAL);
    b[4] = Bytes(*doc);
    EXPECT_TRUE(sc::DoUndo(doc.get()));
  }
  std::vector<UChar> History(Int32 maxSteps = 32, Int64 maxBytes = Int64(1) << 30)
  {
    std::vector<UChar> h;
    EXPECT_TRUE(sc::HistoryToMemory(doc.get(), b[3], maxSteps, maxBytes, &h));
    return h;
  }
};

// A fresh document of bytes with the history read in.
std::unique_ptr<BaseDocument> Reload(const std::vector<UChar>& bytes, const std::vector<UChar>& history)
{
  auto doc = sc::LoadFromMemory(bytes.data(), Int64(bytes.size()), nullptr);
  EXPECT_TRUE(doc);
  std::string error;
  if (doc) {
    EXPECT_TRUE(sc::HistoryFromMemory(doc.get(), bytes, history.data(), Int64(history.size()), &error)) << error;
  }
  return doc;
}

std::string TempPath(const char* name) { return (orxtest::TempDir() + String(name)).ToUtf8(); }
std::string FileText(const std::string& path) { return orxtest::ReadFile(Filename(String(path))); }
} // namespace

TEST(SceneHistory, AHistoryReadBackUndoesAndRedoesToTheSameBytes)
{
  Stepped s;
  const std::vector<UChar> history = s.History();
  EXPECT_EQ(Bytes(*s.doc), s.b[3]) << "writing the history changed the document";
  auto doc = Reload(s.b[3], history);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->undo.size(), 3u);
  EXPECT_EQ(doc->redo.size(), 1u);
  for (int i = 2; i >= 0; --i) {
    ASSERT_TRUE(sc::DoUndo(doc.get()));
    EXPECT_EQ(Bytes(*doc), s.b[i]) << i;
  }
  EXPECT_FALSE(sc::DoUndo(doc.get()));
  for (int i = 1; i <= 4; ++i) {
    ASSERT_TRUE(sc::DoRedo(doc.get()));
    EXPECT_EQ(Bytes(*doc), s.b[i]) << i;
  }
  EXPECT_FALSE(sc::DoRedo(doc.get()));
}

TEST(SceneHistory, StepsOfThisProcessAndStepsReadBackMixAndAreKeptAgain)
{
  Stepped s;
  auto doc = Reload(s.b[3], s.History());
  ASSERT_TRUE(doc);
  ASSERT_TRUE(sc::DoUndo(doc.get())); // at b[2]: the cube with its tag
  BaseList2D* cube = doc->roots[SCENELIST_OBJECTS].children[0].get();
  AddStep(doc.get(), Tbase, "Bump", cube, ACTIVE_TAG);
  const std::vector<UChar> bumped = Bytes(*doc);
  EXPECT_TRUE(doc->redo.empty());
  // Back past the new step into the states read back, and forward again: the new step's elements
  // stay valid while the whole document state is swapped.
  ASSERT_TRUE(sc::DoUndo(doc.get()));
  EXPECT_EQ(Bytes(*doc), s.b[2]);
  ASSERT_TRUE(sc::DoUndo(doc.get()));
  EXPECT_EQ(Bytes(*doc), s.b[1]);
  ASSERT_TRUE(sc::DoRedo(doc.get()));
  ASSERT_TRUE(sc::DoRedo(doc.get()));
  EXPECT_EQ(Bytes(*doc), bumped);
  // Kept again and read by a third document.
  std::vector<UChar> again;
  ASSERT_TRUE(sc::HistoryToMemory(doc.get(), bumped, 32, Int64(1) << 30, &again));
  auto third = Reload(bumped, again);
  ASSERT_TRUE(third);
  ASSERT_TRUE(sc::DoUndo(third.get()));
  EXPECT_EQ(Bytes(*third), s.b[2]);
  ASSERT_TRUE(sc::DoUndo(third.get()));
  ASSERT_TRUE(sc::DoUndo(third.get()));
  EXPECT_EQ(Bytes(*third), s.b[0]);
}

TEST(SceneHistory, TheWriterKeepsTheNearestStepsWithinItsBounds)
{
  Stepped s;
  auto doc = Reload(s.b[3], s.History(2));
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->undo.size(), 2u);
  ASSERT_TRUE(sc::DoUndo(doc.get()));
  ASSERT_TRUE(sc::DoUndo(doc.get()));
  EXPECT_EQ(Bytes(*doc), s.b[1]);
  // No more states once their bytes pass the bound: the nearest one each way.
  auto small = Reload(s.b[3], s.History(32, 1));
  ASSERT_TRUE(small);
  EXPECT_EQ(small->undo.size(), 1u);
  EXPECT_EQ(small->redo.size(), 1u);
  // Nothing to keep: no bytes.
  BaseDocument plain;
  std::vector<UChar> none{1};
  ASSERT_TRUE(sc::HistoryToMemory(&plain, Bytes(plain), 32, 1 << 20, &none));
  EXPECT_TRUE(none.empty());
}

TEST(SceneHistory, TruncatedCorruptedAndStaleHistoriesAreRefusedAndTheDocumentKeepsItsOwn)
{
  Stepped s;
  const std::vector<UChar> history = s.History();
  auto doc = sc::LoadFromMemory(s.b[3].data(), Int64(s.b[3].size()), nullptr);
  ASSERT_TRUE(doc);
  AddStep(doc.get(), Obase, "Mine");
  const std::vector<UChar> mine = Bytes(*doc);
  auto check = [&](const std::vector<UChar>& h, const char* what) {
    std::string error;
    EXPECT_FALSE(sc::HistoryFromMemory(doc.get(), s.b[3], h.data(), Int64(h.size()), &error)) << what;
    EXPECT_FALSE(error.empty()) << what;
    EXPECT_EQ(Bytes(*doc), mine) << what;
    EXPECT_EQ(doc->undo.size(), 1u) << what;
    EXPECT_EQ(doc->redo.size(), 0u) << what;
  };
  for (std::size_t n = 0; n < history.size(); ++n)
    check(std::vector<UChar>(history.begin(), history.begin() + std::ptrdiff_t(n)), "truncated");
  // Any changed byte in the step counts, the document's length and digest, or the states' headers.
  for (std::size_t at = 8; at < 40 && at < history.size(); ++at) {
    std::vector<UChar> h = history;
    h[at] ^= 0x80;
    check(h, "a flipped byte");
  }
  // Huge counts: refused before anything is read for them.
  std::vector<UChar> h = history;
  const std::size_t counts = 8 + 5 + 9 + 9; // header, version, length, digest
  h[counts + 1] = 0x7f;
  check(h, "a huge count");
  // A history that belongs to other bytes of the document.
  std::string error;
  std::vector<UChar> other = s.b[3];
  other.back() ^= 1;
  EXPECT_FALSE(sc::HistoryFromMemory(doc.get(), other, history.data(), Int64(history.size()), &error));
  EXPECT_NE(error.find("another version"), std::string::npos) << error;
  // A state that is not a document.
  h = history;
  h[h.size() - 20] ^= 0xff;
  check(h, "a damaged state");
}

TEST(SceneHistory, TheDocumentFileStaysPlainAndItsHistoryLiesBesideIt)
{
  const std::string path = TempPath("kept.orx");
  Stepped s;
  std::string error, warning;
  ASSERT_TRUE(sc::SaveWithHistory(s.doc.get(), path, &error, &warning)) << error;
  EXPECT_TRUE(warning.empty()) << warning;
  EXPECT_EQ(FileText(path), std::string(s.b[3].begin(), s.b[3].end()));
  EXPECT_TRUE(sc::LoadFromFile(path, &error)) << "a plain reader cannot read the document: " << error;
  auto doc = sc::LoadWithHistory(path, &error, &warning);
  ASSERT_TRUE(doc) << error;
  EXPECT_TRUE(warning.empty()) << warning;
  ASSERT_TRUE(sc::DoUndo(doc.get()));
  ASSERT_TRUE(sc::SaveWithHistory(doc.get(), path, &error, &warning));
  EXPECT_EQ(FileText(path), std::string(s.b[2].begin(), s.b[2].end()));
  doc = sc::LoadWithHistory(path, &error, &warning);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->redo.size(), 2u);
  // A damaged history is left out with a warning; the document is what it was.
  const std::string kept = FileText(sc::HistoryPath(path));
  ASSERT_TRUE(orxtest::WriteFile(Filename(String(sc::HistoryPath(path))), kept.substr(0, kept.size() / 2)));
  doc = sc::LoadWithHistory(path, &error, &warning);
  ASSERT_TRUE(doc);
  EXPECT_NE(warning.find("left out"), std::string::npos) << warning;
  EXPECT_TRUE(doc->undo.empty() && doc->redo.empty());
  EXPECT_EQ(Bytes(*doc), s.b[2]);
  EXPECT_EQ(FileText(sc::HistoryPath(path)), kept.substr(0, kept.size() / 2)) << "reading wrote";
  // Saved with no history: the old one goes.
  ASSERT_TRUE(sc::SaveWithHistory(doc.get(), path, &error, &warning));
  struct stat st;
  EXPECT_NE(::lstat(sc::HistoryPath(path).c_str(), &st), 0);
  // Something else than a file in its place is never waited on.
  ASSERT_EQ(::mkfifo(sc::HistoryPath(path).c_str(), 0600), 0);
  doc = sc::LoadWithHistory(path, &error, &warning);
  ASSERT_TRUE(doc);
  EXPECT_NE(warning.find("not a regular file"), std::string::npos) << warning;
}
