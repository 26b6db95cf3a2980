// The preset type handlers: making presets from host elements and applying them to the active
// document with one undo step.
#include <cstddef>

#include "base/browserutils.h"
#include "orx/hosttable.h"
#include "orxtest.h"
#include "orx/scenedoc.h"
#include "presets/presettypeplugins.h"
#include "scene/scenedoc.h"

namespace sc = orxhost::scene;

namespace {
std::unique_ptr<BaseList2D> Elem(Int32 kind, const char* name, Int32 dataId = 0)
{
  auto e = std::make_unique<BaseList2D>(kind);
  e->name = name;
  e->data.SetId(dataId);
  e->data.SetInt32(1, kind + 1);
  return e;
}

BaseList2D* Add(BaseDocument* doc, std::unique_ptr<BaseList2D> e, BaseList2D* parent = nullptr)
{
  BaseList2D* raw = e.get();
  EXPECT_TRUE(sc::Insert(doc, std::move(e), parent, nullptr));
  return raw;
}

// A graph of two nodes, the first feeding the second; with a link to a node it does not hold
// when damaged.
std::unique_ptr<BaseList2D> NodeSetup(const char* name, bool damaged = false)
{
  auto e = Elem(Tnodes, name);
  BaseContainer nodes, links, link;
  for (Int32 id : {1, 2}) {
    BaseContainer n;
    n.SetInt32(NODE_KIND, 40 + id);
    n.SetString(NODE_NAME, id == 1 ? String("Noise") : String("Output"));
    n.SetFloat(NODE_POSITION, 10.0 * id);
    n.SetFloat(NODE_PARAMETERS, 0.25 * id);
    nodes.SetContainer(id, n);
  }
  link.SetInt32(LINK_FROM, 1);
  link.SetInt32(LINK_TO, damaged ? 3 : 2);
  link.SetInt32(LINK_TO_PORT, 1);
  links.SetContainer(1, link);
  e->data.SetContainer(NODESETUP_NODES, nodes);
  e->data.SetContainer(NODESETUP_LINKS, links);
  return e;
}

// One element of every kind that can become a preset, with active elements.
struct Source
{
  std::unique_ptr<BaseDocument> doc = std::make_unique<BaseDocument>();
  BaseList2D *object, *tag, *material, *shader, *render, *effect, *nodes;
  Source()
  {
    doc->settings.SetContainer(DOCUMENT_SETTINGS_GENERAL, BaseContainer(5))->SetString(1, "context");
    object = Add(doc.get(), Elem(Obase, "Cube"));
    Add(doc.get(), Elem(Obase, "Child"), object);
    tag = Add(doc.get(), Elem(Tbase, "Phong"), object);
    nodes = Add(doc.get(), NodeSetup("Wobble"), object);
    material = Add(doc.get(), Elem(Mbase, "Red"));
    material->data.SetFloat(MATERIAL_COLOR, 1.0);
    shader = Add(doc.get(), Elem(Xbase, "Noise"), material);
    render = Add(doc.get(), Elem(RDbase, "Final"));
    effect = Add(doc.get(), Elem(VPbase, "Glow", 77), render);
    effect->data.SetBool(POSTEFFECT_ONEPERRENDER, true);
    sc::SetActive(doc.get(), ACTIVE_OBJECT, object);
    sc::SetActive(doc.get(), ACTIVE_RENDER, render);
  }
};

std::vector<UChar> Bytes(const BaseDocument& doc)
{
  std::vector<UChar> out;
  EXPECT_TRUE(sc::SaveToMemory(doc, &out));
  return out;
}

bool Same(const BaseList2D& a, const BaseList2D& b)
{
  if (a.kind != b.kind || a.name != b.name || !(a.data == b.data) || a.children.size() != b.children.size())
    return false;
  for (std::size_t i = 0; i < a.children.size(); ++i)
    if (!Same(*a.children[i], *b.children[i]))
      return false;
  return true;
}

// The active document of the host: a target with something of every kind already in it.
BaseDocument* UseTarget()
{
  Source s;
  s.doc->settings.FlushAll();
  sc::SetActiveDocument(std::move(s.doc));
  return sc::ActiveDocument();
}

struct Case
{
  const char* what;
  BaseList2D* Source::*elem;
  Int32 type;
  // Where the applied element lies in the target.
  const BaseList2D* (*find)(const BaseDocument& d);
};

const Case kCases[] = {
    {"object", &Source::object, HANDLER_ID_BASEOBJECT,
     [](const BaseDocument& d) -> const BaseList2D* { return d.roots[SCENELIST_OBJECTS].children.back().get(); }},
    {"tag", &Source::tag, HANDLER_ID_BASETAG, [](const BaseDocument& d) -> const BaseList2D* { return d.active[ACTIVE_TAG]; }},
    {"material", &Source::material, HANDLER_ID_BASEMATERIAL,
     [](const BaseDocument& d) -> const BaseList2D* { return d.active[ACTIVE_MATERIAL]; }},
    {"shader", &Source::shader, HANDLER_ID_SHADER,
     [](const BaseDocument& d) -> const BaseList2D* {
       const BaseList2D* holder = d.roots[SCENELIST_MATERIALS].children.front().get();
       return holder->kind == Mshaderholder && !holder->children.empty() ? holder->children[0].get() : nullptr;
     }},
    {"render settings", &Source::render, HANDLER_ID_RENDERDATA,
     [](const BaseDocument& d) -> const BaseList2D* { return d.roots[SCENELIST_RENDER].children.front().get(); }},
    {"post effect", &Source::effect, HANDLER_ID_VIDEOPOST,
     [](const BaseDocument& d) -> const BaseList2D* {
       return d.active[ACTIVE_RENDER]->children.empty() ? nullptr : d.active[ACTIVE_RENDER]->children.back().get();
     }},
    {"node setup", &Source::nodes, HANDLER_ID_PLEXION,
     [](const BaseDocument& d) -> const BaseList2D* {
       // It took the place of the setup the active object had.
       const BaseList2D* on = d.active[ACTIVE_OBJECT];
       int setups = 0;
       for (const auto& c : on->children)
         setups += c->kind == Tnodes;
       return setups == 1 ? d.active[ACTIVE_TAG] : nullptr;
     }},
};

class PresetTypes : public ::testing::Test
{
protected:
  void TearDown() override { sc::SetActiveDocument(nullptr); }
};
} // namespace

