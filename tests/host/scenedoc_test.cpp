// The host's scene documents: the native format, undo steps, merge, and the table family.
#include <cstring>

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

// A document with one element of every kind, document settings and active elements.
std::unique_ptr<BaseDocument> Sample()
{
  auto doc = std::make_unique<BaseDocument>();
  BaseContainer general;
  general.SetString(1, "units: cm");
  doc->settings.SetContainer(DOCUMENT_SETTINGS_GENERAL, general);
  doc->settings.SetContainer(DOCUMENT_SETTINGS_MODELING, BaseContainer(7));
  auto cube = Elem(Obase, "Cube");
  for (Int32 i = 0; i < 12; ++i)
    cube->data.SetFloat(OBJECT_MATRIX + i, i % 4 == 0 ? 1.0 : 0.25 * i);
  const UChar points[24] = {0x3f, 0xf0};
  cube->data.SetBytes(OBJECT_POINTS, points, sizeof points);
  BaseList2D* cubeRaw = cube.get();
  EXPECT_TRUE(sc::Insert(doc.get(), std::move(cube), nullptr, nullptr));
  EXPECT_TRUE(sc::Insert(doc.get(), Elem(Onull, "Child"), cubeRaw, nullptr));
  auto tag = Elem(Tbase, "Phong");
  BaseList2D* tagRaw = tag.get();
  EXPECT_TRUE(sc::Insert(doc.get(), std::move(tag), cubeRaw, cubeRaw->children[0].get()));
  auto mat = Elem(Mbase, "Red");
  mat->data.SetFloat(MATERIAL_COLOR, 1.0);
  mat->data.SetFilename(MATERIAL_TEXTURE, Filename("tex/brick.png"));
  BaseList2D* matRaw = mat.get();
  EXPECT_TRUE(sc::Insert(doc.get(), std::move(mat), nullptr, nullptr));
  EXPECT_TRUE(sc::Insert(doc.get(), Elem(Xbase, "Noise"), matRaw, nullptr));
  auto rd = Elem(RDbase, "Final");
  BaseList2D* rdRaw = rd.get();
  EXPECT_TRUE(sc::Insert(doc.get(), std::move(rd), nullptr, nullptr));
  EXPECT_TRUE(sc::Insert(doc.get(), Elem(VPbase, "Glow"), rdRaw, nullptr));
  sc::SetActive(doc.get(), ACTIVE_OBJECT, cubeRaw);
  sc::SetActive(doc.get(), ACTIVE_TAG, tagRaw);
  sc::SetActive(doc.get(), ACTIVE_MATERIAL, matRaw);
  sc::SetActive(doc.get(), ACTIVE_RENDER, rdRaw);
  return doc;
}

std::vector<UChar> Bytes(const BaseDocument& doc)
{
  std::vector<UChar> out;
  EXPECT_TRUE(sc::SaveToMemory(doc, &out));
  return out;
}
} // namespace

TEST(SceneDocument, ElementsGoOnlyWhereTheirKindLies)
{
  auto doc = std::make_unique<BaseDocument>();
  EXPECT_FALSE(sc::Insert(doc.get(), Elem(Tbase, "loose tag"), nullptr, nullptr));
  EXPECT_FALSE(sc::Insert(doc.get(), Elem(VPbase, "loose effect"), nullptr, nullptr));
  EXPECT_TRUE(sc::Insert(doc.get(), Elem(Mbase, "m"), nullptr, nullptr));
  BaseList2D* m = doc->roots[SCENELIST_MATERIALS].children[0].get();
  EXPECT_FALSE(sc::Insert(doc.get(), Elem(Obase, "object in material"), m, nullptr));
  sc::SetActive(doc.get(), ACTIVE_OBJECT, m); // a material is no active object
  EXPECT_EQ(doc->active[ACTIVE_OBJECT], nullptr);
  BaseDocument other;
  EXPECT_FALSE(sc::Insert(&other, Elem(Xbase, "s"), m, nullptr)); // parent of another document
}

