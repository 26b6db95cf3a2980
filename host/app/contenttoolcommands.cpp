#include "contenttoolcommands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <string>

#include "browserclient.h"
#include "orx/browsercontenttool.h"
#include "orx/browserlib.h"
#include "orx/string.h"

namespace {

std::atomic<bool> g_interrupted{false};
void OnInterrupt(int) { g_interrupted.store(true); }

// Ctrl-C asks the run to stop (it then fails) instead of ending the process half-way.
class InterruptScope
{
public:
  InterruptScope()
  {
    g_interrupted.store(false);
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptScope() { sigaction(SIGINT, &previous_, nullptr); }

private:
  struct sigaction previous_ = {};
};

Int32 StopWhenInterrupted(void*, double) { return g_interrupted.load() ? 1 : 0; }

// --- export-library ---

struct ExportOptions
{
  std::string library, destination;
  bool json = false;
  bool help = false;
};

void ExportHelp(std::FILE* out)
{
  std::fprintf(out,
               "usage: orxhost export-library [--json] preset://NAME.libqz DEST\n"
               "\n"
               "Writes the registered preset library as a folder tree at DEST (a trailing\n"
               ".libqz is taken off): one .cbinfo description beside every folder and preset,\n"
               "the presets' data, settings (.bc) and preview pictures (JPEG), and DEST.cbinfo\n"
               "for the library itself. Files of an older export there are replaced whole;\n"
               "links there are replaced, never written through. The run's error_log.txt and\n"
               "operation_log.txt go into DEST (older ones are kept as .bak) and their paths\n"
               "are printed at the end. A bar shows the progress on a terminal; Ctrl-C stops,\n"
               "and a stopped export fails.\n"
               "\n"
               "Exit status: 0 when the export succeeded without errors, 1 when it failed or\n"
               "logged errors, 2 for wrong arguments.\n"
               "\n"
               "  --json  one JSON object: ok, command, library, folder, errors, cancelled,\n"
               "          message, error_log, operation_log\n");
}

int ParseExport(const std::vector<std::string>& args, ExportOptions* o)
{
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "orxhost export-library: unknown option '%s'\n", a.c_str());
      ExportHelp(stderr);
      return 2;
    } else if (o->library.empty()) {
      o->library = a;
    } else if (o->destination.empty()) {
      o->destination = a;
    } else {
      std::fprintf(stderr, "orxhost export-library: unexpected argument '%s'\n", a.c_str());
      return 2;
    }
  }
  if (o->help) {
    ExportHelp(stdout);
    return 0;
  }
  if (o->library.empty() || o->destination.empty()) {
    std::fprintf(stderr, "orxhost export-library: %s is needed\n",
                 o->library.empty() ? "a library URL" : "a destination folder");
    ExportHelp(stderr);
    return 2;
  }
  return -1;
}

int RunExport(const ExportOptions& o)
{
  OrxContentToolRequest r;
  auto report = [&](const std::string& error) {
    const bool clean = error.empty() && r.ok && r.errorCount == 0;
    const std::string message = error.empty() ? r.message.ToUtf8() : error;
    if (o.json) {
      std::printf("{\"ok\": %s, \"command\": \"export-library\", \"library\": %s, \"folder\": %s, \"errors\": %d, "
                  "\"cancelled\": %s, \"message\": %s, \"error_log\": %s, \"operation_log\": %s}\n",
                  clean ? "true" : "false", JsonText(o.library).c_str(), JsonText(r.folder.ToUtf8()).c_str(),
                  int(r.errorCount), r.cancelled ? "true" : "false", JsonText(message).c_str(),
                  JsonText(r.errorLog.ToUtf8()).c_str(), JsonText(r.operationLog.ToUtf8()).c_str());
    } else {
      std::fprintf(clean ? stdout : stderr, "orxhost export-library: %s\n", message.c_str());
      if (r.errorLog.Content())
        std::printf("error log: %s\noperation log: %s\n", r.errorLog.ToUtf8().c_str(),
                    r.operationLog.ToUtf8().c_str());
    }
    return clean ? 0 : 1;
  };
  Url url(o.library);
  Node root(g_lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr));
  if (!root)
    return report("no such library: " + o.library);
  r.flags = CONTENTTOOL_ENABLE;
  r.destination = String::FromBytes(o.destination, StringEncoding::System);
  r.progress = &StopWhenInterrupted;
  InterruptScope interrupts;
  const Int32 rc = g_lib->content->Message(root.Get(), BROWSERCONTENTTOOL_ID, BROWSERCONTENTTOOL_KIND,
                                           CONTENTTOOL_EXPORT, &r);
  if (rc != 0)
    return report(o.library + " is no preset library the content tool can export");
  return report("");
}

// A path from the command line as the module wants it: absolute, bytes kept.
String AbsolutePath(const std::string& path)
{
  std::string p = path;
  if (p.empty() || p[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof(cwd)))
      p = std::string(cwd) + "/" + p;
  }
  return String::FromBytes(p, StringEncoding::System);
}

struct Progress
{
  bool bar = false;
  int lastFilled = -1;
};

void DrawBar(double value, Progress* p)
{
  constexpr int kWidth = 30;
  const int filled = int(std::clamp(value, 0.0, 1.0) * kWidth);
  const int percent = int(std::clamp(value, 0.0, 1.0) * 100.0);
  std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(std::size_t(filled), '#').c_str(),
               std::string(std::size_t(kWidth - filled), '.').c_str(), percent);
  std::fflush(stderr);
  p->lastFilled = filled;
}

