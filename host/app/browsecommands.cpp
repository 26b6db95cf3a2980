#include "browsecommands.h"
#include "networkcommands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "catalogcommands.h"
#include "filecommands.h"
#include "guicommand.h"
#include "orx/itemprogresslib.h"
#include "searchcommands.h"
#include "browserclient.h"
#include "commandline.h"
#include "scenecommands.h"
#include "orx/browserlib.h"
#include "orx/browserpreviews.h"
#include "orx/bitmap.h"
#include "orx/files.h"
#include "orx/media.h"
#include "orx/services.h"

namespace {

struct Options
{
  std::string url;
  std::string name; // rename: the new name
  std::string sort = "name";
  bool json = false;
  bool skipExisting = false; // cp, mv
};

const char* const kSorts[] = {"name", "modified", "created", "size", "type", "none"};

orxhost::CommandSyntax Syntax(const std::string& command)
{
  const orxhost::CommandOption json{"json", 0, nullptr, "one JSON object instead of the text"};
  const orxhost::CommandOption yes{"yes", 0, nullptr, "replace what has the name"};
  const orxhost::CommandOption no{"no", 0, nullptr, "leave what has the name, and fail"};
  const orxhost::CommandOption skip{"skip-existing", 0, nullptr, "leave what has the name, and succeed"};
  orxhost::CommandSyntax s;
  s.name = command;
  s.operands = {"URL"};
  if (command == "ls") {
    s.options = {{"sort", 0, "ORDER",
                  "name (default; folders first), modified, created, size, type,\n"
                  "or none (the order of the content tree)"},
                 {"json", 0, nullptr, "one JSON array instead of the table; catalog links carry\n\"target\" and \"resolved\""}};
    s.about = "Lists the children of the content at URL (for example preset:/,\n"
              "preset://demo.libqz/Materials, file:/ for the volumes, or a folder such as\n"
              "file://localhost/usr/share): name, type, size, modification and creation\n"
              "dates and the status flags of each. File names are matched exactly;\n"
              "names that start with \".\" are not listed. A catalog link shows what it\n"
              "points to after \"->\", marked \"(unresolved)\" while that is not found.\n"
              "\n"
              "network:/ lists the servers of network file systems and GVfs mounts,\n"
              "network://SERVER their shares, network://SERVER/SHARE/... what is in them.\n"
              "A share that does not answer within 3 seconds is named on standard error,\n"
              "is shown as it was, and the exit code is 3.";
  } else if (command == "info") {
    s.options = {json};
    s.about = "Shows what the browser knows about the content at URL: name, kind, type,\n"
              "size, dates, flags, its library and annotation, and for a file the format\n"
              "and the handler that its name and first bytes match.";
  } else if (command == "cat") {
    s.about = "Writes the data of the preset at URL to standard output, byte for byte.";
  } else if (command == "rename") {
    s.options = {json};
    s.operands = {"URL", "NAME"};
    s.about = "Renames the preset, folder or library at URL to NAME, as the browser's rename\n"
              "does; the library is saved when orxhost ends. Fails when the library is\n"
              "read-only (for example because its file is damaged) or the name is taken.";
  } else if (command == "mkdir") {
    s.options = {json};
    s.operands = {"FOLDER-URL", "NAME"};
    s.about = "Makes the folder NAME in the folder at FOLDER-URL, as the browser's new folder\n"
              "does. A name that is taken (also by a folder) is refused.";
  } else if (command == "mv") {
    s.options = {json, yes, no, skip};
    s.operands = {"URL", "FOLDER-URL"};
    s.about = "Moves the file or folder at URL into the folder at FOLDER-URL, on one file\n"
              "system only (never by copying and deleting), with a progress bar on a terminal.\n"
              "When the name is taken there: --yes replaces what has it (it goes only after the\n"
              "move succeeded), --no leaves it and fails, --skip-existing leaves it and succeeds;\n"
              "otherwise the person at the terminal is asked, or the answer is no.";
  } else if (command == "cp") {
    s.options = {json, yes, no, skip};
    s.operands = {"URL", "FOLDER-URL"};
    s.about = "Copies the file or folder at URL into the folder at FOLDER-URL, with a progress\n"
              "bar on a terminal. The copy is written under a hidden name and renamed into\n"
              "place, and a folder is never copied into itself. Links are copied as links.\n"
              "When the name is taken there: --yes replaces what has it (only once the copy is\n"
              "complete), --no leaves it and fails, --skip-existing leaves it and succeeds;\n"
              "otherwise the person at the terminal is asked, or the answer is no.";
  } else if (command == "rm") {
    s.options = {json, {"yes", 0, nullptr, "answer yes to the plug-in's questions"},
                 {"no", 0, nullptr, "answer no to the plug-in's questions"}};
    s.about = "Deletes the file or folder at URL with everything in it, with a progress bar on\n"
              "a terminal. Links are deleted as links; volumes and mounted file systems are\n"
              "refused.";
    s.more = "With --json, rename, mkdir, mv, cp and rm print one JSON object: ok, command,\n"
             "url, result, code, error, items and bytes.";
  } else if (command == "demo") {
    s.operands.clear();
    s.about = "Makes the demo library preset://demo.libqz in the user browser folder, with\n"
              "folders and presets that carry names, annotations, data and previews, so that\n"
              "there is something to browse. Running it again brings the library back to\n"
              "its original content. The previews of the scene presets Scene/Red (a\n"
              "material ball) and Scene/Cube (an object thumbnail) are rendered and written\n"
              "as PNG pictures into the folder \"demo previews\" beside the library.";
  }
  return s;
}

int ParseInto(const std::string& command, const std::vector<std::string>& args, Options* o)
{
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseArguments(Syntax(command), args, &a); rc >= 0)
    return rc;
  o->json = a.Has("json");
  o->skipExisting = a.Has("skip-existing");
  o->sort = a.Value("sort", o->sort);
  if (!a.Operands().empty())
    o->url = a.Operand(0);
  if (a.Operands().size() > 1)
    o->name = a.Operand(1);
  for (const auto& [name, value] : a.Given())
    if (name == "yes" || name == "no") {
      // The answer to a taken name, given after the command as well as before it.
      const std::string flag = "--" + name;
      char* one[] = {const_cast<char*>(flag.c_str())};
      int at = 0;
      ParseTerminalOption(1, one, at);
      UseTerminalFrontEnd();
    }
  if (std::none_of(std::begin(kSorts), std::end(kSorts), [&](const char* s) { return o->sort == s; }))
    return orxhost::RefuseArgument("ls", "unknown sort order '" + o->sort + "' (name, modified, created, size, type, none)");
  return -1;
}