TEST(SceneNativeFormat, SavesAndLoadsEveryKindWithActiveElements)
{
  auto doc = Sample();
  const std::vector<UChar> bytes = Bytes(*doc);
  // Big-endian header, format ident, then the version word.
  ASSERT_GT(bytes.size(), 13u);
  EXPECT_EQ(std::memcmp(bytes.data(), "ORXH", 4), 0);
  EXPECT_EQ((bytes[4] << 24 | bytes[5] << 16 | bytes[6] << 8 | bytes[7]), FORMAT_NATIVE);
  std::string error;
  auto back = sc::LoadFromMemory(bytes.data(), Int64(bytes.size()), &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(Bytes(*back), bytes);
  const BaseList2D* cube = back->roots[SCENELIST_OBJECTS].children[0].get();
  EXPECT_EQ(cube->name, String("Cube"));
  ASSERT_EQ(cube->children.size(), 2u);
  EXPECT_EQ(cube->children[1]->kind, Tbase);
  EXPECT_EQ(back->active[ACTIVE_TAG], cube->children[1].get());
  EXPECT_EQ(back->active[ACTIVE_RENDER], back->roots[SCENELIST_RENDER].children[0].get());
  EXPECT_EQ(back->settings.GetContainer(DOCUMENT_SETTINGS_GENERAL).GetString(1), String("units: cm"));
  EXPECT_EQ(back->roots[SCENELIST_MATERIALS].children[0]->data.GetFilename(MATERIAL_TEXTURE).GetString(),
            String("tex/brick.png"));

  const Filename dir = orxtest::TempDir();
  const std::string path = (dir + String("doc.orx")).ToUtf8();
  ASSERT_TRUE(sc::SaveToFile(*doc, path, &error)) << error;
  auto fromFile = sc::LoadFromFile(path, &error);
  ASSERT_TRUE(fromFile) << error;
  EXPECT_EQ(Bytes(*fromFile), bytes);
}

TEST(SceneNativeFormat, AFailedSaveKeepsTheOldFile)
{
  const std::string path = (orxtest::TempDir() + String("doc.orx")).ToUtf8();
  auto doc = Sample();
  std::string error;
  ASSERT_TRUE(sc::SaveToFile(*doc, path, &error));
  const std::string before = orxtest::ReadFile(Filename(String(path)));
  auto empty = std::make_unique<BaseDocument>();
  orxhost::FailNth(orxhost::FileOp::Write, 1);
  EXPECT_FALSE(sc::SaveToFile(*empty, path, &error));
  orxhost::ClearFaults();
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(orxtest::ReadFile(Filename(String(path))), before);
}

TEST(SceneNativeFormat, TruncatedCorruptedAndForeignInputIsRefusedClearly)
{
  const std::vector<UChar> bytes = Bytes(*Sample());
  std::string error;
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    error.clear();
    EXPECT_FALSE(sc::LoadFromMemory(bytes.data(), Int64(n), &error)) << "prefix " << n;
    EXPECT_FALSE(error.empty());
  }
  // Every single changed byte either loads or is refused; never a crash (ASan watches).
  for (std::size_t i = 0; i < bytes.size(); ++i)
    for (UChar x : {UChar(0x01), UChar(0x80), UChar(0xff)}) {
      std::vector<UChar> bad = bytes;
      bad[i] ^= x;
      auto d = sc::LoadFromMemory(bad.data(), Int64(bad.size()), &error);
      if (d)
        EXPECT_FALSE(Bytes(*d).empty());
    }
  // A newer version is named in the error.
  std::vector<UChar> newer = bytes;
  newer[12] = 9; // the version word's low byte (after the magic, the ident and the Int32 tag)
  EXPECT_FALSE(sc::LoadFromMemory(newer.data(), Int64(newer.size()), &error));
  EXPECT_NE(error.find("version 9"), std::string::npos) << error;
  // A file that is not a document, and a folder.
  const Filename dir = orxtest::TempDir();
  ASSERT_TRUE(orxtest::WriteFile(dir + String("x.orx"), "hello, not a scene"));
  EXPECT_FALSE(sc::LoadFromFile((dir + String("x.orx")).ToUtf8(), &error));
  EXPECT_NE(error.find("not a scene document"), std::string::npos);
  EXPECT_FALSE(sc::LoadFromFile(dir.ToUtf8(), &error));
}

