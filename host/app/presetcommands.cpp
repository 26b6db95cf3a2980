#include "presetcommands.h"

#include <cstdlib>
#include <set>

#include "browserclient.h"
#include "commandline.h"
#include "scene/scenedoc.h"

namespace sc = orxhost::scene;

namespace {
// Node kinds and edit codes of the browser, as its table answers them.
constexpr Int32 kPresetKind = 3;
constexpr UInt32 kFolderFlag = 0x1;
constexpr Int32 kPhaseAsk = 0, kPhaseDo = 2;
constexpr Int32 kGatherFiles = 0x2000000; // passed on when a host element becomes a preset
constexpr Int32 kCopyRefused = Int32(0x80000004u);

orxhost::CommandGroup Group()
{
  const orxhost::CommandOption json{"json", 0, nullptr, "one object: ok, command, and what was done"};
  orxhost::CommandGroup g;
  g.name = "preset";
  g.about = "Presets of the elements of scene documents (files of the native format).";
  orxhost::CommandSyntax make;
  make.name = "preset make";
  make.options = {json,
                  {"gather", 0, nullptr,
                   "keep the files the element refers to (a material's texture picture)\n"
                   "in the folder too, unless the library holds their bytes already"}};
  make.operands = {"DOC", "ELEMENT", "FOLDER-URL"};
  make.about = "The element of the scene document DOC becomes a new preset in the preset\n"
               "folder FOLDER-URL (preset://LIBRARY/...). ELEMENT names it by its names from\n"
               "the top, joined by '/': objects first, then materials, then render settings\n"
               "(Cube/Phong is the tag Phong of the object Cube). A taken name gets \" 2\",\n"
               "\" 3\", ...; the new preset's URL is printed.";
  orxhost::CommandSyntax apply;
  apply.name = "preset apply";
  apply.options = {json};
  apply.operands = {"PRESET-URL", "DOC"};
  apply.about = "The preset goes into DOC as its kind says, in one undo step, and DOC is\n"
                "written back (orxhost scene undo DOC takes it back). A preset that does not\n"
                "apply leaves DOC as it was.";
  orxhost::CommandSyntax set;
  set.name = "preset set-default";
  set.options = {json};
  set.operands = {"DOC", "ELEMENT"};
  set.about = "The settings of the element become the default of its kind (shown under\n"
              "preset://defaultobject.libqz/KIND; orxhost rm deletes one).";
  orxhost::CommandSyntax get;
  get.name = "preset get-default";
  get.options = {json};
  get.operands = {"KIND"};
  get.about = "Whether a kind (a number, e.g. 5702 for materials) has a default, and how\n"
              "many settings it holds; exit 1 when it has none.";
  g.commands = {make, apply, set, get};
  g.more = "Exit: 0 done, 1 failed, 2 wrong arguments.";
  return g;
}

struct Options
{
  std::string sub;
  bool json = false, gather = false;
  std::vector<std::string> pos;
};

int Parse(const std::vector<std::string>& args, Options* o)
{
  const orxhost::CommandGroup group = Group();
  const orxhost::CommandSyntax* which = nullptr;
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseGroupArguments(group, args, &which, &a); rc >= 0)
    return rc;
  o->sub = which->name.substr(group.name.size() + 1);
  o->json = a.Has("json");
  o->gather = a.Has("gather");
  o->pos = a.Operands();
  return -1;
}

int Fail(const Options& o, const std::string& detail)
{
  if (o.json)
    std::printf("{\"ok\": false, \"command\": %s, \"error\": %s}\n", JsonText(o.sub).c_str(), JsonText(detail).c_str());
  std::fprintf(stderr, "orxhost preset %s: %s\n", o.sub.c_str(), detail.c_str());
  return 1;
}

std::string Hex(Int32 code)
{
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", unsigned(code));
  return buf;
}

Node Find(const std::string& text)
{
  Url url(text);
  return Node(g_lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr));
}

// The document of the file, made the host's active document; with its undo history when it is
// going to change.
bool OpenDocument(const Options& o, const std::string& path, bool history)
{
  std::string error, warning;
  auto doc = history ? sc::LoadWithHistory(path, &error, &warning) : sc::LoadFromFile(path, &error);
  if (!doc)
    return Fail(o, error), false;
  if (!warning.empty())
    std::fprintf(stderr, "orxhost preset %s: warning: %s\n", o.sub.c_str(), warning.c_str());
  sc::SetActiveDocument(std::move(doc));
  return true;
}

int Make(const Options& o)
{
  const std::string& docPath = o.pos[0];
  const std::string& element = o.pos[1];
  const std::string& folderURL = o.pos[2];
  if (!OpenDocument(o, docPath, false))
    return 1;
  Node folder = Find(folderURL);
  if (!folder)
    return Fail(o, "no such content: " + folderURL);
  if (folder.Kind() != kPresetKind || !(folder.Info(nullptr) & kFolderFlag))
    return Fail(o, folderURL + " is not a folder of a preset library");
  Node source = Find("baselist://" + element);
  if (!source)
    return Fail(o, "no element '" + element + "' in " + docPath);
  auto copy = [&](Int32 phase) {
    g_lib->header.addNodeReference(source.Get()); // the table takes one reference
    return g_lib->content->CopyHere(folder.Get(), source.Get(), phase, nullptr, nullptr, nullptr);
  };
  if (Int32 r = copy(kPhaseAsk); r != 0)
    return Fail(o, "'" + element + "' cannot become a preset in " + folderURL + " (" + Hex(r) +
                       (r == kCopyRefused ? ": an element of a kind that has no presets, or a read-only library)" : ")"));
  std::set<std::string> before;
  for (Node c(g_lib->tree->GetDown(folder.Get())); c; c = Node(g_lib->tree->GetNext(c.Get())))
    before.insert(c.URL());
  if (Int32 r = copy(kPhaseDo | (o.gather ? kGatherFiles : 0)); r != 0)
    return Fail(o, "no preset was made of '" + element + "' in " + folderURL + " (" + Hex(r) + ")");
  std::string made;
  // The preset comes after the files gathered for it.
  for (Node c(g_lib->tree->GetDown(folder.Get())); c; c = Node(g_lib->tree->GetNext(c.Get())))
    if (!before.count(c.URL()))
      made = c.URL();
  if (o.json)
    std::printf("{\"ok\": true, \"command\": \"make\", \"url\": %s}\n", JsonText(made).c_str());
  else
    std::printf("%s\n", made.c_str());
  return 0;
}