struct Entry
{
  Node node;
  std::string name, url, type;
  Int64 size = 0;
  UInt32 flags = 0;
  DateTime modified, created;
  bool link = false; // a catalog link: target is what it points to
  std::string target;
};

// Catalog nodes (kind 4) with the link flag.
constexpr Int32 kCatalogKind = 4;
constexpr UInt32 kLinkFlag = 0x8;
constexpr UInt32 kUnresolvedFlag = 0x20000000u;
constexpr UInt32 kTargetRequest = 0x80000000u;

Entry Describe(Node n)
{
  Entry e;
  e.name = n.Name();
  e.url = n.URL();
  e.type = n.TypeName();
  e.flags = n.Info(&e.size);
  e.modified = n.Time(1);
  e.created = n.Time(0);
  if (n.Kind() == kCatalogKind && (e.flags & kLinkFlag)) {
    e.link = true;
    Url target;
    g_lib->content->GetURL(n.Get(), target.Get(), kTargetRequest);
    e.target = target.Text();
    e.flags = n.Info(&e.size); // the lookup of the target may have changed the flags
  }
  e.node = std::move(n);
  return e;
}

std::string FormatTime(const DateTime& t)
{
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return buf;
}

int CompareText(const std::string& a, const std::string& b) { return String(a).LexCompare(String(b)); }

int CompareTime(const DateTime& a, const DateTime& b)
{
  const UInt16 x[] = {a.year, a.month, a.day, a.hour, a.minute, a.second};
  const UInt16 y[] = {b.year, b.month, b.day, b.hour, b.minute, b.second};
  for (int i = 0; i < 6; ++i)
    if (x[i] != y[i])
      return int(x[i]) - int(y[i]);
  return 0;
}

// The browser's orders (folders first), applied to what the table tells about each node.
bool Before(const std::string& sort, const Entry& a, const Entry& b)
{
  const int groupA = int(a.flags & 3), groupB = int(b.flags & 3);
  int c = 0;
  if (sort == "size") {
    c = a.size < b.size ? -1 : a.size > b.size ? 1 : 0;
  } else {
    c = groupB - groupA;
    if (!c && (sort == "modified" || sort == "created"))
      c = CompareTime(sort == "modified" ? a.modified : a.created, sort == "modified" ? b.modified : b.created);
    if (!c && sort == "type" && !(groupA && groupB))
      c = CompareText(a.type, b.type);
  }
  if (!c)
    c = CompareText(a.name, b.name);
  if (!c && !(sort == "type" && groupA && groupB))
    c = CompareText(a.url, b.url);
  return c < 0;
}

Node Resolve(const std::string& command, const std::string& text)
{
  Url url(text);
  Node n(g_lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr));
  if (!n)
    std::fprintf(stderr, "orxhost %s: no such content: %s\n", command.c_str(), text.c_str());
  return n;
}

