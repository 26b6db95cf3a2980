#include "contenttoolcommands.h"

#include <atomic>
#include <csignal>

#include "browserclient.h"
#include "orx/browsercontenttool.h"

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

} // namespace

bool IsContentToolCommand(const std::string& command) { return command == "export-library"; }

void ContentToolCommandSummary(std::FILE* out)
{
  std::fprintf(out, "  export-library URL DEST write a preset library as a folder tree of descriptions,\n"
                    "                          data, settings and previews (--json)\n");
}

int ParseContentToolArguments(const std::string& command, const std::vector<std::string>& args)
{
  if (command == "export-library") {
    ExportOptions o;
    return ParseExport(args, &o);
  }
  return 2;
}

int RunContentToolCommand(const std::string& command, const std::vector<std::string>& args)
{
  if (command == "export-library") {
    ExportOptions o;
    if (int rc = ParseExport(args, &o); rc >= 0)
      return rc;
    if (!OpenBrowserLibrary(command))
      return 1;
    const int rc = RunExport(o);
    CloseBrowserLibrary();
    return rc;
  }
  return 2;
}
