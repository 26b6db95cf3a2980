// orxhost: the stand-in host. Loads the content browser plug-in and runs it.
#include <cstdio>
#include <string>
#include <vector>

#include "browsecommands.h"
#include "commandline.h"
#include "contenttoolcommands.h"
#include "filecommands.h"
#include "guicommand.h"
#include "networkcommands.h"
#include "orx/services.h"
#include "pluginloader.h"
#include "previewcommands.h"
#include "presetcommands.h"
#include "scenecommands.h"
#include "services/host.h"
#include "services/internal.h"

namespace {
void Commands(std::FILE* out)
{
  std::fprintf(out,
               "commands:\n"
               "  run       start and end the plug-in, printing every call (the default)\n");
  BrowseCommandSummary(out);
  FileCommandSummary(out);
  GuiCommandSummary(out);
  PreviewCommandSummary(out);
  SceneCommandSummary(out);
  PresetCommandSummary(out);
  ContentToolCommandSummary(out);
}

orxhost::CommandSyntax HostSyntax()
{
  orxhost::CommandSyntax s;
  s.options = {{"module", 0, "PATH", "the plug-in to load"},
               {"quiet", 0, nullptr, "print only errors and the memory report"},
               {"verbose", 0, nullptr, "browse commands: also print the plug-in's console lines"},
               {"yes", 0, nullptr, "answer yes to the plug-in's yes/no questions"},
               {"no", 0, nullptr, "answer no to them (otherwise a person at the terminal is\nasked, or the answer is no)"},
               {"select", 0, "FILE", "answer the plug-in's next file selection", true}};
  s.operands = {"COMMAND", "ARGUMENTS..."};
  s.required = 0;
  s.optionsFirst = true;
  s.about = "Loads the content browser plug-in (browser.so beside orxhost, or PATH, or\n"
            "$ORXHOST_MODULE), runs its whole start order and end order, and reports the\n"
            "host memory that is still allocated at the end.";
  s.list = Commands;
  s.more = "environment: ORXHOST_HOME moves every folder of the host under one root;\n"
           "under it, network places are its folders network/SERVER/SHARE.";
  return s;
}

// Ends the host's own use of host memory and reports what is left; 0 when nothing is.
int ReportMemory()
{
  GeSavePrefs();
  orxhost::detail::FreePrefs();
  Int64 live = orxhost::LiveBlockCount();
  std::printf("orxhost: live host blocks: %lld\n", static_cast<long long>(live));
  if (live)
    orxhost::PrintLiveBlocks(stdout);
  return live ? 1 : 0;
}

// Browse commands keep standard output for their result: the report goes to standard error, and
// only when something is left.
int ReportMemoryQuietly()
{
  GeSavePrefs();
  orxhost::detail::FreePrefs();
  Int64 live = orxhost::LiveBlockCount();
  if (live) {
    std::fprintf(stderr, "orxhost: live host blocks: %lld\n", static_cast<long long>(live));
    orxhost::PrintLiveBlocks(stderr);
  }
  return live ? 1 : 0;
}

int Browse(const std::string& module, const std::string& command, const std::vector<std::string>& args, bool verbose)
{
  const bool preview = IsPreviewCommand(command);
  const bool preset = IsPresetCommand(command);
  const bool tool = IsContentToolCommand(command);
  if (int rc = tool      ? ParseContentToolArguments(command, args)
               : preset  ? ParsePresetArguments(args)
               : preview ? ParsePreviewArguments(command, args)
                         : ParseBrowseArguments(command, args);
      rc >= 0)
    return rc;
  orxhost::InstallForThisProcess();
  orxhost::SetConsoleEcho(false);
  int rc = 1;
  StartNetworkFaults();
  {
    PluginLoader plugin(false);
    if (plugin.Load(module) && plugin.Start())
      rc = tool      ? RunContentToolCommand(command, args)
           : preset  ? RunPresetCommand(args)
           : preview ? RunPreviewCommand(command, args)
                     : RunBrowseCommand(command, args);
    plugin.Stop();
  }
  EndNetworkFaults();
  if (verbose)
    for (const std::string& line : orxhost::ConsoleLines())
      std::fprintf(stderr, "%s\n", line.c_str());
  int mem = ReportMemoryQuietly();
  return rc ? rc : mem;
}
} // namespace

int main(int argc, char** argv)
{
  const orxhost::CommandSyntax syntax = HostSyntax();
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseArguments(syntax, std::vector<std::string>(argv + 1, argv + argc), &a); rc >= 0)
    return rc;
  const std::string command = a.Operands().empty() ? "run" : a.Operand(0);
  std::vector<std::string> commandArgs(a.Operands().begin() + (a.Operands().empty() ? 0 : 1), a.Operands().end());
  std::vector<std::pair<std::string, std::string>> given = a.Given();
  // run has no arguments of its own: the host's options may follow it.
  if (command == "run") {
    orxhost::CommandSyntax run = syntax;
    run.name = "run";
    run.operands.clear();
    run.optionsFirst = false;
    run.list = nullptr;
    orxhost::ParsedArguments more;
    if (int rc = orxhost::ParseArguments(run, commandArgs, &more); rc >= 0)
      return rc;
    given.insert(given.end(), more.Given().begin(), more.Given().end());
    commandArgs.clear();
  }
  std::string module = DefaultModulePath();
  bool quiet = false;
  bool verbose = false;
  for (const auto& [name, value] : given) {
    if (name == "module") {
      module = value;
    } else if (name == "quiet") {
      quiet = true;
    } else if (name == "verbose") {
      verbose = true;
    } else {
      std::string flag = "--" + name, text = value;
      char* terminal[] = {flag.data(), text.data()};
      int at = 0;
      ParseTerminalOption(name == "select" ? 2 : 1, terminal, at);
    }
  }
  if (command != "run" && command != "gui" && command != "file" && command != "scene" && !IsBrowseCommand(command) &&
      !IsPreviewCommand(command) && !IsPresetCommand(command) && !IsContentToolCommand(command)) {
    std::fprintf(stderr, "orxhost: unknown command '%s' (see orxhost --help)\n", command.c_str());
    return 2;
  }
  UseTerminalFrontEnd();
  if (command == "gui")
    return RunGuiCommand(module, commandArgs);
  if (IsBrowseCommand(command) || IsPreviewCommand(command) || IsPresetCommand(command) ||
      IsContentToolCommand(command))
    return Browse(module, command, commandArgs, verbose);
  if (command == "file")
    return RunFileCommand(commandArgs);
  if (command == "scene")
    return RunSceneCommand(commandArgs);

  orxhost::InstallForThisProcess();
  orxhost::SetConsoleEcho(!quiet);
  int rc = 0;
  {
    PluginLoader plugin(!quiet);
    if (!plugin.Load(module))
      rc = 1;
    else if (!plugin.Start())
      rc = 1;
    plugin.Stop();
  }
  int mem = ReportMemory();
  return rc ? rc : mem;
}
