// orxhost: the stand-in host. Loads the content browser plug-in and runs it.
#include <cstdio>
#include <cstring>
#include <string>

#include "orx/services.h"
#include "pluginloader.h"
#include "services/host.h"
#include "services/internal.h"

namespace {
void Usage(std::FILE* out)
{
  std::fprintf(out,
               "usage: orxhost [--module PATH] [--quiet] [COMMAND]\n"
               "\n"
               "Loads the content browser plug-in (browser.so beside orxhost, or PATH, or\n"
               "$ORXHOST_MODULE), runs its whole start order and end order, and reports the\n"
               "host memory that is still allocated at the end.\n"
               "\n"
               "commands:\n"
               "  run       start and end the plug-in, printing every call (the default)\n"
               "\n"
               "options:\n"
               "  --module PATH  the plug-in to load\n"
               "  --quiet        print only errors and the memory report\n"
               "  --help         this text\n"
               "\n"
               "environment: ORXHOST_HOME moves every folder of the host under one root.\n");
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
} // namespace

int main(int argc, char** argv)
{
  std::string module = DefaultModulePath();
  std::string command = "run";
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      Usage(stdout);
      return 0;
    } else if (!std::strcmp(argv[i], "--module") && i + 1 < argc) {
      module = argv[++i];
    } else if (!std::strcmp(argv[i], "--quiet")) {
      quiet = true;
    } else if (argv[i][0] != '-' && command == "run") {
      command = argv[i];
    } else {
      std::fprintf(stderr, "orxhost: unknown argument '%s'\n", argv[i]);
      Usage(stderr);
      return 2;
    }
  }
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