// The stored previews of a node as JSON: null without any.
std::string PreviewJson(const Node& n)
{
  OrxPreviewInfo info;
  if (g_lib->content->Message(n.Get(), BROWSERPREVIEWS_ID, BROWSERPREVIEWS_KIND, BROWSERPREVIEWS_INFO, &info) != 0 ||
      (info.count == 0 && info.itemFlags == 0))
    return "null";
  return "{\"count\": " + std::to_string(info.count) + ", \"width\": " + std::to_string(info.width) +
         ", \"height\": " + std::to_string(info.height) + ", \"quality\": " + std::to_string(info.quality) +
         ", \"no_picture\": " + ((info.itemFlags & 2) ? "true" : "false") +
         ", \"failed\": " + ((info.itemFlags & 1) ? "true" : "false") + "}";
}

int List(const Options& o)
{
  Node dir = Resolve("ls", o.url);
  if (!dir)
    return 1;
  std::vector<Entry> entries;
  for (Node c(g_lib->tree->GetDown(dir.Get())); c; c = Node(g_lib->tree->GetNext(c.Get())))
    entries.push_back(Describe(c));
  if (o.sort != "none")
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const Entry& a, const Entry& b) { return Before(o.sort, a, b); });
  if (o.json) {
    std::printf("[");
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const Entry& e = entries[i];
      std::printf("%s\n  {\"name\": %s, \"url\": %s, \"type\": %s, \"size\": %lld, \"modified\": %s, "
                  "\"created\": %s, \"flags\": %u, \"folder\": %s%s, \"preview\": %s}",
                  i ? "," : "", JsonText(e.name).c_str(), JsonText(e.url).c_str(), JsonText(e.type).c_str(),
                  static_cast<long long>(e.size), JsonText(FormatTime(e.modified)).c_str(),
                  JsonText(FormatTime(e.created)).c_str(), e.flags, (e.flags & 3) ? "true" : "false",
                  e.link ? (", \"target\": " + JsonText(e.target) + ", \"resolved\": " +
                            ((e.flags & kUnresolvedFlag) ? "false" : "true"))
                               .c_str()
                         : "",
                  PreviewJson(e.node).c_str());
    }
    std::printf("%s]\n", entries.empty() ? "" : "\n");
    return 0;
  }
  std::size_t nameWidth = 4, typeWidth = 4;
  for (const Entry& e : entries) {
    nameWidth = std::max(nameWidth, String(e.name).GetLength() + std::size_t(0));
    typeWidth = std::max(typeWidth, String(e.type).GetLength() + std::size_t(0));
  }
  auto pad = [](const std::string& s, std::size_t width) {
    std::size_t len = std::size_t(String(s).GetLength());
    return s + std::string(width > len ? width - len : 0, ' ');
  };
  std::printf("%s  %s  %10s  %-19s  %-19s  %s\n", pad("NAME", nameWidth + 1).c_str(), pad("TYPE", typeWidth).c_str(),
              "SIZE", "MODIFIED", "CREATED", "FLAGS");
  for (const Entry& e : entries) {
    std::string name = e.name + ((e.flags & 3) ? "/" : "");
    std::printf("%s  %s  %10lld  %s  %s  0x%08x%s\n", pad(name, nameWidth + 1).c_str(), pad(e.type, typeWidth).c_str(),
                static_cast<long long>(e.size), FormatTime(e.modified).c_str(), FormatTime(e.created).c_str(),
                e.flags,
                e.link ? ("  -> " + e.target + ((e.flags & kUnresolvedFlag) ? " (unresolved)" : "")).c_str() : "");
  }
  return 0;
}

