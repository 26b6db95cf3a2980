#include "catalogcommands.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "browserclient.h"
#include "commandline.h"
#include "orx/browserlib.h"
#include "orx/files.h"
#include "orx/services.h"

namespace {

// Plug-in id of the catalog link handler and its message that adds a link (kind 4, request 1).
constexpr Int32 kCatalogHandler = 1018025;
constexpr Int32 kCatalogMessageKind = 4;
constexpr Int32 kCatalogAddLink = 1;
constexpr Int32 kCatalogKind = 4;
constexpr Int32 kFavoritesRoot = 5;

struct Options
{
  std::string sub;               // new, add
  std::vector<std::string> args; // the rest
  bool json = false;
};

orxhost::CommandGroup Group(const std::string& command)
{
  const orxhost::CommandOption json{"json", 0, nullptr, "one JSON object per catalog made or link added"};
  orxhost::CommandGroup g;
  g.name = command;
  if (command == "catalog") {
    g.about = "Catalogs collect links to content anywhere without moving it. List a catalog\n"
              "with orxhost ls: links show their targets (--json: \"target\" and \"resolved\").";
    orxhost::CommandSyntax made;
    made.name = "catalog new";
    made.options = {json};
    made.operands = {"NAME"};
    made.about = "makes the catalog NAME.catqz in the user browser folder; it shows as\n"
                 "catalog://NAME.catqz.";
    orxhost::CommandSyntax add;
    add.name = "catalog add";
    add.options = {json};
    add.operands = {"CATALOG-URL", "TARGET-URL..."};
    add.about = "puts a link to each target (a file, a folder, a preset or a catalog entry)\n"
                "into the catalog or catalog folder at CATALOG-URL; a link to a link links what\n"
                "that link points to, and a name that is taken gets \".1\", \".2\" and so on.";
    g.commands = {made, add};
  } else {
    g.about = "Favorites (favorite:/) are kept from one start to the next.";
    orxhost::CommandSyntax add;
    add.name = "fav add";
    add.options = {json};
    add.operands = {"URL"};
    add.about = "adds the content at URL (a file or folder on disk, a preset, a catalog entry)\n"
                "to the favorites.";
    g.commands = {add};
  }
  return g;
}

int Parse(const std::string& command, const std::vector<std::string>& args, Options* o)
{
  const orxhost::CommandGroup group = Group(command);
  const orxhost::CommandSyntax* which = nullptr;
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseGroupArguments(group, args, &which, &a); rc >= 0)
    return rc;
  o->sub = which->name.substr(command.size() + 1);
  o->args = a.Operands();
  o->json = a.Has("json");
  return -1;
}

Node Resolve(const std::string& command, const std::string& text)
{
  Url url(text);
  Node n(g_lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr));
  if (!n)
    std::fprintf(stderr, "orxhost %s: no such content: %s\n", command.c_str(), text.c_str());
  return n;
}

Node LastChild(const Node& parent)
{
  Node last;
  for (Node c(g_lib->tree->GetDown(parent.Get())); c;) {
    Node next(g_lib->tree->GetNext(c.Get()));
    last = std::move(c);
    c = std::move(next);
  }
  return last;
}

bool ValidName(const std::string& name)
{
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:*?\"<>|") == std::string::npos;
}

int NewCatalog(const Options& o)
{
  const std::string& name = o.args[0];
  if (!ValidName(name)) {
    std::fprintf(stderr, "orxhost catalog new: '%s' cannot be a catalog name (empty, or with one of / \\ : * ? \" < > |)\n",
                 name.c_str());
    return 1;
  }
  Filename folder = GeGetSpecialFolder(FOLDER_USERLIBRARY) + String("browser");
  GeCreateFolderTree(folder);
  const String fileName = String::FromBytes(name + ".catqz", StringEncoding::System);
  Filename file = folder + fileName;
  if (GeFileExists(file)) {
    std::fprintf(stderr, "orxhost catalog new: %s exists already\n", file.ToUtf8().c_str());
    return 1;
  }
  Url url("catalog://" + name + ".catqz");
  const String shown = String::FromBytes(name, StringEncoding::System);
  if (g_lib->main->CreateLibrary(url.Get(), &shown, &file) < 1) {
    std::fprintf(stderr, "orxhost catalog new: cannot create %s\n", file.ToUtf8().c_str());
    return 1;
  }
  Node root = Resolve("catalog new", url.Text());
  if (!root)
    return 1;
  if (o.json)
    std::printf("{\"ok\":true,\"command\":\"catalog new\",\"url\":%s,\"file\":%s}\n", JsonText(root.URL()).c_str(),
                JsonText(file.ToUtf8()).c_str());
  else
    std::printf("orxhost: made catalog %s (%s)\n", root.URL().c_str(), file.ToUtf8().c_str());
  return 0;
}