int Apply(const Options& o)
{
  const std::string& presetURL = o.pos[0];
  const std::string& docPath = o.pos[1];
  if (!OpenDocument(o, docPath, true))
    return 1;
  Node preset = Find(presetURL);
  if (!preset)
    return Fail(o, "no such content: " + presetURL);
  if (preset.Kind() != kPresetKind || (preset.Info(nullptr) & kFolderFlag))
    return Fail(o, presetURL + " is not a preset");
  OrxBrowserHandler* handler = g_lib->content->GetPluginInterface(preset.Get(), 0);
  if (!handler)
    return Fail(o, presetURL + ": no handler for its kind of preset");
  const Int32 type = g_lib->handler->GetPluginID(handler, nullptr);
  std::vector<UChar> before, after;
  BaseDocument* doc = sc::ActiveDocument();
  if (!doc || !sc::SaveToMemory(*doc, &before))
    return Fail(o, "the document cannot be written");
  if (!g_lib->handler->Execute(handler, preset.Get(), nullptr, 0))
    return Fail(o, presetURL + " could not be applied (its data is missing or damaged, or " + docPath +
                       " has no place for it); " + docPath + " is unchanged");
  doc = sc::ActiveDocument();
  std::string error, warning;
  if (doc && sc::SaveToMemory(*doc, &after) && after != before) {
    if (!sc::SaveWithHistory(doc, docPath, &error, &warning))
      return Fail(o, error);
    if (!warning.empty())
      std::fprintf(stderr, "orxhost preset apply: warning: %s\n", warning.c_str());
  }
  if (o.json)
    std::printf("{\"ok\": true, \"command\": \"apply\", \"preset\": %s, \"type\": %d, \"document\": %s}\n",
                JsonText(presetURL).c_str(), type, JsonText(docPath).c_str());
  return 0;
}
int SetDefault(const Options& o)
{
  const std::string& docPath = o.pos[0];
  const std::string& element = o.pos[1];
  std::string error;
  auto doc = sc::LoadFromFile(docPath, &error);
  if (!doc)
    return Fail(o, error);
  const BaseList2D* e = nullptr;
  for (Int32 list : {SCENELIST_OBJECTS, SCENELIST_MATERIALS, SCENELIST_RENDER})
    if (!e)
      e = sc::FindByPath(doc.get(), list, element);
  if (!e)
    return Fail(o, "no element '" + element + "' in " + docPath);
  if (!g_lib->main->SetDefaultObject(e->kind, &e->data))
    return Fail(o, "the default of kind " + std::to_string(e->kind) + " could not be stored");
  if (o.json)
    std::printf("{\"ok\": true, \"command\": \"set-default\", \"kind\": %d, \"url\": \"preset://defaultobject.libqz/%d\"}\n",
                e->kind, e->kind);
  else
    std::printf("preset://defaultobject.libqz/%d\n", e->kind);
  return 0;
}

int GetDefault(const Options& o)
{
  long long kind = 0;
  if (!orxhost::ParseWholeNumber(o.pos[0], 1, 0x7fffffff, &kind))
    return Fail(o, "KIND is a positive number, not '" + o.pos[0] + "'");
  BaseContainer bc;
  if (!g_lib->main->GetDefaultObject(Int32(kind), &bc))
    return Fail(o, "kind " + o.pos[0] + " has no default");
  if (o.json)
    std::printf("{\"ok\": true, \"command\": \"get-default\", \"kind\": %lld, \"settings\": %d}\n", kind,
                bc.GetCount());
  else
    std::printf("kind %lld: a default with %d settings\n", kind, bc.GetCount());
  return 0;
}
} // namespace

bool IsPresetCommand(const std::string& command) { return command == "preset"; }

void PresetCommandSummary(std::FILE* out)
{
  std::fprintf(out, "  preset    presets of scene elements: make, apply, set-default, get-default (preset --help)\n");
}

int ParsePresetArguments(const std::vector<std::string>& args)
{
  Options o;
  return Parse(args, &o);
}

int RunPresetCommand(const std::vector<std::string>& args)
{
  Options o;
  if (int rc = Parse(args, &o); rc >= 0)
    return rc;
  return RunWithBrowserLibrary("preset", [&] {
    const int rc = o.sub == "make"          ? Make(o)
                   : o.sub == "apply"       ? Apply(o)
                   : o.sub == "set-default" ? SetDefault(o)
                                            : GetDefault(o);
    sc::SetActiveDocument(nullptr);
    return rc;
  });
}