TEST_F(PresetTypes, MakeThenApplyGivesAnEqualElementAndUndoGivesTheOldBytesForEveryKind)
{
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    Source s;
    ByteArray data;
    Int32 type = 0;
    ASSERT_TRUE(MakePresetData(s.*c.elem, &data, &type));
    EXPECT_EQ(type, c.type);
    BaseDocument* doc = UseTarget();
    const std::vector<UChar> before = Bytes(*doc);
    const Int64 events = sc::ChangedEvents();
    ASSERT_TRUE(ApplyPresetData(type, data.data(), Int64(data.size()), 0, nullptr));
    EXPECT_GT(sc::ChangedEvents(), events);
    const BaseList2D* applied = c.find(*doc);
    ASSERT_TRUE(applied);
    EXPECT_TRUE(Same(*applied, *(s.*c.elem)));
    const std::vector<UChar> after = Bytes(*doc);
    ASSERT_TRUE(sc::DoUndo(doc));
    EXPECT_EQ(Bytes(*doc), before);
    EXPECT_FALSE(sc::DoUndo(doc)) << "the apply took more than one undo step";
    ASSERT_TRUE(sc::DoRedo(doc));
    EXPECT_EQ(Bytes(*doc), after);
  }
}

TEST_F(PresetTypes, MaterialPresetsKeepTheirDocumentContext)
{
  Source s;
  ByteArray data;
  Int32 type = 0;
  ASSERT_TRUE(MakePresetData(s.material, &data, &type));
  auto preset = sc::LoadFromMemory(data.data(), Int64(data.size()), nullptr);
  ASSERT_TRUE(preset);
  EXPECT_EQ(preset->settings.GetContainer(DOCUMENT_SETTINGS_GENERAL).GetString(1), String("context"));
  // A fixed tag and a new-object kind cannot become presets.
  auto fixed = Elem(Tfixed, "fixed");
  EXPECT_FALSE(MakePresetData(fixed.get(), &data, &type));
  EXPECT_EQ(PresetTypeOfElement(fixed.get()), 0);
}

TEST_F(PresetTypes, FailuresLeaveTheDocumentByteIdentical)
{
  BaseDocument empty;
  std::vector<UChar> emptyBytes = Bytes(empty);
  Source s;
  ByteArray tagData;
  Int32 type = 0;
  ASSERT_TRUE(MakePresetData(s.tag, &tagData, &type));
  // No active document.
  EXPECT_FALSE(ApplyPresetData(HANDLER_ID_BASETAG, tagData.data(), Int64(tagData.size()), 0, nullptr));
  BaseDocument* doc = UseTarget();
  const std::vector<UChar> before = Bytes(*doc);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(ApplyPresetData(c.type, nullptr, 0, 0, nullptr));                       // no data
    EXPECT_FALSE(ApplyPresetData(c.type, tagData.data(), Int64(tagData.size()) - 3, 0, nullptr)); // damaged
    if (c.type != HANDLER_ID_BASEOBJECT) { // an empty document is a valid, empty object preset
      EXPECT_FALSE(ApplyPresetData(c.type, emptyBytes.data(), Int64(emptyBytes.size()), 0, nullptr)); // missing
    }
    EXPECT_EQ(Bytes(*doc), before);
  }
  EXPECT_FALSE(sc::DoUndo(doc));
  // A post effect without active render settings in the document.
  ByteArray fx;
  ASSERT_TRUE(MakePresetData(s.effect, &fx, &type));
  sc::SetActive(doc, ACTIVE_RENDER, nullptr);
  const std::vector<UChar> noRender = Bytes(*doc);
  EXPECT_FALSE(ApplyPresetData(HANDLER_ID_VIDEOPOST, fx.data(), Int64(fx.size()), 0, nullptr));
  EXPECT_EQ(Bytes(*doc), noRender);
}

