// orxhost gui, and the terminal front end of every other command.
#include "guicommand.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "browserclient.h"
#include "commandline.h"
#include "pluginloader.h"
#include "services/host.h"
#include "ui/terminal.h"
#include "ui/uimodel.h"

#ifdef ORX_HAVE_QT
#include "qt/qtfrontend.h"
#endif

namespace {
orxhost::ui::TerminalOptions& Options()
{
  static orxhost::ui::TerminalOptions o = orxhost::ui::DefaultTerminalOptions();
  return o;
}

orxhost::CommandSyntax GuiSyntax()
{
  orxhost::CommandSyntax s;
  s.name = "gui";
  s.options = {{"screenshot", 0, "FILE.png", "render the window into FILE.png and quit"},
               {"after", 0, "MS", "milliseconds before the screenshot, 0 to 600000 (default 500)"},
               {"json", 0, nullptr, "print the menu and the screenshot as one JSON object"}};
  s.about = "Opens the host's main window: a menu of the commands the plug-in registered, the\n"
            "preferences window with its pages, and the console lines. With --screenshot, the\n"
            "window (its command menu open) is rendered into FILE.png after MS milliseconds\n"
            "and orxhost quits; with QT_QPA_PLATFORM=offscreen no display is needed.";
  return s;
}

} // namespace

void GuiCommandSummary(std::FILE* out)
{
  std::fprintf(out,
               "  gui       the host's window with the plug-in's command menu (gui --help)\n"
               "\n"
               "questions on the terminal (before the command): --yes or --no answers the plug-in's\n"
               "yes/no questions (otherwise a person at the terminal is asked, or the answer is no);\n"
               "--select FILE answers its next file selection.\n");
}

bool ParseTerminalOption(int argc, char** argv, int& i)
{
  if (!std::strcmp(argv[i], "--yes")) {
    Options().answer = ORX_MB_YES;
    return true;
  }
  if (!std::strcmp(argv[i], "--no")) {
    Options().answer = ORX_MB_NO;
    return true;
  }
  if (!std::strcmp(argv[i], "--select") && i + 1 < argc) {
    Options().files.push_back(argv[++i]);
    return true;
  }
  return false;
}

void UseTerminalFrontEnd()
{
  static std::unique_ptr<orxhost::ui::TerminalFrontEnd> fe;
  orxhost::ui::BindMainThread();
  fe = std::make_unique<orxhost::ui::TerminalFrontEnd>(Options());
  orxhost::ui::SetFrontEnd(fe.get());
}

int RunGuiCommand(const std::string& module, const std::vector<std::string>& args)
{
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseArguments(GuiSyntax(), args, &a); rc >= 0)
    return rc;
  const std::string screenshot = a.Value("screenshot");
  int after = 500;
  const bool json = a.Has("json");
  if (a.Has("after")) {
    long long v = 0;
    if (!orxhost::ParseWholeNumber(a.Value("after"), 0, 600000, &v))
      return orxhost::RefuseArgument("gui", "--after takes milliseconds from 0 to 600000, not '" + a.Value("after") + "'");
    after = int(v);
  }
#ifndef ORX_HAVE_QT
  (void)module;
  (void)after;
  (void)json;
  std::fprintf(stderr, "orxhost gui: this orxhost was built without Qt 6 (qt6-base-dev), so it has no window\n");
  return 3;
#else
  orxhost::InstallForThisProcess();
  orxhost::SetConsoleEcho(false);
  orxhost::ui::BindMainThread();
  int rc = 1;
  {
    orxhost::qt::MainWindowOptions o;
    o.screenshot = screenshot;
    o.afterMs = after;
    PluginLoader plugin(false);
    if (plugin.Load(module) && plugin.Start()) {
      orxhost::qt::MainWindowResult r;
      rc = orxhost::qt::RunMainWindow(o, &r);
      if (json) {
        std::printf("{\"menu\":[");
        for (std::size_t i = 0; i < r.menu.size(); ++i)
          std::printf("%s%s", i ? "," : "", JsonText(r.menu[i]).c_str());
        std::printf("],\"preferences\":[");
        for (std::size_t i = 0; i < r.pages.size(); ++i)
          std::printf("%s%s", i ? "," : "", JsonText(r.pages[i]).c_str());
        std::printf("],\"screenshot\":%s,\"width\":%d,\"height\":%d,\"ok\":%s}\n", JsonText(screenshot).c_str(),
                    r.width, r.height, rc == 0 ? "true" : "false");
      } else if (!screenshot.empty() && rc == 0) {
        std::printf("orxhost gui: %s (%dx%d)\n", screenshot.c_str(), r.width, r.height);
      }
    }
    plugin.Stop();
  }
  return rc;
#endif
}
