// The terminal front end of the user-interface model, for orxhost's commands: message boxes are
// printed, yes/no questions are answered by a flag or by the person at the terminal, modal
// progress dialogs become a progress bar, and file selections come from the arguments.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "ui/uimodel.h"

namespace orxhost::ui {

struct TerminalOptions
{
  Int32 answer = 0;                // ORX_MB_YES or ORX_MB_NO from --yes or --no; 0: ask
  std::vector<std::string> files;  // file selections, in order
  std::FILE* in = stdin;
  std::FILE* err = stderr;
  bool interactive = false;        // a person answers on `in`
  bool drawProgress = false;       // `err` is a terminal: draw the bar in place
};

// The options of this process: the terminal tests of stdin and stderr.
TerminalOptions DefaultTerminalOptions();

// One line of a progress bar: the bar, the percentage, the rate and the time left.
std::string ProgressLine(const std::string& title, double part, double seconds);

class TerminalFrontEnd final : public FrontEnd
{
public:
  explicit TerminalFrontEnd(TerminalOptions o) : opt_(std::move(o)) {}
  bool RunModal(Int32 dialog) override;
  Int32 MessageBox(const std::string& text, Int32 style) override;
  bool SelectFile(std::string& name, Int32 kind, const std::string& title) override;
  void PopupEdit(Int32 dialog, Int32, Int32, Int32, Int32, const std::string&, void* userData) override;
  Int32 PopupMenu(Int32, Int32, Int32, const std::vector<Item>&) override { return 0; }
  bool RunDrag() override { return false; }
  void Wake() override;
  // Progress lines drawn so far (tests).
  int LinesDrawn() const { return drawn_.load(); }

private:
  std::string ReadLine();
  TerminalOptions opt_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool woken_ = false;
  std::atomic<int> drawn_{0};
};

} // namespace orxhost::ui