int Info(const Options& o)
{
  Node n = Resolve("info", o.url);
  if (!n)
    return 1;
  Entry e = Describe(n);
  Url url(e.url);
  const Int32 lib = g_lib->main->GetLibraryIndex(url.Get());
  String annotation;
  const bool hasAnnotation = lib >= 1 && g_lib->main->GetItemAnnotation(lib, url.Get(), &annotation);
  Int32 children = 0;
  for (Node c(g_lib->tree->GetDown(n.Get())); c; c = Node(g_lib->tree->GetNext(c.Get())))
    ++children;
  // The handler found by name and content, and the name of the particular format.
  String handlerName, format;
  Int32 handlerId = 0;
  if (OrxBrowserHandler* h = g_lib->content->GetPluginInterface(n.Get(), 0))
    handlerId = g_lib->handler->GetPluginID(h, &handlerName);
  g_lib->content->GetTypeName(n.Get(), &format, 2);
  if (o.json) {
    std::printf("{\"name\": %s, \"url\": %s, \"kind\": %d, \"type\": %s, \"size\": %lld, \"modified\": %s, "
                "\"created\": %s, \"flags\": %u, \"children\": %d, \"library\": %d, \"annotation\": %s, "
                "\"format\": %s, \"handler\": %s, \"handlerId\": %d}\n",
                JsonText(e.name).c_str(), JsonText(e.url).c_str(), n.Kind(), JsonText(e.type).c_str(),
                static_cast<long long>(e.size), JsonText(FormatTime(e.modified)).c_str(),
                JsonText(FormatTime(e.created)).c_str(), e.flags, children, lib,
                JsonText(hasAnnotation ? annotation.ToUtf8() : "").c_str(), JsonText(format.ToUtf8()).c_str(),
                JsonText(handlerName.ToUtf8()).c_str(), handlerId);
    return 0;
  }
  std::printf("name:       %s\n", e.name.c_str());
  std::printf("url:        %s\n", e.url.c_str());
  std::printf("kind:       %d\n", n.Kind());
  std::printf("type:       %s\n", e.type.c_str());
  if (format.Content() && format.ToUtf8() != e.type)
    std::printf("format:     %s\n", format.ToUtf8().c_str());
  if (handlerId)
    std::printf("handler:    %s (%d)\n", handlerName.ToUtf8().c_str(), handlerId);
  std::printf("size:       %lld\n", static_cast<long long>(e.size));
  std::printf("modified:   %s\n", FormatTime(e.modified).c_str());
  std::printf("created:    %s\n", FormatTime(e.created).c_str());
  std::printf("flags:      0x%08x%s%s\n", e.flags, (e.flags & 3) ? " folder" : "", (e.flags & 0x10) ? " read-only" : "");
  std::printf("children:   %d\n", children);
  if (lib >= 0)
    std::printf("library:    %d\n", lib);
  if (hasAnnotation && annotation.Content())
    std::printf("annotation: %s\n", annotation.ToUtf8().c_str());
  return 0;
}

// The outcome of an edit as one JSON object on standard output, for pipelines: ok, the command, the
// URL it was given, the result's URL, and on failure the code and its reason.
void PrintEditJson(const char* command, const std::string& url, const std::string& result, Int32 code,
                   const std::string& error, Int64 items, Int64 bytes)
{
  std::printf("{\"ok\":%s,\"command\":%s,\"url\":%s,\"result\":%s,\"code\":\"0x%08x\",\"error\":%s,"
              "\"items\":%lld,\"bytes\":%lld}\n",
              code == 0 ? "true" : "false", JsonText(command).c_str(), JsonText(url).c_str(), JsonText(result).c_str(),
              unsigned(code), JsonText(error).c_str(), static_cast<long long>(items), static_cast<long long>(bytes));
}

int RenameContent(const Options& o)
{
  Node n = Resolve("rename", o.url);
  if (!n)
    return 1;
  const String name(o.name);
  // The three phases of the browser's edits: ask, walk, do.
  for (Int32 phase : {0, 1, 2}) {
    const Int32 rc = g_lib->content->Rename(n.Get(), phase, &name);
    if (rc != 0) {
      Int64 size = 0;
      const bool readOnly = (n.Info(&size) & 0x10) != 0;
      std::fprintf(stderr, "orxhost rename: %s cannot be renamed to '%s' (code 0x%08x%s)\n", o.url.c_str(),
                   o.name.c_str(), unsigned(rc), readOnly ? ", it is read-only" : "");
      if (o.json)
        PrintEditJson("rename", o.url, "", rc, readOnly ? "read-only" : "refused", 0, 0);
      return 1;
    }
  }
  if (o.json)
    PrintEditJson("rename", o.url, n.URL(), 0, "", 0, 0);
  else
    std::printf("orxhost: %s renamed to %s\n", o.url.c_str(), n.URL().c_str());
  return 0;
}

// Counts of an edit's items and bytes. On a terminal they are drawn as one line that is redrawn in
// place: a running count while phase 1 walks, then a bar towards the totals that walk found. Off a
// terminal nothing is drawn, so what scripts read stays clean.
struct Progress
{
  Int64 items = 0, bytes = 0;
  Int64 totalItems = 0, totalBytes = 0;
  Int32 phase = 0;
  bool terminal = false;
  bool drawn = false;
  std::chrono::steady_clock::time_point lastDraw;

  static Int32 Callback(void* data, Int32 phase, Int32 count, Int64 size, Int32)
  {
    auto* p = static_cast<Progress*>(data);
    p->items += count;
    p->bytes += size;
    p->phase = phase;
    if (p->terminal)
      p->Draw(false);
    return 0;
  }

  void Begin(Int32 next)
  {
    if (next == 2) {
      totalItems = items;
      totalBytes = bytes;
    }
    items = bytes = 0;
    phase = next;
  }