int AddLinks(const Options& o)
{
  Node catalog = Resolve("catalog add", o.args[0]);
  if (!catalog)
    return 1;
  if (g_lib->content->GetNodeType(catalog.Get()) != kCatalogKind || !(g_lib->content->GetInfo(catalog.Get(), nullptr) & 1)) {
    std::fprintf(stderr, "orxhost catalog add: %s is no catalog or catalog folder\n", o.args[0].c_str());
    return 1;
  }
  int failures = 0;
  for (std::size_t i = 1; i < o.args.size(); ++i) {
    const std::string& text = o.args[i];
    Node target = Resolve("catalog add", text);
    Int32 rc = -1;
    if (target)
      rc = g_lib->content->Message(catalog.Get(), kCatalogHandler, kCatalogMessageKind, kCatalogAddLink, target.Get());
    if (rc != 0) {
      ++failures;
      if (target)
        std::fprintf(stderr, "orxhost catalog add: %s: no link made (code 0x%08x%s)\n", text.c_str(), unsigned(rc),
                     (g_lib->content->GetInfo(catalog.Get(), nullptr) & 0x10) ? ", the catalog is read-only" : "");
      if (o.json)
        std::printf("{\"ok\":false,\"command\":\"catalog add\",\"url\":%s,\"target\":%s,\"code\":\"0x%08x\"}\n",
                    JsonText(o.args[0]).c_str(), JsonText(text).c_str(), unsigned(rc));
      continue;
    }
    Node link = LastChild(catalog);
    const std::string linkURL = link ? link.URL() : std::string();
    const std::string linkTarget = link ? link.URL(0x80000000u) : text;
    if (o.json)
      std::printf("{\"ok\":true,\"command\":\"catalog add\",\"url\":%s,\"target\":%s}\n", JsonText(linkURL).c_str(),
                  JsonText(linkTarget).c_str());
    else
      std::printf("orxhost: %s -> %s\n", linkURL.c_str(), linkTarget.c_str());
  }
  return failures ? 1 : 0;
}

int AddFavorite(const Options& o)
{
  Node item = Resolve("fav add", o.args[0]);
  if (!item)
    return 1;
  Node favorites(g_lib->main->GetRootNode(kFavoritesRoot));
  if (!favorites) {
    std::fprintf(stderr, "orxhost fav add: the browser has no favorites\n");
    return 1;
  }
  for (Int32 phase : {0, 1, 2}) {
    g_lib->header.addNodeReference(item.Get()); // taken by the call
    const Int32 rc = g_lib->content->CopyHere(favorites.Get(), item.Get(), phase, nullptr, nullptr, nullptr);
    if (rc != 0) {
      std::fprintf(stderr, "orxhost fav add: %s cannot be a favorite (code 0x%08x)\n", o.args[0].c_str(), unsigned(rc));
      if (o.json)
        std::printf("{\"ok\":false,\"command\":\"fav add\",\"url\":%s,\"code\":\"0x%08x\"}\n", JsonText(o.args[0]).c_str(),
                    unsigned(rc));
      return 1;
    }
  }
  Node link = LastChild(favorites);
  const std::string url = link ? link.URL() : std::string();
  if (o.json)
    std::printf("{\"ok\":true,\"command\":\"fav add\",\"url\":%s,\"target\":%s}\n", JsonText(url).c_str(),
                JsonText(link ? link.URL(0x80000000u) : o.args[0]).c_str());
  else
    std::printf("orxhost: %s -> %s\n", url.c_str(), o.args[0].c_str());
  return 0;
}

} // namespace

bool IsCatalogCommand(const std::string& command) { return command == "catalog" || command == "fav"; }

void CatalogCommandSummary(std::FILE* out)
{
  std::fprintf(out,
               "  catalog new NAME             make the catalog catalog://NAME.catqz\n"
               "  catalog add CATALOG URL...   add links to content to a catalog\n"
               "  fav add URL                  add content to the favorites\n");
}

int ParseCatalogArguments(const std::string& command, const std::vector<std::string>& args)
{
  Options o;
  return Parse(command, args, &o);
}

int RunCatalogCommand(const std::string& command, const std::vector<std::string>& args)
{
  Options o;
  if (int rc = Parse(command, args, &o); rc >= 0)
    return rc;
  return RunWithBrowserLibrary(command, [&] {
    if (command == "catalog" && o.sub == "new")
      return NewCatalog(o);
    return command == "catalog" ? AddLinks(o) : AddFavorite(o);
  });
}
