#include "scenecommands.h"

#include <sys/stat.h>


#include "browserclient.h"
#include "commandline.h"
#include "orx/bitmap.h"
#include "orx/media.h"
#include "orx/memory.h"
#include "scene/scenedoc.h"
#include "scene/shapes.h"
#include "services/host.h"

namespace sc = orxhost::scene;

namespace {

orxhost::CommandGroup Group()
{
  const orxhost::CommandOption json{"json", 0, nullptr, "one JSON object"};
  orxhost::CommandGroup g;
  g.name = "scene";
  g.about = "The host's scene documents. A document is a file of the native format; each\n"
            "command reads it, changes it and writes it back whole (a failed write keeps\n"
            "the old file).";
  auto command = [](const char* name, std::vector<std::string> operands, const char* about,
                    std::vector<orxhost::CommandOption> options = {}) {
    orxhost::CommandSyntax c;
    c.name = std::string("scene ") + name;
    c.operands = std::move(operands);
    c.about = about;
    c.options = std::move(options);
    return c;
  };
  g.commands = {
      command("new", {"DOC"}, "an empty document with render settings",
              {{"force", 0, nullptr, "replace a DOC that exists"}}),
      command("add-object", {"DOC", "NAME"}, "an object (the active object after)",
              {{"parent", 0, "PATH", "the object it goes under"},
               {"shape", 0, "none|cube|sphere", "its mesh (default none)"}}),
      command("add-material", {"DOC", "NAME"}, "a material",
              {{"color", 0, "R,G,B", "its colour, channels 0..1 (default 0.8,0.8,0.8)"},
               {"texture", 0, "FILE", "the picture of its texture"}}),
      command("add-nodes", {"DOC", "NAME"},
              "a node setup on the object PATH (in place of one it has): a noise node\n"
              "feeding an output node",
              {{"parent", 0, "PATH", "the object the setup goes on (needed)"}}),
      command("import", {"DOC", "FILE"},
              "adds the objects and materials of a foreign scene file (fbx, 3ds, stl, lwo,\n"
              "obj, ...); at most 64 MB and 20 s",
              {json}),
      command("ls", {"DOC"}, "the element tree", {json}),
      command("save", {"DOC", "OUT"}, "the document written to OUT"),
      command("render", {"DOC"},
              "a preview picture drawn with offscreen OpenGL: a lit ball for a material, the\n"
              "meshes framed by their bounds for an object (with its children) or for the\n"
              "whole document (its first material when it has no object); PNG, or JPEG\n"
              "when OUT ends in .jpg",
              {json,
               {"out", 'o', "OUT.png", "the picture file to write", false, true},
               {"size", 0, "N", "pixels a side, 1..4096 (default 256)"},
               {"element", 0, "PATH", "the object or material to draw"}}),
      command("undo", {"DOC"}, "takes back the last change (exit 1 when there is none)", {json}),
      command("redo", {"DOC"}, "does again the change last taken back", {json}),
  };
  g.more = "PATH names an element by its names from the top, joined by '/'; for render it\n"
           "is looked for among the objects, then the materials.\n"
           "add-object, add-material, add-nodes, import and orxhost preset apply are one\n"
           "undo step each. The last 8 steps each way are kept in DOC.undo beside DOC,\n"
           "which stays a plain document; a DOC.undo that is damaged or does not belong to\n"
           "DOC as it is now is left out with a warning.";
  return g;
}

int Fail(const std::string& what, const std::string& detail)
{
  std::fprintf(stderr, "orxhost scene %s: %s\n", what.c_str(), detail.c_str());
  return 1;
}

int Usage(const std::string& what)
{
  std::fprintf(stderr, "orxhost scene %s: wrong arguments (see orxhost scene --help)\n", what.c_str());
  return 2;
}

std::unique_ptr<BaseDocument> NewSceneDocument()
{
  auto doc = std::make_unique<BaseDocument>();
  for (Int32 id : {DOCUMENT_SETTINGS_GENERAL, DOCUMENT_SETTINGS_DOCUMENT, DOCUMENT_SETTINGS_MODELING})
    doc->settings.SetContainer(id, BaseContainer(id));
  auto rd = std::make_unique<BaseList2D>(RDbase);
  rd->name = "Render Settings";
  BaseList2D* raw = rd.get();
  sc::Insert(doc.get(), std::move(rd), nullptr, nullptr);
  sc::SetActive(doc.get(), ACTIVE_RENDER, raw);
  return doc;
}

// The mesh of a shape named on the command line; none leaves the object without one.
void SetMesh(BaseList2D* o, const std::string& shape)
{
  if (shape == "cube")
    sc::SetCubeMesh(o);
  else if (shape == "sphere")
    sc::SetSphereMesh(o);
}

const char* KindName(Int32 kind)
{
  switch (kind) {
  case Obase: return "object";
  case Onull: return "null";
  case Tbase: return "tag";
  case Tfixed: return "fixedtag";
  case Tnodes: return "nodesetup";
  case Mbase: return "material";
  case Mshaderholder: return "shadermaterial";
  case Xbase: return "shader";
  case VPbase: return "posteffect";
  case RDbase: return "rendersettings";
  default: return "unknown";
  }
}

bool IsActive(const BaseDocument& doc, const BaseList2D* e)
{
  for (const BaseList2D* a : doc.active)
    if (a == e)
      return true;
  return false;
}

void ListText(const BaseDocument& doc, const BaseList2D& e, int depth)
{
  for (const auto& ch : e.children) {
    std::printf("%*s%s [%s %d]%s\n", depth * 2, "", ch->name.ToUtf8().c_str(), KindName(ch->kind), ch->kind,
                IsActive(doc, ch.get()) ? " *" : "");
    ListText(doc, *ch, depth + 1);
  }
}

void ListJson(const BaseDocument& doc, const BaseList2D& e)
{
  std::printf("[");
  bool first = true;
  for (const auto& ch : e.children) {
    std::printf("%s{\"name\":%s,\"kind\":\"%s\",\"type\":%d,\"active\":%s,\"children\":", first ? "" : ",",
                JsonText(ch->name.ToUtf8()).c_str(), KindName(ch->kind), ch->kind,
                IsActive(doc, ch.get()) ? "true" : "false");
    ListJson(doc, *ch);
    std::printf("}");
    first = false;
  }
  std::printf("]");
}

bool Exists(const std::string& path)
{
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// R,G,B: three numbers from 0 to 1, nothing else.
bool ParseColor(const std::string& text, double rgb[3])
{
  std::size_t from = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = i < 2 ? text.find(',', from) : text.size();
    if (comma == std::string::npos || !orxhost::ParseDecimalNumber(text.substr(from, comma - from), 0, 1, &rgb[i]))
      return false;
    from = comma + 1;
  }
  return true;
}

int RenderFail(bool json, const std::string& detail)
{
  if (json)
    std::printf("{\"ok\": false, \"error\": %s}\n", JsonText(detail).c_str());
  return Fail("render", detail);
}

int Render(const std::vector<std::string>& pos, const std::string& out, const std::string& sizeText,
           const std::string& element, bool json)
{
  if (pos.size() != 1 || out.empty())
    return Usage("render");
  long long size = 0;
  if (!orxhost::ParseWholeNumber(sizeText, 1, 4096, &size))
    return RenderFail(json, "--size wants a whole number from 1 to 4096, not '" + sizeText + "'");
  std::string error;
  auto doc = sc::LoadFromFile(pos[0], &error);
  if (!doc)
    return RenderFail(json, error);
  const BaseList2D* e = nullptr;
  if (!element.empty() && !(e = sc::FindByPath(doc.get(), SCENELIST_OBJECTS, element)) &&
      !(e = sc::FindByPath(doc.get(), SCENELIST_MATERIALS, element)))
    return RenderFail(json, "no object or material '" + element + "' in " + pos[0]);
  Int32 flags = 0;
  if (!e && doc->roots[SCENELIST_OBJECTS].children.empty() && !doc->roots[SCENELIST_MATERIALS].children.empty())
    flags = SCENEPREVIEW_MATERIAL;
  const bool material = e ? (e->kind == Mbase || e->kind == Mshaderholder) : flags == SCENEPREVIEW_MATERIAL;
  BaseBitmap* b = sc::RenderPreview(doc.get(), e, Int32(size), Int32(size), flags, &error);
  if (!b)
    return RenderFail(json, (element.empty() ? pos[0] : element) + ": " + error);
  const Filename name = Filename(String::FromBytes(out, StringEncoding::System));
  const Int32 format =
      name.CheckSuffix(String("jpg")) || name.CheckSuffix(String("jpeg")) ? SAVEBITMAP_JPEG : SAVEBITMAP_PNG;
  const bool saved = GeSaveBitmap(*b, name, format, 90);
  OrxDeleteObj(b);
  if (!saved)
    return RenderFail(json, "cannot write " + out);
  if (json)
    std::printf("{\"ok\": true, \"out\": %s, \"width\": %lld, \"height\": %lld, \"kind\": \"%s\"}\n",
                JsonText(out).c_str(), size, size, material ? "material" : "objects");
  else
    std::printf("%s: %s of %lld x %lld pixels\n", out.c_str(), material ? "material ball" : "object thumbnail", size, size);
  return 0;
}

} // namespace