  // A tree of a million entries calls back a million times: redrawn at most ten times a second.
  void Draw(bool force)
  {
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn && now - lastDraw < std::chrono::milliseconds(100))
      return;
    lastDraw = now;
    drawn = true;
    char line[256];
    if (phase != 2) {
      std::snprintf(line, sizeof line, "counting: %lld items, %s", static_cast<long long>(items), Bytes(bytes).c_str());
    } else {
      // By bytes when there are any (a copy's blocks move the bar inside a large file), else by items.
      const double done = totalBytes > 0 ? double(bytes) / double(totalBytes)
                          : totalItems > 0 ? double(items) / double(totalItems)
                                           : 1.0;
      const double part = std::clamp(done, 0.0, 1.0);
      constexpr int kWidth = 30;
      const int filled = int(part * kWidth);
      char bar[kWidth + 1];
      for (int i = 0; i < kWidth; ++i)
        bar[i] = i < filled ? '#' : '-';
      bar[kWidth] = 0;
      std::snprintf(line, sizeof line, "[%s] %3d%%  %lld/%lld items  %s/%s", bar, int(part * 100),
                    static_cast<long long>(std::min(items, totalItems)), static_cast<long long>(totalItems),
                    Bytes(std::min(bytes, totalBytes)).c_str(), Bytes(totalBytes).c_str());
    }
    // \r and erase-to-end keep it on one line however it shrinks.
    std::fprintf(stderr, "\r%s\033[K", line);
    std::fflush(stderr);
  }

  // Removes the line so that what follows starts on a clean one.
  void Clear()
  {
    if (terminal && drawn) {
      std::fputs("\r\033[K", stderr);
      std::fflush(stderr);
    }
    drawn = false;
  }

  static std::string Bytes(Int64 n)
  {
    char s[32];
    if (n < 1024)
      std::snprintf(s, sizeof s, "%lld B", static_cast<long long>(n));
    else if (n < 1024 * 1024)
      std::snprintf(s, sizeof s, "%.1f KiB", double(n) / 1024);
    else if (n < Int64(1024) * 1024 * 1024)
      std::snprintf(s, sizeof s, "%.1f MiB", double(n) / (1024 * 1024));
    else
      std::snprintf(s, sizeof s, "%.1f GiB", double(n) / (1024.0 * 1024 * 1024));
    return s;
  }
};

std::string Refusal(Int32 rc)
{
  switch (UInt32(rc)) {
    case 0x80000001u: return "rename refused: the name is taken or not allowed, or the folder may not be changed";
    case 0x80000002u: return "move refused: another file system, a taken name, the folder itself, or no rights";
    case 0x80000004u: return "copy refused: a taken name, the folder into itself, nothing to copy, or no rights";
    case 0x80000008u: return "delete refused: a volume, a mounted file system, or a folder that may not be changed";
    case 0x80000010u: return "new folder refused: the name is taken or not allowed, or the folder may not be changed";
    case 0x80000200u: return "the move failed on disk";
    case 0x80000400u: return "the copy failed while writing; nothing was left behind";
    case 0xA0000000u: return "that kind of content cannot go there";
    case 0xC0000000u: return "cancelled";
    default: return "failed";
  }
}

// Phase 0 first, then the walk, then the deed; one clear message for a refusal.
// With json, a refusal is also told as the JSON object of PrintEditJson; done (may be null) gets the
// counts of the walk.
template <typename Op>
int RunEdit(const char* command, const std::string& what, bool json, Op op, Progress* done = nullptr)
{
  Progress progress;
  progress.terminal = ::isatty(2) == 1;
  for (Int32 phase : {0, 1, 2}) {
    progress.Begin(phase);
    const Int32 rc = op(phase, &progress);
    if (rc != 0) {
      progress.Clear();
      std::fprintf(stderr, "orxhost %s: %s: %s (code 0x%08x)\n", command, what.c_str(), Refusal(rc).c_str(), unsigned(rc));
      if (json)
        PrintEditJson(command, what, "", rc, Refusal(rc), 0, 0);
      return 1;
    }
    if (phase == 2 && progress.drawn) {
      // The last redraw may have been skipped: the bar ends full, on its own line.
      progress.items = progress.totalItems;
      progress.bytes = progress.totalBytes;
      progress.Draw(true);
      std::fputc('\n', stderr);
    }
  }
  if (done) {
    done->totalItems = progress.totalItems;
    done->totalBytes = progress.totalBytes;
  }
  return 0;
}

int MakeFolder(const Options& o)
{
  Node dir = Resolve("mkdir", o.url);
  if (!dir)
    return 1;
  const String name(o.name);
  Node made;
  const int rc = RunEdit("mkdir", o.url + " " + o.name, o.json, [&](Int32 phase, Progress*) {
    OrxBrowserNode* out = nullptr;
    const Int32 r = g_lib->content->NewFolder(dir.Get(), phase, &name, &out);
    if (out)
      made = Node(out);
    return r;
  });
  if (rc == 0 && o.json)
    PrintEditJson("mkdir", o.url, made ? made.URL() : o.name, 0, "", 1, 0);
  else if (rc == 0)
    std::printf("orxhost: made %s\n", made ? made.URL().c_str() : o.name.c_str());
  return rc;
}

