#include "contenttoolcommands.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>

#include "browserclient.h"
#include "commandline.h"
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

// The bar is the progress dialog's own, drawn by the host's terminal front end.
Int32 StopWhenInterrupted(void*, double) { return g_interrupted.load() ? 1 : 0; }

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

// Both commands take --json and two operands.
struct Options
{
  std::string first, second;
  bool json = false;
};

// Exit 0 only for a run that succeeded without errors.
int Report(const std::string& command, const Options& o, const char* firstKey, const char* secondKey,
           const std::string& second, const OrxContentToolRequest& r, const std::string& error)
{
  const bool clean = error.empty() && r.ok && r.errorCount == 0;
  const std::string message = error.empty() ? r.message.ToUtf8() : error;
  if (o.json) {
    std::printf("{\"ok\": %s, \"command\": %s, \"%s\": %s, \"%s\": %s, \"errors\": %d, \"cancelled\": %s, "
                "\"message\": %s, \"error_log\": %s, \"operation_log\": %s}\n",
                clean ? "true" : "false", JsonText(command).c_str(), firstKey, JsonText(o.first).c_str(), secondKey,
                JsonText(second).c_str(), int(r.errorCount), r.cancelled ? "true" : "false",
                JsonText(message).c_str(), JsonText(r.errorLog.ToUtf8()).c_str(),
                JsonText(r.operationLog.ToUtf8()).c_str());
  } else {
    std::FILE* out = clean ? stdout : stderr;
    std::fprintf(out, "orxhost %s: %s\n", command.c_str(), message.c_str());
    if (r.errorLog.Content())
      std::fprintf(out, "error log: %s\noperation log: %s\n", r.errorLog.ToUtf8().c_str(),
                   r.operationLog.ToUtf8().c_str());
  }
  return clean ? 0 : 1;
}

// --- export-library ---

orxhost::CommandSyntax ExportSyntax()
{
  orxhost::CommandSyntax s;
  s.name = "export-library";
  s.options = {{"json", 0, nullptr,
                "one JSON object: ok, command, library, folder, errors, cancelled,\n"
                "message, error_log, operation_log"}};
  s.operands = {"preset://NAME.libqz", "DEST"};
  s.about = "Writes the registered preset library as a folder tree at DEST (a trailing\n"
            ".libqz is taken off): one .cbinfo description beside every folder and preset,\n"
            "the presets' data, settings (.bc) and preview pictures (JPEG), and DEST.cbinfo\n"
            "for the library itself. Files of an older export there are replaced whole;\n"
            "links there are replaced, never written through. The run's error_log.txt and\n"
            "operation_log.txt go into DEST (older ones are kept as .bak) and their paths\n"
            "are printed at the end. A bar shows the progress on a terminal; Ctrl-C stops,\n"
            "and a stopped export fails.\n"
            "\n"
            "Exit status: 0 when the export succeeded without errors, 1 when it failed or\n"
            "logged errors, 2 for wrong arguments.";
  return s;
}

int RunExport(const Options& o)
{
  OrxContentToolRequest r;
  Url url(o.first);
  Node root(g_lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr));
  if (!root)
    return Report("export-library", o, "library", "folder", o.second, r, "no such library: " + o.first);
  r.flags = CONTENTTOOL_ENABLE;
  r.destination = AbsolutePath(o.second);
  r.progress = &StopWhenInterrupted;
  InterruptScope interrupts;
  const Int32 rc = g_lib->content->Message(root.Get(), BROWSERCONTENTTOOL_ID, BROWSERCONTENTTOOL_KIND,
                                           CONTENTTOOL_EXPORT, &r);
  return Report("export-library", o, "library", "folder", r.folder.ToUtf8(), r,
                rc != 0 ? o.first + " is no preset library the content tool can export" : std::string());
}

// --- build-library ---

orxhost::CommandSyntax BuildSyntax()
{
  orxhost::CommandSyntax s;
  s.name = "build-library";
  s.options = {{"json", 0, nullptr,
                "one JSON object: ok, command, source, target, errors, cancelled,\n"
                "message, error_log, operation_log"}};
  s.operands = {"SRC", "TARGET.libqz"};
  s.about = "Builds a new preset library file TARGET from a folder tree in the content tool's\n"
            "layout. SRC is the top-level description (NAME.cbinfo, of type=library) or the\n"
            "folder NAME beside it; the library is named after that folder. Only files inside\n"
            "the tree are read: links, pipes and devices are skipped, and an item reads at most\n"
            "256 MB. TARGET must not exist: the library is built as TARGET.new and renamed\n"
            "once it was walked to its end and written; a cancel (Ctrl-C) leaves nothing under\n"
            "the name. error_log.txt and operation_log.txt are written beside TARGET (an\n"
            "older log is kept as .bak). A bar shows the progress on a terminal. Exits 1 when\n"
            "the build failed or logged errors.";
  return s;
}

int RunBuild(const Options& o)
{
  OrxContentToolRequest r;
  r.flags = CONTENTTOOL_ENABLE;
  r.source = AbsolutePath(o.first);
  r.destination = AbsolutePath(o.second);
  r.progress = &StopWhenInterrupted;
  InterruptScope interrupts;
  const Int32 rc = g_lib->content->Message(nullptr, BROWSERCONTENTTOOL_ID, BROWSERCONTENTTOOL_KIND, CONTENTTOOL_BUILD, &r);
  return Report("build-library", o, "source", "target", o.second, r,
                rc != 0 ? std::string("the plug-in does not build libraries") : std::string());
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

namespace {

// The command's own parse: the exit code, or -1 with o filled when the command should run.
int ParseFor(const std::string& command, const std::vector<std::string>& args, Options* o)
{
  if (command != "export-library" && command != "build-library")
    return 2;
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseArguments(command == "export-library" ? ExportSyntax() : BuildSyntax(), args, &a); rc >= 0)
    return rc;
  o->first = a.Operand(0);
  o->second = a.Operand(1);
  o->json = a.Has("json");
  return -1;
}

} // namespace

int ParseContentToolArguments(const std::string& command, const std::vector<std::string>& args)
{
  Options o;
  return ParseFor(command, args, &o);
}

int RunContentToolCommand(const std::string& command, const std::vector<std::string>& args)
{
  Options o;
  if (int rc = ParseFor(command, args, &o); rc >= 0)
    return rc;
  return RunWithBrowserLibrary(command, [&] { return command == "export-library" ? RunExport(o) : RunBuild(o); });
}