TEST(SceneNativeFormat, DeepNestingAndMisplacedKindsAreRefused)
{
  auto doc = std::make_unique<BaseDocument>();
  BaseList2D* at = nullptr;
  for (int i = 0; i < 100; ++i) {
    auto o = Elem(Obase, "o");
    BaseList2D* raw = o.get();
    ASSERT_TRUE(sc::Insert(doc.get(), std::move(o), at, nullptr));
    at = raw;
  }
  std::string error;
  const std::vector<UChar> deep = Bytes(*doc);
  EXPECT_FALSE(sc::LoadFromMemory(deep.data(), Int64(deep.size()), &error));
  EXPECT_NE(error.find("deeply"), std::string::npos) << error;

  // A tag written at the top of the object list.
  auto one = std::make_unique<BaseDocument>();
  ASSERT_TRUE(sc::Insert(one.get(), Elem(Obase, "o"), nullptr, nullptr));
  std::vector<UChar> bytes = Bytes(*one);
  const UChar kindObj[5] = {1, 0, 0, 0x14, 0x23}; // Int32 tag, 5155
  auto it = std::search(bytes.begin(), bytes.end(), kindObj, kindObj + 5);
  ASSERT_NE(it, bytes.end());
  it[3] = 0x16, it[4] = 0x3e; // 5694
  EXPECT_FALSE(sc::LoadFromMemory(bytes.data(), Int64(bytes.size()), &error));
  EXPECT_NE(error.find("5694"), std::string::npos) << error;
}

TEST(SceneUndo, UndoGivesTheBytesFromBeforeAndRedoTheBytesFromAfter)
{
  auto doc = Sample();
  const std::vector<UChar> before = Bytes(*doc);
  ASSERT_TRUE(sc::StartUndo(doc.get()));
  auto mat = Elem(Mbase, "Blue");
  BaseList2D* raw = mat.get();
  ASSERT_TRUE(sc::Insert(doc.get(), std::move(mat), nullptr, doc->roots[SCENELIST_MATERIALS].children[0].get()));
  ASSERT_TRUE(sc::AddUndo(doc.get(), UNDOTYPE_NEW, raw));
  sc::SetActive(doc.get(), ACTIVE_MATERIAL, raw);
  // The effect of the render settings is replaced, its removal in the same step.
  BaseList2D* glow = doc->roots[SCENELIST_RENDER].children[0]->children[0].get();
  ASSERT_TRUE(sc::AddUndo(doc.get(), UNDOTYPE_DELETE, glow));
  EXPECT_EQ(sc::Remove(glow), nullptr); // the step keeps it
  auto fx = Elem(VPbase, "Sharpen");
  BaseList2D* fxRaw = fx.get();
  ASSERT_TRUE(sc::Insert(doc.get(), std::move(fx), doc->roots[SCENELIST_RENDER].children[0].get(), nullptr));
  ASSERT_TRUE(sc::AddUndo(doc.get(), UNDOTYPE_NEW, fxRaw));
  ASSERT_TRUE(sc::EndUndo(doc.get()));
  const std::vector<UChar> after = Bytes(*doc);
  ASSERT_NE(after, before);

  ASSERT_TRUE(sc::DoUndo(doc.get()));
  EXPECT_EQ(Bytes(*doc), before);
  EXPECT_FALSE(sc::DoUndo(doc.get()));
  ASSERT_TRUE(sc::DoRedo(doc.get()));
  EXPECT_EQ(Bytes(*doc), after);
  ASSERT_TRUE(sc::DoUndo(doc.get()));
  EXPECT_EQ(Bytes(*doc), before);
}

TEST(SceneUndo, RemovingARecordedElementWithoutUndoEndsTheHistory)
{
  auto doc = Sample();
  ASSERT_TRUE(sc::StartUndo(doc.get()));
  auto o = Elem(Obase, "New");
  BaseList2D* raw = o.get();
  ASSERT_TRUE(sc::Insert(doc.get(), std::move(o), nullptr, nullptr));
  ASSERT_TRUE(sc::AddUndo(doc.get(), UNDOTYPE_NEW, raw));
  sc::SetActive(doc.get(), ACTIVE_OBJECT, raw);
  ASSERT_TRUE(sc::EndUndo(doc.get()));
  std::unique_ptr<BaseList2D> out = sc::Remove(raw); // the caller owns it and frees it
  ASSERT_TRUE(out);
  out.reset();
  EXPECT_EQ(doc->active[ACTIVE_OBJECT], nullptr);
  EXPECT_FALSE(sc::DoUndo(doc.get())); // nothing refers to the freed element any more
}