bool DemoPresetDocuments(std::vector<unsigned char>* material, std::vector<unsigned char>* object,
                         std::vector<unsigned char>* tag)
{
  auto m = std::make_unique<BaseList2D>(Mbase);
  m->name = "Red";
  const double rgb[3] = {0.85, 0.08, 0.06};
  for (int i = 0; i < 3; ++i)
    m->data.SetFloat(MATERIAL_COLOR + i, rgb[i]);
  m->data.SetFloat(MATERIAL_REFLECTANCE, 0.4);
  // Preset documents hold the element only: an object preset's merge would add any render
  // settings too.
  auto bare = [] {
    auto doc = std::make_unique<BaseDocument>();
    for (Int32 id : {DOCUMENT_SETTINGS_GENERAL, DOCUMENT_SETTINGS_DOCUMENT, DOCUMENT_SETTINGS_MODELING})
      doc->settings.SetContainer(id, BaseContainer(id));
    return doc;
  };
  auto matDoc = bare();
  BaseList2D* mat = m.get();
  bool ok = sc::Insert(matDoc.get(), std::move(m), nullptr, nullptr);
  sc::SetActive(matDoc.get(), ACTIVE_MATERIAL, mat);

  auto cube = [](const char* name) {
    auto o = std::make_unique<BaseList2D>(Obase);
    o->name = name;
    for (Int32 i = 0; i < 12; ++i)
      o->data.SetFloat(OBJECT_MATRIX + i, (i == 3 || i == 7 || i == 11) ? 1.0 : 0.0);
    SetMesh(o.get(), "cube");
    return o;
  };
  auto objDoc = bare();
  ok = sc::Insert(objDoc.get(), cube("Cube"), nullptr, nullptr) && ok;

  auto tagDoc = bare();
  auto holder = cube("Tag Holder");
  BaseList2D* h = holder.get();
  ok = sc::Insert(tagDoc.get(), std::move(holder), nullptr, nullptr) && ok;
  auto t = std::make_unique<BaseList2D>(Tbase);
  t->name = "Smooth";
  t->data.SetFloat(1, 0.7);
  ok = sc::Insert(tagDoc.get(), std::move(t), h, nullptr) && ok;
  sc::SetActive(tagDoc.get(), ACTIVE_OBJECT, h);

  std::vector<UChar> a, b, c;
  ok = ok && sc::SaveToMemory(*matDoc, &a) && sc::SaveToMemory(*objDoc, &b) && sc::SaveToMemory(*tagDoc, &c);
  material->assign(a.begin(), a.end());
  object->assign(b.begin(), b.end());
  tag->assign(c.begin(), c.end());
  return ok;
}