TEST_F(PresetTypes, ANodeSetupNeedsAnActiveObjectAndAWholeGraph)
{
  Source s;
  ByteArray data;
  Int32 type = 0;
  ASSERT_TRUE(MakePresetData(s.nodes, &data, &type));
  EXPECT_EQ(type, HANDLER_ID_PLEXION);
  BaseDocument* doc = UseTarget();
  // Without an active object there is no element to put it on: no new object is made for it.
  sc::SetActive(doc, ACTIVE_OBJECT, nullptr);
  const std::vector<UChar> before = Bytes(*doc);
  EXPECT_FALSE(ApplyPresetData(type, data.data(), Int64(data.size()), 0, nullptr));
  EXPECT_EQ(Bytes(*doc), before);
  EXPECT_FALSE(sc::DoUndo(doc));
  // A link to a node the setup does not hold: refused, with the object active now.
  BaseList2D* cube = doc->roots[SCENELIST_OBJECTS].children[0].get();
  sc::SetActive(doc, ACTIVE_OBJECT, cube);
  Source broken;
  sc::Remove(broken.nodes);
  BaseList2D* bad = Add(broken.doc.get(), NodeSetup("Wobble", true), broken.object);
  ByteArray damaged;
  ASSERT_TRUE(MakePresetData(bad, &damaged, &type));
  const std::vector<UChar> withCube = Bytes(*doc);
  EXPECT_FALSE(ApplyPresetData(type, damaged.data(), Int64(damaged.size()), 0, nullptr));
  BaseList2D* taken = nullptr;
  EXPECT_FALSE(TakePresetElement(type, damaged.data(), Int64(damaged.size()), &taken));
  EXPECT_EQ(taken, nullptr);
  EXPECT_EQ(Bytes(*doc), withCube);
  // On an object without a setup it is added, and undo takes it off again.
  auto plain = Elem(Obase, "Plain");
  BaseList2D* p = Add(doc, std::move(plain));
  sc::SetActive(doc, ACTIVE_OBJECT, p);
  const std::vector<UChar> onPlain = Bytes(*doc);
  ASSERT_TRUE(ApplyPresetData(type, data.data(), Int64(data.size()), 0, nullptr));
  ASSERT_EQ(p->children.size(), 1u);
  EXPECT_TRUE(Same(*p->children[0], *s.nodes));
  EXPECT_EQ(doc->active[ACTIVE_TAG], p->children[0].get());
  ASSERT_TRUE(sc::DoUndo(doc));
  EXPECT_EQ(Bytes(*doc), onPlain);
}

TEST_F(PresetTypes, ATakenElementBelongsToTheCallerAfterThePresetDocumentIsFreed)
{
  Source s;
  BaseDocument* doc = UseTarget();
  const std::vector<UChar> before = Bytes(*doc);
  for (const Case& c : kCases) {
    if (c.type == HANDLER_ID_BASEOBJECT)
      continue;
    SCOPED_TRACE(c.what);
    ByteArray data;
    Int32 type = 0;
    ASSERT_TRUE(MakePresetData(s.*c.elem, &data, &type));
    BaseList2D* taken = nullptr;
    ASSERT_TRUE(ApplyPresetData(type, data.data(), Int64(data.size()), APPLY_TAKE_ELEMENT, &taken));
    ASSERT_TRUE(taken);
    EXPECT_EQ(ElemDocument(taken), nullptr) << "the element still lies in the freed preset document";
    EXPECT_TRUE(Same(*taken, *(s.*c.elem)));
    ElemFree(taken);
  }
  EXPECT_EQ(Bytes(*doc), before);
}

TEST_F(PresetTypes, APostEffectOfTheSameKindThatIsReplacedComesBackWithUndo)
{
  Source s;
  ByteArray data;
  Int32 type = 0;
  s.effect->name = "Glow 2";
  ASSERT_TRUE(MakePresetData(s.effect, &data, &type));
  BaseDocument* doc = UseTarget(); // its render settings hold an effect of kind 77, one per render settings
  const std::vector<UChar> before = Bytes(*doc);
  ASSERT_TRUE(ApplyPresetData(type, data.data(), Int64(data.size()), 0, nullptr));
  ASSERT_EQ(doc->active[ACTIVE_RENDER]->children.size(), 1u);
  EXPECT_EQ(doc->active[ACTIVE_RENDER]->children[0]->name, String("Glow 2"));
  ASSERT_TRUE(sc::DoUndo(doc));
  EXPECT_EQ(Bytes(*doc), before);
}

