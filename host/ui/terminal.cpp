// The terminal front end.
#include "ui/terminal.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace orxhost::ui {

TerminalOptions DefaultTerminalOptions()
{
  TerminalOptions o;
  o.interactive = ::isatty(0) == 1;
  o.drawProgress = ::isatty(2) == 1;
  return o;
}

std::string ProgressLine(const std::string& title, double part, double seconds)
{
  part = std::clamp(std::isfinite(part) ? part : 0.0, 0.0, 1.0);
  constexpr int kWidth = 30;
  const int filled = int(part * kWidth);
  std::string bar(std::size_t(filled), '#');
  bar.append(std::size_t(kWidth - filled), '-');
  char tail[96];
  // The rate since the start; the time left follows from it once something was done.
  if (part > 0 && seconds > 0) {
    const double rate = part * 100 / seconds;
    const long left = std::lround((1 - part) * seconds / part);
    std::snprintf(tail, sizeof tail, "%5.1f %%/s  %ld:%02ld left", rate, left / 60, left % 60);
  } else {
    std::snprintf(tail, sizeof tail, "    - %%/s  -:-- left");
  }
  char line[256];
  std::snprintf(line, sizeof line, "%s[%s] %3d%%  %s", title.empty() ? "" : (title + " ").c_str(), bar.c_str(),
                int(part * 100), tail);
  return line;
}

bool TerminalFrontEnd::RunModal(Int32 dialog)
{
  const auto start = std::chrono::steady_clock::now();
  auto last = start - std::chrono::seconds(1);
  bool shown = false;
  DialogView v;
  while (GetDialog(dialog, &v) && v.open) {
    // Drawn before the pump: a dialog whose work ends within its first pump still shows its bar once.
    if (opt_.drawProgress) {
      const auto now = std::chrono::steady_clock::now();
      // Redrawn at most ten times a second.
      for (const Gadget& g : v.gadgets)
        if (g.kind == ORX_GADGET_PROGRESS && g.visible && now - last >= std::chrono::milliseconds(100)) {
          last = now;
          const double secs = std::chrono::duration<double>(now - start).count();
          std::fprintf(opt_.err, "\r%s\033[K", ProgressLine(v.title, g.floatValue, secs).c_str());
          std::fflush(opt_.err);
          shown = true;
          ++drawn_;
          break;
        }
    }
    Pump();
    if (!GetDialog(dialog, &v) || !v.open)
      break;
    const Int64 next = NextTimerIn(Clock());
    std::unique_lock<std::mutex> g(lock_);
    wake_.wait_for(g, std::chrono::milliseconds(next < 0 ? 50 : std::min<Int64>(next, 50)), [&] { return woken_; });
    woken_ = false;
  }
  if (shown) {
    std::fputs("\r\033[K", opt_.err);
    std::fflush(opt_.err);
  }
  return true;
}

void TerminalFrontEnd::Wake()
{
  {
    std::lock_guard<std::mutex> g(lock_);
    woken_ = true;
  }
  wake_.notify_one();
}

std::string TerminalFrontEnd::ReadLine()
{
  std::string line;
  for (int c; (c = std::fgetc(opt_.in)) != EOF && c != '\n';)
    line += char(c);
  return line;
}

Int32 TerminalFrontEnd::MessageBox(const std::string& text, Int32 style)
{
  if (style != ORX_MB_YESNO) {
    std::fprintf(opt_.err, "orxhost: %s%s\n", style == ORX_MB_WARNING ? "warning: " : "", text.c_str());
    return ORX_MB_OK;
  }
  if (opt_.answer == ORX_MB_YES || opt_.answer == ORX_MB_NO) {
    std::fprintf(opt_.err, "orxhost: %s %s\n", text.c_str(), opt_.answer == ORX_MB_YES ? "(yes: --yes)" : "(no: --no)");
    return opt_.answer;
  }
  if (!opt_.interactive) {
    // Nobody to ask: the answer that changes nothing.
    std::fprintf(opt_.err, "orxhost: %s (no: not asked off a terminal; --yes answers yes)\n", text.c_str());
    return ORX_MB_NO;
  }
  for (;;) {
    std::fprintf(opt_.err, "%s [y/n] ", text.c_str());
    std::fflush(opt_.err);
    if (std::feof(opt_.in))
      return ORX_MB_NO;
    std::string a = ReadLine();
    if (a == "y" || a == "Y" || a == "yes")
      return ORX_MB_YES;
    if (a == "n" || a == "N" || a == "no" || std::feof(opt_.in))
      return ORX_MB_NO;
  }
}

bool TerminalFrontEnd::SelectFile(std::string& name, Int32, const std::string& title)
{
  if (!opt_.files.empty()) {
    name = opt_.files.front();
    opt_.files.erase(opt_.files.begin());
    return !name.empty();
  }
  if (!opt_.interactive) {
    std::fprintf(opt_.err, "orxhost: %s: no file given (--select FILE)\n", title.c_str());
    return false;
  }
  std::fprintf(opt_.err, "%s: ", title.empty() ? "file" : title.c_str());
  std::fflush(opt_.err);
  std::string line = ReadLine();
  if (line.empty())
    return false;
  name = line;
  return true;
}

void TerminalFrontEnd::PopupEdit(Int32 dialog, Int32, Int32, Int32, Int32, const std::string&, void* userData)
{
  // No editing in place on a terminal: the edit is cancelled, which the dialog learns as usual.
  FinishPopupEdit(dialog, false, std::string(), userData);
}

} // namespace orxhost::ui
