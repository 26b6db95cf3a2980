// orxhost: the stand-in host. Loads the content browser plug-in and runs it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "browsecommands.h"
#include "filecommands.h"
#include "guicommand.h"
#include "networkcommands.h"
#include "orx/services.h"
#include "pluginloader.h"
#include "contenttoolcommands.h"
#include "previewcommands.h"
#include "presetcommands.h"
#include "scenecommands.h"
#include "services/host.h"
#include "services/internal.h"

namespace {
void Usage(std::FILE* out)
{
  std::fprintf(out,
               "usage: orxhost [--module PATH] [--quiet] [COMMAND [ARGUMENTS]]\n"
               "\n"
               "Loads the content browser plug-in (browser.so beside orxhost, or PATH, or\n"
               "$ORXHOST_MODULE), runs its whole start order and end order, and reports the\n"
               "host memory that is still allocated at the end.\n"
               "\n"
               "commands:\n"
               "  run       start and end the plug-in, printing every call (the default)\n");
  BrowseCommandSummary(out);
  FileCommandSummary(out);
  GuiCommandSummary(out);
  PreviewCommandSummary(out);
  ContentToolCommandSummary(out);
  SceneCommandSummary(out);
  PresetCommandSummary(out);
  std::fprintf(out,
               "\n"
               "options:\n"
               "  --module PATH  the plug-in to load\n"
               "  --quiet        print only errors and the memory report\n"
               "  --verbose      browse commands: also print the plug-in's console lines\n"
               "  --help         this text\n"
               "\n"
               "environment: ORXHOST_HOME moves every folder of the host under one root;\n"
               "under it, network places are its folders network/SERVER/SHARE.\n");
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
  if (int rc = preset    ? ParsePresetArguments(args)
               : preview ? ParsePreviewArguments(command, args)
               : tool    ? ParseContentToolArguments(command, args)
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
      rc = preset    ? RunPresetCommand(args)
           : preview ? RunPreviewCommand(command, args)
           : tool    ? RunContentToolCommand(command, args)
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
  std::string module = DefaultModulePath();
  std::string command = "run";
  bool quiet = false;
  bool verbose = false;
  std::vector<std::string> commandArgs;
  for (int i = 1; i < argc; ++i) {
    if (IsBrowseCommand(command) || IsPreviewCommand(command) || IsPresetCommand(command) ||
        IsContentToolCommand(command) || command == "file" ||
        command == "gui" || command == "scene") {
      commandArgs.push_back(argv[i]);
      continue;
    }
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      Usage(stdout);
      return 0;
    } else if (!std::strcmp(argv[i], "--module") && i + 1 < argc) {
      module = argv[++i];
    } else if (!std::strcmp(argv[i], "--quiet")) {
      quiet = true;
    } else if (!std::strcmp(argv[i], "--verbose")) {
      verbose = true;
    } else if (ParseTerminalOption(argc, argv, i)) {
    } else if (argv[i][0] != '-' && command == "run") {
      command = argv[i];
    } else {
      std::fprintf(stderr, "orxhost: unknown argument '%s'\n", argv[i]);
      Usage(stderr);
      return 2;
    }
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
  if (command != "run") {
    std::fprintf(stderr, "orxhost: unknown command '%s'\n", command.c_str());
    Usage(stderr);
    return 2;
  }

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