Int32 OnProgress(void* data, double value)
{
  auto* p = static_cast<Progress*>(data);
  if (p->bar)
    DrawBar(value, p);
  return g_interrupted.load() ? 1 : 0;
}

// --- build-library ---

struct BuildOptions
{
  std::string source, target;
  bool json = false;
  bool help = false;
};

void BuildHelp(std::FILE* out)
{
  std::fprintf(out,
               "usage: orxhost build-library [--json] SRC TARGET.libqz\n"
               "\n"
               "Builds a new preset library file TARGET from a folder tree in the content tool's\n"
               "layout. SRC is the top-level description (NAME.cbinfo, of type=library) or the\n"
               "folder NAME beside it; the library is named after that folder. Only files inside\n"
               "the tree are read: links, pipes and devices are skipped, and an item reads at most\n"
               "256 MB. TARGET must not exist: the library is built as TARGET.new and renamed\n"
               "once it was walked to its end and written; a cancel (Ctrl-C) leaves nothing under\n"
               "the name. error_log.txt and operation_log.txt are written beside TARGET (an\n"
               "older log is kept as .bak). A bar shows the progress on a terminal. Exits 1 when\n"
               "the build failed or logged errors.\n"
               "\n"
               "  --json  one JSON object: ok, command, source, target, errors, cancelled,\n"
               "          message, error_log, operation_log\n");
}

int ParseBuild(const std::vector<std::string>& args, BuildOptions* o)
{
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "orxhost build-library: unknown option '%s'\n", a.c_str());
      BuildHelp(stderr);
      return 2;
    } else if (o->source.empty()) {
      o->source = a;
    } else if (o->target.empty()) {
      o->target = a;
    } else {
      std::fprintf(stderr, "orxhost build-library: unexpected argument '%s'\n", a.c_str());
      return 2;
    }
  }
  if (o->help) {
    BuildHelp(stdout);
    return 0;
  }
  if (o->source.empty() || o->target.empty()) {
    std::fprintf(stderr, "orxhost build-library: %s is needed\n", o->source.empty() ? "a source (SRC)" : "a target file");
    BuildHelp(stderr);
    return 2;
  }
  return -1;
}

int RunBuild(const BuildOptions& o)
{
  OrxContentToolRequest r;
  r.flags = CONTENTTOOL_ENABLE;
  r.source = AbsolutePath(o.source);
  r.destination = AbsolutePath(o.target);
  Progress progress;
  progress.bar = ::isatty(2) == 1 && !o.json;
  r.progress = &OnProgress;
  r.progressData = &progress;

  g_interrupted.store(false);
  struct sigaction action = {}, previous = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previous);
  const Int32 rc = g_lib->content->Message(nullptr, BROWSERCONTENTTOOL_ID, BROWSERCONTENTTOOL_KIND, CONTENTTOOL_BUILD, &r);
  sigaction(SIGINT, &previous, nullptr);
  if (progress.bar && progress.lastFilled >= 0)
    std::fprintf(stderr, "\n");

  const bool handled = rc == 0;
  const bool ok = handled && r.ok != 0;
  const std::string message = handled ? r.message.ToUtf8() : std::string("the plug-in does not build libraries");
  if (o.json) {
    std::printf("{\"ok\": %s, \"command\": \"build-library\", \"source\": %s, \"target\": %s, \"errors\": %d, "
                "\"cancelled\": %s, \"message\": %s, \"error_log\": %s, \"operation_log\": %s}\n",
                ok ? "true" : "false", JsonText(o.source).c_str(), JsonText(o.target).c_str(), int(r.errorCount),
                r.cancelled ? "true" : "false", JsonText(message).c_str(), JsonText(r.errorLog.ToUtf8()).c_str(),
                JsonText(r.operationLog.ToUtf8()).c_str());
  } else {
    std::FILE* out = ok ? stdout : stderr;
    std::fprintf(out, "%s%s\n", ok ? "" : "orxhost build-library: ", message.c_str());
    if (r.errorLog.Content())
      std::fprintf(out, "error log: %s\noperation log: %s\n", r.errorLog.ToUtf8().c_str(),
                   r.operationLog.ToUtf8().c_str());
  }
  return ok ? 0 : 1;
}

} // namespace

bool IsContentToolCommand(const std::string& command)
{
  return command == "export-library" || command == "build-library";
}

void ContentToolCommandSummary(std::FILE* out)
{
  std::fprintf(out, "  export-library URL DEST write a preset library as a folder tree of descriptions,\n"
                    "                          data, settings and previews (--json)\n"
                    "  build-library SRC T.libqz  build a preset library from a content tool tree (--json)\n");
}

int ParseContentToolArguments(const std::string& command, const std::vector<std::string>& args)
{
  if (command == "export-library") {
    ExportOptions o;
    return ParseExport(args, &o);
  }
  if (command == "build-library") {
    BuildOptions o;
    return ParseBuild(args, &o);
  }
  return 2;
}

int RunContentToolCommand(const std::string& command, const std::vector<std::string>& args)
{
  int rc = 2;
  if (command == "export-library") {
    ExportOptions o;
    if (rc = ParseExport(args, &o); rc >= 0)
      return rc;
    if (!OpenBrowserLibrary(command))
      return 1;
    rc = RunExport(o);
  } else if (command == "build-library") {
    BuildOptions o;
    if (rc = ParseBuild(args, &o); rc >= 0)
      return rc;
    if (!OpenBrowserLibrary(command))
      return 1;
    rc = RunBuild(o);
  } else {
    return 2;
  }
  CloseBrowserLibrary();
  return rc;
}