TEST_F(PresetTypes, ATagWithoutAnActiveObjectComesOnANewObjectInTheSameUndoStep)
{
  Source s;
  ByteArray data;
  Int32 type = 0;
  ASSERT_TRUE(MakePresetData(s.tag, &data, &type));
  BaseDocument* doc = UseTarget();
  sc::SetActive(doc, ACTIVE_OBJECT, nullptr);
  const std::vector<UChar> before = Bytes(*doc);
  ASSERT_TRUE(ApplyPresetData(type, data.data(), Int64(data.size()), 0, nullptr));
  const BaseList2D* holder = doc->active[ACTIVE_OBJECT];
  ASSERT_TRUE(holder);
  EXPECT_EQ(holder->kind, Onull);
  ASSERT_EQ(holder->children.size(), 1u);
  EXPECT_TRUE(Same(*holder->children[0], *s.tag));
  const std::vector<UChar> after = Bytes(*doc);
  ASSERT_TRUE(sc::DoUndo(doc));
  EXPECT_EQ(Bytes(*doc), before);
  EXPECT_FALSE(sc::DoUndo(doc));
  ASSERT_TRUE(sc::DoRedo(doc));
  EXPECT_EQ(Bytes(*doc), after);
}

TEST_F(PresetTypes, AnObjectPresetMergeIsOneUndoStep)
{
  Source s;
  ByteArray data;
  Int32 type = 0;
  ASSERT_TRUE(MakePresetData(s.object, &data, &type));
  BaseDocument* doc = UseTarget();
  const std::vector<UChar> before = Bytes(*doc);
  ASSERT_TRUE(ApplyPresetData(type, data.data(), Int64(data.size()), 0, nullptr));
  EXPECT_EQ(doc->roots[SCENELIST_OBJECTS].children.size(), 2u);
  ASSERT_TRUE(sc::DoUndo(doc));
  EXPECT_EQ(Bytes(*doc), before);
}

TEST_F(PresetTypes, AShaderPresetWithoutAShaderAnswersFailure)
{
  auto preset = std::make_unique<BaseDocument>();
  Add(preset.get(), Elem(Mbase, "no shader inside"));
  const std::vector<UChar> data = Bytes(*preset);
  UseTarget();
  BaseList2D* taken = nullptr;
  EXPECT_FALSE(ApplyPresetData(HANDLER_ID_SHADER, data.data(), Int64(data.size()), APPLY_TAKE_ELEMENT, &taken));
  EXPECT_EQ(taken, nullptr);
}

// ---- presets made in a library from host elements ----
#include "contenttest.h"
#include "nodes/baselistnode.h"

namespace {
class PresetMake : public contenttest::ContentTest
{
protected:
  NodeRef Library(const std::string& file)
  {
    Start();
    Filename f = orxtest::TempDir() + String(file.c_str());
    const std::string url = "preset://" + file;
    EXPECT_TRUE(contenttest::MakeLibrary(f, url, {{"Folder", true}}));
    EXPECT_TRUE(RegisterLibrary(f, 0, nullptr));
    return contenttest::Find(url + "/Folder");
  }
  static ByteArray Data(BrowserDatabase* db, const std::string& path, Int32* type)
  {
    ByteArray out;
    BrowserDatabaseItem* item = db->OpenItem(String(path.c_str()));
    if (item) {
      *type = item->GetType();
      item->GetData(&out);
      item->Close();
    }
    return out;
  }
};
} // namespace