// The result of cp, mv and rm: a skipped item is a success that says so.
int ItemOutcome(const char* command, const Options& o, Int32 status, const OrxItemProgressOutcome& done,
                const char* verb)
{
  static const char* const kErrors[] = {"", "cancelled", "exists", "destination inside source", "failed"};
  const bool ok = status == ORX_ITEMS_DONE;
  const bool skipped = ok && done.skipped > 0;
  if (o.json) {
    const Int32 code = ok ? 0 : done.result ? done.result : Int32(0x80000000u | UInt32(status));
    PrintEditJson(command, o.url, skipped ? "skipped" : ok && std::strcmp(command, "rm") ? o.name : "", code,
                  kErrors[status >= 0 && status <= 4 ? status : 4], Int64(done.totalFiles), Int64(done.totalBytes));
  } else if (skipped) {
    std::printf("orxhost: %s is in %s already: skipped (--skip-existing)\n", o.url.c_str(), o.name.c_str());
  } else if (ok && !std::strcmp(command, "rm")) {
    std::printf("orxhost: deleted %s\n", o.url.c_str());
  } else if (ok) {
    std::printf("orxhost: %s %s into %s\n", verb, o.url.c_str(), o.name.c_str());
  }
  return ok ? 0 : 1;
}

int MoveOrCopy(const Options& o, bool copy)
{
  const char* command = copy ? "cp" : "mv";
  Node item = Resolve(command, o.url);
  Node dir = item ? Resolve(command, o.name) : Node();
  if (!item || !dir)
    return 1;
  OrxItemProgressOutcome done;
  const Int32 status = RunItemCommand(command, o.url, copy ? ORX_ITEMS_COPY : ORX_ITEMS_MOVE, item.Get(), dir.Get(),
                                      o.skipExisting ? ORX_ITEMS_SKIP_EXISTING : 0, &done);
  return ItemOutcome(command, o, status, done, copy ? "copied" : "moved");
}

int Remove(const Options& o)
{
  Node item = Resolve("rm", o.url);
  if (!item)
    return 1;
  OrxItemProgressOutcome done;
  const Int32 status = RunItemCommand("rm", o.url, ORX_ITEMS_DELETE, item.Get(), nullptr, 0, &done);
  return ItemOutcome("rm", o, status, done, "deleted");
}

int Cat(const Options& o)
{
  Url url(o.url);
  const Int32 lib = g_lib->main->GetLibraryIndex(url.Get());
  void* data = nullptr;
  Int64 size = 0;
  Int32 type = 0;
  if (lib < 1 || !g_lib->main->GetItem(lib, url.Get(), &type, nullptr, &data, &size)) {
    std::fprintf(stderr, "orxhost cat: no such preset: %s\n", o.url.c_str());
    return 1;
  }
  if (g_lib->main->GetItemValue(lib, url.Get(), 0) & 8) {
    OrxMemFree(data);
    std::fprintf(stderr, "orxhost cat: a folder has no data: %s\n", o.url.c_str());
    return 1;
  }
  bool ok = true;
  if (data && size > 0)
    ok = std::fwrite(data, 1, std::size_t(size), stdout) == std::size_t(size);
  OrxMemFree(data);
  ok = std::fflush(stdout) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "orxhost cat: writing to standard output failed\n");
    return 1;
  }
  return 0;
}

// --- demo content ---

struct DemoItem
{
  const char* path;
  const char* name;
  const char* annotation;
  const char* data;
  UChar colour;
};

const DemoItem kDemoFolders[] = {
    {"Materials", "Materials", "Surfaces ready to drop on an object.", nullptr, 0},
    {"Materials/Metals", "Metals", "Polished and brushed metals.", nullptr, 0},
    {"Objects", "Objects", "Simple objects to start a scene with.", nullptr, 0},
    {"Render Settings", "Render Settings", "Output presets.", nullptr, 0},
    {"Scene", "Scene", "Elements to put into a scene document (orxhost preset apply).", nullptr, 0},
};