void SceneCommandSummary(std::FILE* out)
{
  std::fprintf(out, "  scene     scene documents: new, add-object, add-material, add-nodes, import, ls, save,\n"
                    "            render, undo, redo (scene --help)\n");
}

int RunSceneCommand(const std::vector<std::string>& args)
{
  const orxhost::CommandGroup group = Group();
  const orxhost::CommandSyntax* which = nullptr;
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseGroupArguments(group, args, &which, &a); rc >= 0)
    return rc;
  orxhost::InstallForThisProcess();
  const std::string cmd = which->name.substr(group.name.size() + 1);
  const std::vector<std::string>& pos = a.Operands();
  const std::string parent = a.Value("parent"), shape = a.Value("shape", "none"), color = a.Value("color"),
                    texture = a.Value("texture"), out = a.Value("out"), element = a.Value("element"),
                    size = a.Value("size", "256");
  const bool json = a.Has("json"), force = a.Has("force");
  std::string error, warning;
  // A document saved with its undo history; a history that is not kept is worth a warning only.
  auto store = [&](BaseDocument* d, const std::string& path) {
    if (!sc::SaveWithHistory(d, path, &error, &warning))
      return false;
    if (!warning.empty())
      std::fprintf(stderr, "orxhost scene %s: warning: %s\n", cmd.c_str(), warning.c_str());
    return true;
  };
  if (cmd == "new") {
    if (pos.size() != 1)
      return Usage(cmd);
    if (!force && Exists(pos[0]))
      return Fail(cmd, pos[0] + ": exists (--force replaces it)");
    return store(NewSceneDocument().get(), pos[0]) ? 0 : Fail(cmd, error);
  }
  if (cmd == "render")
    return Render(pos, out, size, element, json);
  if (cmd != "add-object" && cmd != "add-material" && cmd != "ls" && cmd != "save" && cmd != "import" &&
      cmd != "undo" && cmd != "redo" && cmd != "add-nodes") {
    std::fprintf(stderr, "orxhost scene: unknown command '%s'\n", cmd.c_str());
    return 2;
  }
  if (pos.empty())
    return Usage(cmd);
  // Listing and saving elsewhere read the document only; the others change it and keep its history.
  const bool changes = cmd != "ls" && cmd != "save";
  auto doc = changes ? sc::LoadWithHistory(pos[0], &error, &warning) : sc::LoadFromFile(pos[0], &error);
  if (!doc)
    return Fail(cmd, error);
  if (!warning.empty())
    std::fprintf(stderr, "orxhost scene %s: warning: %s\n", cmd.c_str(), warning.c_str());
  if (cmd == "undo" || cmd == "redo") {
    if (pos.size() != 1)
      return Usage(cmd);
    const bool undo = cmd == "undo";
    if (undo ? doc->undo.empty() : doc->redo.empty()) {
      if (json)
        std::printf("{\"ok\": false, \"command\": \"%s\", \"error\": \"nothing to %s\"}\n", cmd.c_str(), cmd.c_str());
      return Fail(cmd, "nothing to " + cmd + " in " + pos[0]);
    }
    if (!(undo ? sc::DoUndo(doc.get()) : sc::DoRedo(doc.get())) || !store(doc.get(), pos[0]))
      return Fail(cmd, error.empty() ? "the step could not be " + std::string(undo ? "undone" : "redone") : error);
    if (json)
      std::printf("{\"ok\": true, \"command\": \"%s\", \"document\": %s, \"undo\": %zu, \"redo\": %zu}\n",
                  cmd.c_str(), JsonText(pos[0]).c_str(), doc->undo.size(), doc->redo.size());
    else
      std::printf("%s: %zu steps to undo, %zu to redo\n", pos[0].c_str(), doc->undo.size(), doc->redo.size());
    return 0;
  }
  if (cmd == "ls") {
    if (pos.size() != 1)
      return Usage(cmd);
    if (json) {
      std::printf("{\"objects\":");
      ListJson(*doc, doc->roots[SCENELIST_OBJECTS]);
      std::printf(",\"materials\":");
      ListJson(*doc, doc->roots[SCENELIST_MATERIALS]);
      std::printf(",\"render\":");
      ListJson(*doc, doc->roots[SCENELIST_RENDER]);
      std::printf("}\n");
    } else {
      for (Int32 list = 0; list < 3; ++list)
        ListText(*doc, doc->roots[list], 0);
    }
    return 0;
  }
  if (cmd == "import") {
    if (pos.size() != 2)
      return Usage(cmd);
    auto imported = sc::ImportFile(pos[1], Int64(64) << 20, 20000, &error);
    if (!imported)
      return Fail(cmd, pos[1] + ": " + error);
    std::size_t objects = 0;
    auto count = [&](auto&& self, const BaseList2D& e) -> void {
      for (const auto& c : e.children) {
        objects += c->kind == Obase;
        self(self, *c);
      }
    };
    count(count, imported->roots[SCENELIST_OBJECTS]);
    const std::size_t materials = imported->roots[SCENELIST_MATERIALS].children.size();
    sc::StartUndo(doc.get());
    const bool merged =
        sc::Merge(doc.get(), imported.get(), SCENEFILTER_OBJECTS | SCENEFILTER_MATERIALS | SCENEFILTER_MERGE);
    sc::EndUndo(doc.get());
    if (!merged)
      return Fail(cmd, pos[1] + ": its elements cannot be added to " + pos[0]);
    if (!store(doc.get(), pos[0]))
      return Fail(cmd, error);
    if (json)
      std::printf("{\"ok\": true, \"objects\": %zu, \"materials\": %zu}\n", objects, materials);
    else
      std::printf("%s: %zu objects and %zu materials added to %s\n", pos[1].c_str(), objects, materials, pos[0].c_str());
    return 0;
  }
  if (cmd == "save") {
    if (pos.size() != 2)
      return Usage(cmd);
    return sc::SaveToFile(*doc, pos[1], &error) ? 0 : Fail(cmd, error);
  }
  if (pos.size() != 2 || pos[1].empty())
    return Usage(cmd);
  if (cmd == "add-object") {
    if (shape != "none" && shape != "cube" && shape != "sphere")
      return Fail(cmd, "unknown shape '" + shape + "' (none, cube or sphere)");
    BaseList2D* at = nullptr;
    if (!parent.empty() && !(at = sc::FindByPath(doc.get(), SCENELIST_OBJECTS, parent)))
      return Fail(cmd, "no object '" + parent + "'");
    auto o = std::make_unique<BaseList2D>(Obase);
    o->name = String(pos[1]);
    for (Int32 i = 0; i < 12; ++i) // identity: no offset, unit axes
      o->data.SetFloat(OBJECT_MATRIX + i, (i == 3 || i == 7 || i == 11) ? 1.0 : 0.0);
    SetMesh(o.get(), shape);
    BaseList2D* raw = o.get();
    const BaseList2D* under = at ? at : &doc->roots[SCENELIST_OBJECTS];
    BaseList2D* last = under->children.empty() ? nullptr : under->children.back().get();
    sc::StartUndo(doc.get());
    const bool put = sc::Insert(doc.get(), std::move(o), at, last);
    if (put) {
      sc::AddUndo(doc.get(), UNDOTYPE_NEW, raw);
      sc::SetActive(doc.get(), ACTIVE_OBJECT, raw);
    }
    sc::EndUndo(doc.get());
    if (!put)
      return Fail(cmd, "the object cannot be put there");
  } else if (cmd == "add-nodes") {
    BaseList2D* at = parent.empty() ? nullptr : sc::FindByPath(doc.get(), SCENELIST_OBJECTS, parent);
    if (!at || (at->kind != Obase && at->kind != Onull))
      return Fail(cmd, parent.empty() ? "--parent names the object the setup goes on" : "no object '" + parent + "'");
    auto setup = std::make_unique<BaseList2D>(Tnodes);
    setup->name = String(pos[1]);
    BaseContainer nodes, links, link;
    const char* names[2] = {"Noise", "Output"};
    for (Int32 id : {1, 2}) {
      BaseContainer n;
      n.SetInt32(NODE_KIND, id);
      n.SetString(NODE_NAME, String(names[id - 1]));
      n.SetFloat(NODE_POSITION, 200.0 * (id - 1));
      n.SetFloat(NODE_POSITION + 1, 0.0);
      nodes.SetContainer(id, n);
    }
    link.SetInt32(LINK_FROM, 1);
    link.SetInt32(LINK_FROM_PORT, 0);
    link.SetInt32(LINK_TO, 2);
    link.SetInt32(LINK_TO_PORT, 0);
    links.SetContainer(1, link);
    setup->data.SetContainer(NODESETUP_NODES, nodes);
    setup->data.SetContainer(NODESETUP_LINKS, links);
    BaseList2D* raw = setup.get();
    BaseList2D* old = nullptr;
    for (const auto& c : at->children)
      if (c->kind == Tnodes)
        old = c.get();
    // An object carries one setup: the old one goes in the same step.
    sc::StartUndo(doc.get());
    bool put = !old || (sc::AddUndo(doc.get(), UNDOTYPE_DELETE, old) && !sc::Remove(old));
    put = put && sc::Insert(doc.get(), std::move(setup), at, at->children.empty() ? nullptr : at->children.back().get());
    if (put) {
      sc::AddUndo(doc.get(), UNDOTYPE_NEW, raw);
      sc::SetActive(doc.get(), ACTIVE_OBJECT, at);
      sc::SetActive(doc.get(), ACTIVE_TAG, raw);
    }
    sc::EndUndo(doc.get());
    if (!put)
      return Fail(cmd, "the node setup cannot be put on '" + parent + "'");
  } else {
    double rgb[3] = {0.8, 0.8, 0.8};
    if (!color.empty() && !ParseColor(color, rgb))
      return Fail(cmd, "--color wants three numbers from 0 to 1: R,G,B");
    auto m = std::make_unique<BaseList2D>(Mbase);
    m->name = String(pos[1]);
    for (int i = 0; i < 3; ++i)
      m->data.SetFloat(MATERIAL_COLOR + i, rgb[i]);
    m->data.SetFloat(MATERIAL_REFLECTANCE, 0.2);
    if (!texture.empty())
      m->data.SetFilename(MATERIAL_TEXTURE, Filename(String::FromBytes(texture, StringEncoding::System)));
    BaseList2D* raw = m.get();
    auto& mats = doc->roots[SCENELIST_MATERIALS].children;
    sc::StartUndo(doc.get());
    const bool put = sc::Insert(doc.get(), std::move(m), nullptr, mats.empty() ? nullptr : mats.back().get());
    if (put) {
      sc::AddUndo(doc.get(), UNDOTYPE_NEW, raw);
      sc::SetActive(doc.get(), ACTIVE_MATERIAL, raw);
    }
    sc::EndUndo(doc.get());
    if (!put)
      return Fail(cmd, "the material cannot be added");
  }
  return store(doc.get(), pos[0]) ? 0 : Fail(cmd, error);
}