TEST(SceneMerge, FilterChoosesThePartsAndOneStepUndoesTheMerge)
{
  const std::vector<UChar> preset = Bytes(*Sample());
  auto doc = Sample();
  const std::vector<UChar> before = Bytes(*doc);
  {
    auto src = sc::LoadFromMemory(preset.data(), Int64(preset.size()), nullptr);
    ASSERT_TRUE(src);
    BaseDocument target;
    ASSERT_TRUE(sc::Merge(&target, src.get(), SCENEFILTER_OBJECTS));
    EXPECT_EQ(target.roots[SCENELIST_OBJECTS].children.size(), 1u);
    EXPECT_TRUE(target.roots[SCENELIST_MATERIALS].children.empty());
  }
  const OrxSceneDocumentTable* t = OrxGetHostTable()->sceneDocument;
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->startUndo(doc.get()));
  ASSERT_TRUE(t->mergeMemory(doc.get(), preset.data(), Int64(preset.size()), 59));
  ASSERT_TRUE(t->endUndo(doc.get()));
  EXPECT_EQ(doc->roots[SCENELIST_OBJECTS].children.size(), 2u);
  EXPECT_EQ(doc->roots[SCENELIST_MATERIALS].children.size(), 2u);
  EXPECT_EQ(doc->roots[SCENELIST_RENDER].children.size(), 2u);
  EXPECT_EQ(doc->active[ACTIVE_OBJECT], doc->roots[SCENELIST_OBJECTS].children[1].get());
  ASSERT_TRUE(t->undo(doc.get()));
  EXPECT_EQ(Bytes(*doc), before);
  // Damaged data merges nothing.
  EXPECT_FALSE(t->mergeMemory(doc.get(), preset.data(), Int64(preset.size()) - 1, 59));
  EXPECT_EQ(Bytes(*doc), before);
}

TEST(SceneTable, OwnershipOfElementsFollowsTheEntries)
{
  const OrxSceneDocumentTable* t = OrxGetHostTable()->sceneDocument;
  ASSERT_TRUE(t && ORX_HAS_ENTRY(t, changed));
  orxtest::NoLeaks noLeaks;
  BaseDocument* doc = t->docNew();
  BaseList2D* tag = t->elemNew(Tbase);
  EXPECT_FALSE(t->insert(doc, tag, nullptr, nullptr)); // refused: the caller keeps it
  BaseList2D* obj = t->elemNew(Obase);
  String name("Cube");
  t->setName(obj, &name);
  ASSERT_TRUE(t->insert(doc, obj, nullptr, nullptr));
  ASSERT_TRUE(t->insert(doc, tag, obj, nullptr));
  EXPECT_EQ(t->first(doc, SCENELIST_OBJECTS), obj);
  EXPECT_EQ(t->down(obj), tag);
  EXPECT_EQ(t->up(tag), obj);
  EXPECT_EQ(t->up(obj), nullptr);
  EXPECT_EQ(t->documentOf(tag), doc);
  void* block = nullptr;
  Int64 size = 0;
  ASSERT_TRUE(t->saveMemory(doc, &block, &size));
  BaseDocument* copy = t->loadMemory(block, size, 0);
  ASSERT_TRUE(copy);
  OrxMemFree(block);
  // Taken out of a document that is then freed, the element is the caller's (and stays valid).
  BaseList2D* taken = t->first(copy, SCENELIST_OBJECTS);
  EXPECT_TRUE(t->remove(taken));
  t->docFree(copy);
  EXPECT_EQ(t->kind(taken), Obase);
  EXPECT_EQ(t->kind(t->down(taken)), Tbase);
  t->elemFree(taken);
  const Int64 events = sc::ChangedEvents();
  t->changed(doc);
  EXPECT_EQ(sc::ChangedEvents(), events + 1);
  t->docFree(doc);
}