const DemoItem kDemoPresets[] = {
    {"Materials/Red Plastic", "Red Plastic", "Glossy red plastic.", "material \"Red Plastic\"\n  color 0.8 0.1 0.1\n  specular 0.6\n", 0xc0},
    {"Materials/Oak", "Oak", "Oak wood with visible grain.", "material \"Oak\"\n  color 0.55 0.38 0.2\n  bump 0.3\n", 0x90},
    {"Materials/Metals/Brushed Steel", "Brushed Steel", "Anisotropic steel.", "material \"Brushed Steel\"\n  color 0.6 0.6 0.62\n  roughness 0.35\n", 0x99},
    {"Materials/Metals/Gold", "Gold", "Polished gold.", "material \"Gold\"\n  color 1.0 0.77 0.34\n  roughness 0.1\n", 0xe0},
    {"Objects/Cube", "Cube", "A unit cube.", "object \"Cube\"\n  size 200 200 200\n  segments 1 1 1\n", 0x40},
    {"Objects/Sphere", "Sphere", "A sphere with 24 segments.", "object \"Sphere\"\n  radius 100\n  segments 24\n", 0x60},
    {"Objects/Torus", "Torus", "A ring.", "object \"Torus\"\n  radius 100 20\n  segments 36 12\n", 0x50},
    {"Render Settings/Preview 640x360", "Preview 640x360", "Quick previews.", "render\n  width 640\n  height 360\n  antialiasing none\n", 0x30},
    {"Render Settings/Full HD", "Full HD", "Final frames, 1920 by 1080.", "render\n  width 1920\n  height 1080\n  antialiasing best\n", 0x20},
    {"Read Me", "Read Me", "What this library is for.", "This demo library was made by orxhost demo.\nBrowse it with orxhost ls preset://demo.libqz\n", 0x10},
};