TEST_F(PresetMake, ATakenNameGetsANumberAndTheExistingPresetKeepsItsData)
{
  NodeRef folder = Library("make.libqz");
  ASSERT_TRUE(folder);
  BrowserDatabase* db = static_cast<FilePresetNode*>(folder.Get())->GetLibrary();
  Source s;
  s.material->name = "Red";
  s.tag->name = "Red";
  auto node = [](BaseList2D* e) { return NodeRef(new BrowserBaseListNode(e)); };
  EXPECT_EQ(folder->CopyHere(node(s.material), EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_OK);
  ASSERT_EQ(folder->CopyHere(node(s.material), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  Int32 type = 0;
  const ByteArray first = Data(db, "preset://make.libqz/Folder/Red", &type);
  EXPECT_EQ(type, HANDLER_ID_BASEMATERIAL);
  ASSERT_EQ(folder->CopyHere(node(s.tag), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(Data(db, "preset://make.libqz/Folder/Red", &type), first);
  EXPECT_EQ(type, HANDLER_ID_BASEMATERIAL);
  EXPECT_FALSE(Data(db, "preset://make.libqz/Folder/Red 2", &type).empty());
  EXPECT_EQ(type, HANDLER_ID_BASETAG);
  // Names that cannot be a path part.
  s.object->name = "..";
  ASSERT_EQ(folder->CopyHere(node(s.object), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  s.render->name = "";
  ASSERT_EQ(folder->CopyHere(node(s.render), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  std::vector<std::string> names = contenttest::ChildNames(folder);
  EXPECT_EQ(names.size(), 4u);
  for (const std::string& n : names)
    EXPECT_TRUE(n != "" && n != "." && n != "..") << n;
  EXPECT_TRUE(Data(db, "preset://make.libqz/..", &type).empty());
  // A fixed tag is refused in the asking phase.
  auto fixed = Elem(Tfixed, "fixed");
  EXPECT_EQ(folder->CopyHere(node(fixed.get()), EDITPHASE_ASK, nullptr, nullptr, nullptr), EDIT_COPY_REFUSED);
}

TEST_F(PresetMake, MessageRequest0GivesTheElementOfAPresetAndFailsWithoutOne)
{
  NodeRef folder = Library("load.libqz");
  ASSERT_TRUE(folder);
  Source s;
  auto node = [](BaseList2D* e) { return NodeRef(new BrowserBaseListNode(e)); };
  ASSERT_EQ(folder->CopyHere(node(s.material), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  ASSERT_EQ(folder->CopyHere(node(s.object), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  NodeRef mat = contenttest::Find("preset://load.libqz/Folder/Red");
  NodeRef obj = contenttest::Find("preset://load.libqz/Folder/Cube");
  ASSERT_TRUE(mat && obj);
  BaseList2D* e = nullptr;
  ASSERT_EQ(mat->Message(HANDLER_ID_BASEMATERIAL, PRESETMSG_KIND, PRESETMSG_LOAD, &e), 0);
  ASSERT_TRUE(e);
  EXPECT_TRUE(Same(*e, *s.material));
  EXPECT_EQ(ElemDocument(e), nullptr);
  ElemFree(e);
  BaseDocument* d = nullptr;
  ASSERT_EQ(obj->Message(HANDLER_ID_BASEOBJECT, PRESETMSG_KIND, PRESETMSG_LOAD, &d), 0);
  ASSERT_TRUE(d);
  EXPECT_TRUE(Same(*d->roots[SCENELIST_OBJECTS].children[0], *s.object));
  FreeDocument(d);
  // A node setup made from the host element comes back whole through the same request.
  ASSERT_EQ(folder->CopyHere(node(s.nodes), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  NodeRef setup = contenttest::Find("preset://load.libqz/Folder/Wobble");
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->GetPluginInterface(0)->GetPluginID(nullptr), HANDLER_ID_PLEXION);
  e = nullptr;
  ASSERT_EQ(setup->Message(HANDLER_ID_PLEXION, PRESETMSG_KIND, PRESETMSG_LOAD, &e), 0);
  ASSERT_TRUE(e);
  EXPECT_TRUE(Same(*e, *s.nodes));
  EXPECT_EQ(ElemDocument(e), nullptr);
  ElemFree(e);
  // An object preset holds no shader: failure, not success with nothing made.
  e = nullptr;
  EXPECT_EQ(obj->Message(HANDLER_ID_SHADER, PRESETMSG_KIND, PRESETMSG_LOAD, &e), MESSAGE_NOT_HANDLED);
  EXPECT_EQ(e, nullptr);
}

TEST_F(PresetMake, ElementsOfTheActiveDocumentAreFoundByTheirPathsFromTheTop)
{
  Start();
  BaseDocument* doc = UseTarget();
  auto element = [](const char* url) -> BaseList2D* {
    NodeRef n = contenttest::Find(url);
    BaseList2D* e = nullptr;
    if (n && n->GetNodeType() == NODETYPE_BASELIST && n->Message(0, MESSAGE_KIND_HOST_OBJECT, 0, &e) == 0)
      return e;
    return nullptr;
  };
  const BaseList2D* cube = doc->roots[SCENELIST_OBJECTS].children[0].get();
  EXPECT_EQ(element("baselist://Cube"), cube);
  const BaseList2D* phong = nullptr;
  for (const auto& c : cube->children)
    if (c->name == String("Phong"))
      phong = c.get();
  ASSERT_TRUE(phong);
  EXPECT_EQ(element("baselist://Cube/Phong"), phong);
  EXPECT_EQ(element("baselist://Red/Noise"), doc->roots[SCENELIST_MATERIALS].children[0]->children[0].get());
  EXPECT_EQ(element("baselist://Final/Glow"), doc->active[ACTIVE_RENDER]->children[0].get());
  for (const char* missing : {"baselist://", "baselist://Nope", "baselist://Cube/Nope", "baselist://Cube/Phong/x",
                              "baselist://cube"})
    EXPECT_EQ(element(missing), nullptr) << missing;
  sc::SetActiveDocument(nullptr);
  EXPECT_EQ(element("baselist://Cube"), nullptr);
}

TEST_F(PresetMake, AMaterialPresetPreviewIsABallOfItsColour)
{
  NodeRef folder = Library("preview.libqz");
  ASSERT_TRUE(folder);
  Source s;
  s.material->data.SetFloat(MATERIAL_COLOR + 1, 0.0);
  s.material->data.SetFloat(MATERIAL_COLOR + 2, 0.0);
  auto node = [](BaseList2D* e) { return NodeRef(new BrowserBaseListNode(e)); };
  ASSERT_EQ(folder->CopyHere(node(s.material), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  ASSERT_EQ(folder->CopyHere(node(s.tag), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  NodeRef red = contenttest::Find("preset://preview.libqz/Folder/Red");
  ASSERT_TRUE(red);
  BrowserPluginInterface* h = red->GetPluginInterface(0);
  ASSERT_TRUE(h);
  Int32 q[2] = {0, 77};
  void* data = h->OpenPreviewData(0, red, nullptr, q);
  ASSERT_TRUE(data);
  EXPECT_EQ(q[0], 4);
  EXPECT_EQ(q[1], 77) << "one quality value is given";
  BaseBitmap* b = h->GetPreviewBitmap(data, 64, 48, 0);
  h->FreePreviewData(data);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->GetWidth(), 64);
  EXPECT_EQ(b->GetHeight(), 48);
  EXPECT_EQ(b->GetChannels(), 3);
  // Mostly red in its centre; the ground around it is grey.
  int reddish = 0;
  for (Int32 y = 18; y < 30; ++y)
    for (Int32 x = 26; x < 38; ++x) {
      UChar r, g, bl;
      b->GetPixel(x, y, &r, &g, &bl);
      reddish += r > 80 && r > 2 * g && r > 2 * bl;
    }
  EXPECT_GT(reddish, 12 * 12 * 3 / 4);
  UChar r, g, bl;
  b->GetPixel(0, 0, &r, &g, &bl);
  EXPECT_TRUE(r == g && g == bl);
  OrxDeleteObj(b);
  // Tags have no preview of their own.
  NodeRef tag = contenttest::Find("preset://preview.libqz/Folder/Phong");
  ASSERT_TRUE(tag);
  EXPECT_EQ(tag->GetPluginInterface(0)->OpenPreviewData(0, tag, nullptr, q), nullptr);
  // Damaged data draws nothing.
  EXPECT_EQ(DrawMaterialBall("not a document", 14, 8, 8), nullptr);
}

TEST_F(PresetMake, PreviewsAreDrawnByTheHostsRendererAndMaterialsFallBackToTheirOwnBall)
{
  NodeRef folder = Library("rendered.libqz");
  ASSERT_TRUE(folder);
  Source s;
  // A tetrahedron, so that the object has faces to show.
  std::vector<UChar> pts, polys;
  auto put = [](std::vector<UChar>* out, const UChar* p, int n) {
    for (int i = n - 1; i >= 0; --i)
      out->push_back(p[i]);
  };
  for (double v : {0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0})
    put(&pts, reinterpret_cast<const UChar*>(&v), 8);
  for (Int32 v : {0, 2, 1, 1, 0, 1, 3, 3, 0, 3, 2, 2, 1, 2, 3, 3})
    put(&polys, reinterpret_cast<const UChar*>(&v), 4);
  s.object->data.SetBytes(OBJECT_POINTS, pts.data(), Int64(pts.size()));
  s.object->data.SetBytes(OBJECT_POLYGONS, polys.data(), Int64(polys.size()));
  auto node = [](BaseList2D* e) { return NodeRef(new BrowserBaseListNode(e)); };
  ASSERT_EQ(folder->CopyHere(node(s.material), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  ASSERT_EQ(folder->CopyHere(node(s.object), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  auto preview = [](const char* url) -> BaseBitmap* {
    NodeRef n = contenttest::Find(url);
    BrowserPluginInterface* h = n ? n->GetPluginInterface(0) : nullptr;
    void* data = h ? h->OpenPreviewData(0, n, nullptr, nullptr) : nullptr;
    BaseBitmap* b = data ? h->GetPreviewBitmap(data, 40, 40, 0) : nullptr;
    if (h)
      h->FreePreviewData(data);
    return b;
  };
  BaseBitmap* ball = preview("preset://rendered.libqz/Folder/Red");
  BaseBitmap* thumb = preview("preset://rendered.libqz/Folder/Cube");
  ASSERT_TRUE(ball && thumb);
  // The object's thumbnail: the faces in light and shade over the grey ground.
  int shades = 0;
  for (Int32 y = 0; y < 40; ++y)
    for (Int32 x = 0; x < 40; ++x) {
      UChar r, g, b;
      thumb->GetPixel(x, y, &r, &g, &b);
      shades += r != b;
    }
  EXPECT_GT(shades, 40 * 40 / 10);
  // The material's ball is the host's, not the one drawn here.
  std::vector<UChar> bytes;
  ASSERT_TRUE(sc::SaveToMemory(*s.doc, &bytes));
  BaseBitmap* own = DrawMaterialBall(bytes.data(), Int64(bytes.size()), 40, 40);
  ASSERT_TRUE(own);
  EXPECT_FALSE(*own == *ball);
  // Without the renderer: the material's own ball, and no object thumbnail.
  sc::ForcePreviewRendererFailure(true);
  BaseBitmap* fallback = preview("preset://rendered.libqz/Folder/Red");
  EXPECT_EQ(preview("preset://rendered.libqz/Folder/Cube"), nullptr);
  sc::ForcePreviewRendererFailure(false);
  ASSERT_TRUE(fallback);
  EXPECT_TRUE(*own == *fallback);
  for (BaseBitmap* b : {ball, thumb, own, fallback})
    OrxDeleteObj(b);
}

TEST(RenderScenePreview, AnOlderHostWithoutTheRendererAnswersNoBitmapAndTheRestStillWorks)
{
  Source s;
  BaseBitmap* b = RenderScenePreview(s.doc.get(), 16, 16, SCENEPREVIEW_MATERIAL);
  ASSERT_TRUE(b);
  OrxDeleteObj(b);
  EXPECT_EQ(RenderScenePreview(nullptr, 16, 16, 0), nullptr);
  const OrxHostTable* real = OrxGetHostTable();
  OrxHostTable older = *real;
  OrxSceneDocumentTable family = *real->sceneDocument;
  family.version = 1;
  family.size = Int32(offsetof(OrxSceneDocumentTable, renderPreview));
  older.sceneDocument = &family;
  OrxInstallHostTable(&older);
  EXPECT_EQ(RenderScenePreview(s.doc.get(), 16, 16, SCENEPREVIEW_MATERIAL), nullptr);
  String reason;
  EXPECT_EQ(RenderDocumentPreview(s.doc.get(), nullptr, 16, 16, 0, &reason), nullptr);
  EXPECT_NE(reason.ToUtf8().find("no preview renderer"), std::string::npos) << reason.ToUtf8();
  EXPECT_EQ(DocFirst(s.doc.get(), SCENELIST_MATERIALS), s.material);
  OrxInstallHostTable(real);
}

TEST_F(PresetMake, GatheredTexturesAreKeptOnceBesideThePresetsThatNameThem)
{
  NodeRef folder = Library("gather.libqz");
  ASSERT_TRUE(folder);
  BrowserDatabase* db = static_cast<FilePresetNode*>(folder.Get())->GetLibrary();
  const Filename wood = orxtest::TempDir() + String("wood.png");
  const Filename again = orxtest::TempDir() + String("copy of wood.png");
  const std::string bytes = "\x89PNG not really a picture, but bytes to keep";
  ASSERT_TRUE(orxtest::WriteFile(wood, bytes));
  ASSERT_TRUE(orxtest::WriteFile(again, bytes));
  Source s;
  auto node = [](BaseList2D* e) { return NodeRef(new BrowserBaseListNode(e)); };
  // Not asked for: nothing but the preset.
  s.material->data.SetFilename(MATERIAL_TEXTURE, wood);
  ASSERT_EQ(folder->CopyHere(node(s.material), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(contenttest::ChildNames(folder), std::vector<std::string>{"Red"});
  // Asked for: the file is kept beside the preset, which names it.
  ASSERT_EQ(folder->CopyHere(node(s.material), EDITPHASE_DO | EDITFLAG_MAKE_PRESET, nullptr, nullptr, nullptr), EDIT_OK);
  Int32 type = 0;
  const ByteArray kept = Data(db, "preset://gather.libqz/Folder/wood.png", &type);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), bytes);
  EXPECT_EQ(type, HANDLER_ID_FILE_PRESET);
  auto files = [&](const char* path) {
    BaseContainer settings;
    BrowserDatabaseItem* item = db->OpenItem(String(path));
    if (item) {
      item->GetSettings(&settings);
      item->Close();
    }
    return settings.GetContainer(PRESETSETTINGS_FILES);
  };
  EXPECT_EQ(files("preset://gather.libqz/Folder/Red 2").GetString(1), String("preset://gather.libqz/Folder/wood.png"));
  // The same bytes under another name are not kept twice; a missing file is skipped.
  s.material->data.SetFilename(MATERIAL_TEXTURE, again);
  ASSERT_EQ(folder->CopyHere(node(s.material), EDITPHASE_DO | EDITFLAG_MAKE_PRESET, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(files("preset://gather.libqz/Folder/Red 3").GetString(1), String("preset://gather.libqz/Folder/wood.png"));
  s.material->data.SetFilename(MATERIAL_TEXTURE, orxtest::TempDir() + String("gone.png"));
  ASSERT_EQ(folder->CopyHere(node(s.material), EDITPHASE_DO | EDITFLAG_MAKE_PRESET, nullptr, nullptr, nullptr), EDIT_OK);
  EXPECT_EQ(files("preset://gather.libqz/Folder/Red 4").GetCount(), 0);
  EXPECT_EQ(contenttest::ChildNames(folder),
            (std::vector<std::string>{"Red", "wood.png", "Red 2", "Red 3", "Red 4"}));
}

// ---- generic presets: files kept in a library, handed to the handler of their kind ----
#include <filesystem>

namespace {
class GenericPresets : public PresetMake
{
protected:
  // A library with the folders A and B and a file preset in each, named by the given last parts.
  BrowserDatabase* Library(const std::string& a, const std::string& b)
  {
    Start();
    Filename f = orxtest::TempDir() + String("generic.libqz");
    const std::string url = "preset://generic.libqz";
    EXPECT_TRUE(contenttest::MakeLibrary(f, url, {{"A", true}, {"B", true}, {"A/" + a}, {"B/" + b}}));
    EXPECT_TRUE(RegisterLibrary(f, 0, nullptr));
    NodeRef folder = contenttest::Find(url + "/A");
    return folder ? static_cast<FilePresetNode*>(folder.Get())->GetLibrary() : nullptr;
  }
  static void Fill(BrowserDatabase* db, const std::string& url, const std::string& data, Int32 type2)
  {
    BrowserDatabaseItem* item = db->OpenItem(String(url.c_str()));
    ASSERT_TRUE(item);
    item->SetType(HANDLER_ID_FILE_PRESET, type2);
    if (!data.empty())
      item->SetData(data.data(), Int64(data.size()));
    item->Close();
  }
  static bool Apply(const std::string& url)
  {
    BrowserPluginInterface* h = FindPluginByID(HANDLER_ID_FILE_PRESET);
    EXPECT_TRUE(h) << "no handler of generic presets";
    BrowserURL u{String(url.c_str())};
    return h && h->Execute(nullptr, &u, 0);
  }
  // The one request the host got since the last call.
  static orxhost::HostRequest Request()
  {
    const std::vector<orxhost::HostRequest> r = orxhost::HostRequests();
    orxhost::ClearHostRequests();
    EXPECT_EQ(r.size(), 1u);
    return r.empty() ? orxhost::HostRequest{} : r.back();
  }
};
} // namespace

TEST_F(GenericPresets, ASceneFilePresetIsLoadedFromAFileThatHoldsItsDataNotFromItsURL)
{
  BrowserDatabase* db = Library("Room.orx", "Empty.orx");
  ASSERT_TRUE(db);
  Source s;
  const std::vector<UChar> scene = Bytes(*s.doc);
  const std::string data(scene.begin(), scene.end());
  Fill(db, "preset://generic.libqz/A/Room.orx", data, HANDLER_ID_SCENE);
  Fill(db, "preset://generic.libqz/B/Empty.orx", "", HANDLER_ID_SCENE);
  orxhost::ClearHostRequests();
  ASSERT_TRUE(Apply("preset://generic.libqz/A/Room.orx"));
  const orxhost::HostRequest r = Request();
  EXPECT_EQ(r.kind, "load");
  EXPECT_TRUE(r.done) << r.path;
  EXPECT_EQ(r.path.find("preset:"), std::string::npos) << r.path;
  EXPECT_EQ(orxtest::ReadFile(Filename(String(r.path.c_str()))), data);
  // No data: nothing is handed to the host.
  EXPECT_FALSE(Apply("preset://generic.libqz/B/Empty.orx"));
  EXPECT_FALSE(Apply("preset://generic.libqz/B/Missing.orx"));
  EXPECT_TRUE(orxhost::HostRequests().empty());
}

TEST_F(GenericPresets, EachApplyWritesAFileOfItsOwnThatALaterPresetOfTheSameNameLeavesAlone)
{
  BrowserDatabase* db = Library("notes.txt", "notes.txt");
  ASSERT_TRUE(db);
  Fill(db, "preset://generic.libqz/A/notes.txt", "first", HANDLER_ID_UNKNOWN_FILE);
  Fill(db, "preset://generic.libqz/B/notes.txt", "second", HANDLER_ID_UNKNOWN_FILE);
  orxhost::ClearHostRequests();
  ASSERT_TRUE(Apply("preset://generic.libqz/A/notes.txt"));
  const orxhost::HostRequest first = Request();
  // The node's URL serves when no URL is given.
  NodeRef b = contenttest::Find("preset://generic.libqz/B/notes.txt");
  ASSERT_TRUE(b);
  ASSERT_TRUE(FindPluginByID(HANDLER_ID_FILE_PRESET)->Execute(b, nullptr, 0));
  const orxhost::HostRequest second = Request();
  ASSERT_TRUE(first.done && second.done);
  namespace fs = std::filesystem;
  const fs::path p1(first.path), p2(second.path);
  EXPECT_NE(p1.parent_path(), p2.parent_path());
  EXPECT_EQ(p1.filename(), "notes.txt");
  EXPECT_EQ(p2.filename(), "notes.txt");
  EXPECT_EQ(orxtest::ReadFile(Filename(String(first.path.c_str()))), "first") << "the second apply wrote over it";
  EXPECT_EQ(orxtest::ReadFile(Filename(String(second.path.c_str()))), "second");
  const std::string temp = GetTempFolder().ToUtf8();
  for (const fs::path& p : {p1, p2}) {
    EXPECT_EQ(p.parent_path().parent_path(), fs::path(temp));
    // Written under a temporary name and renamed: nothing else is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(p.parent_path()), fs::directory_iterator()), 1);
  }
}