// A small preview picture in the colour, as JPEG bytes (empty on failure). A real picture, so that
// the content tool writes it and builds it back like any other preview.
std::string DemoPreview(const Filename& folder, UChar colour)
{
  BaseBitmap bmp;
  if (!bmp.Init(16, 16))
    return std::string();
  for (Int32 y = 0; y < 16; ++y)
    for (Int32 x = 0; x < 16; ++x)
      bmp.SetPixel(x, y, colour, UChar(255 - colour), UChar(x * 16));
  const Filename temp = folder + String((".demo-preview-" + std::to_string(::getpid()) + ".jpg").c_str());
  std::string bytes;
  if (GeSaveBitmap(bmp, temp, SAVEBITMAP_JPEG, 90)) {
    std::ifstream in(temp.ToUtf8(), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  GeDelete(temp);
  return bytes;
}

int Demo()
{
  Filename folder = GeGetSpecialFolder(FOLDER_USERLIBRARY) + String("browser");
  GeCreateFolderTree(folder);
  Filename file = folder + String("demo.libqz");
  Url libURL("preset://demo.libqz");
  const String shown("Demo");
  Int32 lib = g_lib->main->CreateLibrary(libURL.Get(), &shown, &file);
  if (lib < 1) {
    std::fprintf(stderr, "orxhost demo: cannot create %s\n", file.ToUtf8().c_str());
    return 1;
  }
  if (!g_lib->main->RegisterLibrary(&file, 4, libURL.Get())) {
    std::fprintf(stderr, "orxhost demo: cannot register %s\n", file.ToUtf8().c_str());
    return 1;
  }
  const std::string base = libURL.Text();
  int failures = 0;
  for (const DemoItem& f : kDemoFolders) {
    Url u(base + "/" + f.path);
    String name(f.name), note(f.annotation);
    failures += !g_lib->main->SetItemFlag(lib, u.Get(), 8);
    failures += !g_lib->main->SetItemName(lib, u.Get(), 0, &name);
    failures += !g_lib->main->SetItemAnnotation(lib, u.Get(), &note);
  }
  Int32 count = 0;
  for (const DemoItem& p : kDemoPresets) {
    Url u(base + "/" + p.path);
    String name(p.name), note(p.annotation);
    BaseContainer settings;
    settings.SetString(1, name);
    settings.SetInt32(2, Int32(std::strlen(p.data)));
    failures += !g_lib->main->SetItem(lib, u.Get(), 1018031, &settings, p.data, Int64(std::strlen(p.data)));
    failures += !g_lib->main->SetItemName(lib, u.Get(), 0, &name);
    failures += !g_lib->main->SetItemAnnotation(lib, u.Get(), &note);
    std::string jpeg = DemoPreview(folder, p.colour);
    failures += jpeg.empty();
    failures += !g_lib->main->SetItemPreview(lib, u.Get(), 1, jpeg.data(), Int64(jpeg.size()), 1);
    ++count;
  }
  // Presets of scene elements: documents of the native format, applied by their handlers.
  std::vector<unsigned char> material, object, tag;
  if (!DemoPresetDocuments(&material, &object, &tag))
    ++failures;
  const struct
  {
    const char* path;
    const char* name;
    const char* annotation;
    Int32 type;
    const std::vector<unsigned char>* data;
  } scene[] = {
      {"Scene/Red", "Red", "A red material with some shine.", 1018108, &material},
      {"Scene/Cube", "Cube", "A cube object with its mesh.", 1018107, &object},
      {"Scene/Smooth", "Smooth", "A tag for the active object.", 1018109, &tag},
  };
  for (const auto& p : scene) {
    Url u(base + "/" + p.path);
    String name(p.name), note(p.annotation);
    failures += !g_lib->main->SetItem(lib, u.Get(), p.type, nullptr, p.data->data(), Int64(p.data->size()));
    failures += !g_lib->main->SetItemName(lib, u.Get(), 0, &name);
    failures += !g_lib->main->SetItemAnnotation(lib, u.Get(), &note);
    ++count;
  }
  if (failures) {
    std::fprintf(stderr, "orxhost demo: %d steps failed\n", failures);
    return 1;
  }
  std::printf("orxhost: demo library %s (%s) with %zu folders and %d presets\n", base.c_str(),
              file.ToUtf8().c_str(), std::size(kDemoFolders), count);
  // The previews of the scene presets as their handlers give them, written where one can look.
  const Filename shots = folder + String("demo previews");
  GeCreateFolderTree(shots);
  for (const char* path : {"Scene/Red", "Scene/Cube"}) {
    Url u(base + "/" + path);
    Node node(g_lib->main->GetNode(u.Get(), BROWSER_GETNODE_EXACT, nullptr));
    OrxBrowserHandler* handler = node ? g_lib->content->GetPluginInterface(node.Get(), 0) : nullptr;
    void* data = handler ? g_lib->handler->OpenPreviewData(handler, 0, node.Get(), nullptr, nullptr) : nullptr;
    BaseBitmap* bmp = data ? g_lib->handler->GetPreviewBitmap(handler, data, 256, 256, 0) : nullptr;
    if (handler)
      g_lib->handler->FreePreviewData(handler, data);
    const Filename out = shots + (String(std::strrchr(path, '/') + 1) + String(".png"));
    // A machine that cannot render still gets its demo library; only the picture is missing.
    if (!bmp || !GeSaveBitmap(*bmp, out, SAVEBITMAP_PNG, 90))
      std::fprintf(stderr, "orxhost demo: no preview of %s/%s could be written\n", base.c_str(), path);
    else
      std::printf("orxhost: preview of %s/%s in %s\n", base.c_str(), path, out.ToUtf8().c_str());
    delete bmp;
  }
  return 0;
}

} // namespace

bool IsBrowseCommand(const std::string& command)
{
  return IsCatalogCommand(command) || IsSearchCommand(command) || command == "ls" || command == "info" || command == "cat" || command == "rename" || command == "demo" ||
         command == "mkdir" || command == "mv" || command == "cp" || command == "rm";
}

void BrowseCommandSummary(std::FILE* out)
{
  std::fprintf(out,
               "  ls URL    list the children of content (--sort ORDER, --json)\n"
               "  info URL  what the browser knows about content (--json)\n"
               "  cat URL   a preset's data on standard output\n"
               "  rename URL NAME  rename a preset, folder, library, file or folder on disk\n"
               "  mkdir URL NAME   make a folder\n"
               "  mv URL FOLDER    move a file or folder (one file system)\n"
               "  cp URL FOLDER    copy a file or folder\n"
               "  rm URL           delete a file or folder\n"
               "  demo      make the demo library preset://demo.libqz to browse\n");
  CatalogCommandSummary(out);
  SearchCommandSummary(out);
  std::fprintf(out, "            (each command has --help)\n");
}

int ParseBrowseArguments(const std::string& command, const std::vector<std::string>& args)
{
  if (IsCatalogCommand(command))
    return ParseCatalogArguments(command, args);
  if (IsSearchCommand(command))
    return ParseSearchArguments(args);
  Options o;
  return ParseInto(command, args, &o);
}

int RunBrowseCommand(const std::string& command, const std::vector<std::string>& args)
{
  if (IsCatalogCommand(command))
    return RunCatalogCommand(command, args);
  if (IsSearchCommand(command))
    return RunSearchCommand(args);
  Options o;
  if (int rc = ParseInto(command, args, &o); rc >= 0)
    return rc;
  return RunWithBrowserLibrary(command, [&] {
    if (command == "ls") {
      const int rc = List(o);
      return rc == 0 && ReportUnansweredShares("ls") > 0 ? kExitShareDidNotAnswer : rc;
    }
    if (command == "info")
      return Info(o);
    if (command == "cat")
      return Cat(o);
    if (command == "rename")
      return RenameContent(o);
    if (command == "demo")
      return Demo();
    if (command == "mkdir")
      return MakeFolder(o);
    if (command == "mv" || command == "cp")
      return MoveOrCopy(o, command == "cp");
    return command == "rm" ? Remove(o) : 1;
  });
}
