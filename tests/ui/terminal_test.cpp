// The terminal front end: printed messages, answers by flag or by the person at the terminal, file
// selection from arguments, and the progress bar of a modal dialog.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "orxtest.h"
#include "testplugin.h"
#include "ui/terminal.h"

namespace ui = orxhost::ui;

namespace {
// A terminal front end over memory streams: `input` is what the person types.
class TerminalTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ui::BindMainThread();
    ui::Reset();
    err_ = open_memstream(&errBuf_, &errSize_);
  }
  void TearDown() override
  {
    ui::SetFrontEnd(nullptr);
    fe_.reset();
    ui::Reset();
    std::fclose(err_);
    std::free(errBuf_);
    if (in_)
      std::fclose(in_);
    in_ = nullptr;
    err_ = nullptr;
    errBuf_ = nullptr;
  }
  ui::TerminalFrontEnd& Use(ui::TerminalOptions o, const std::string& input = std::string())
  {
    input_ = input;
    in_ = fmemopen(input_.data(), std::max<std::size_t>(input_.size(), 1), "r");
    if (input_.empty())
      std::fgetc(in_); // at the end: nothing typed
    o.in = in_;
    o.err = err_;
    fe_ = std::make_unique<ui::TerminalFrontEnd>(o);
    ui::SetFrontEnd(fe_.get());
    return *fe_;
  }
  std::string Err()
  {
    std::fflush(err_);
    return std::string(errBuf_, errSize_);
  }

  std::FILE* err_ = nullptr;
  std::FILE* in_ = nullptr;
  char* errBuf_ = nullptr;
  std::size_t errSize_ = 0;
  std::string input_;
  std::unique_ptr<ui::TerminalFrontEnd> fe_;
};
} // namespace

TEST_F(TerminalTest, ProgressLineShowsBarPercentRateAndTimeLeft)
{
  EXPECT_EQ(ui::ProgressLine("Export", 0.25, 10), "Export [#######-----------------------]  25%    2.5 %/s  0:30 left");
  EXPECT_EQ(ui::ProgressLine("", 0.5, 120), "[###############---------------]  50%    0.4 %/s  2:00 left");
  // Nothing done yet: no rate to tell, and values outside 0..1 are held at the ends.
  EXPECT_NE(ui::ProgressLine("", 0, 3).find("-:-- left"), std::string::npos);
  EXPECT_NE(ui::ProgressLine("", 7, 3).find("100%"), std::string::npos);
  EXPECT_NE(ui::ProgressLine("", std::nan(""), 3).find("  0%"), std::string::npos);
}

TEST_F(TerminalTest, QuestionsAreAnsweredByFlagsOrByThePersonOrNo)
{
  ui::TerminalOptions yes;
  yes.answer = ORX_MB_YES;
  Use(yes);
  EXPECT_TRUE(GeQuestionDialog(String("Overwrite?")));
  EXPECT_NE(Err().find("Overwrite? (yes: --yes)"), std::string::npos);
  TearDown();
  SetUp();

  ui::TerminalOptions no;
  no.answer = ORX_MB_NO;
  Use(no);
  EXPECT_FALSE(GeQuestionDialog(String("Overwrite?")));
  TearDown();
  SetUp();

  // Nobody at a terminal: no, and the output says how to answer yes.
  Use(ui::TerminalOptions{});
  EXPECT_FALSE(GeQuestionDialog(String("Delete?")));
  EXPECT_NE(Err().find("--yes"), std::string::npos);
  TearDown();
  SetUp();

  // A person types: unclear answers are asked again; the end of input is no.
  ui::TerminalOptions person;
  person.interactive = true;
  Use(person, "maybe\ny\nn\n");
  EXPECT_TRUE(GeQuestionDialog(String("Delete?")));
  EXPECT_EQ(Err(), "Delete? [y/n] Delete? [y/n] ");
  EXPECT_FALSE(GeQuestionDialog(String("Delete?")));
  EXPECT_FALSE(GeQuestionDialog(String("Delete?")));
}

TEST_F(TerminalTest, MessagesArePrintedAndFilesComeFromArguments)
{
  ui::TerminalOptions o;
  o.files = {"/data/a.libqz", "/data/b"};
  Use(o);
  EXPECT_EQ(GeOutString(String("Library built"), ORX_MB_PLAIN), ORX_MB_OK);
  EXPECT_EQ(GeOutString(String("Disk full"), ORX_MB_WARNING), ORX_MB_OK);
  EXPECT_EQ(Err(), "orxhost: Library built\norxhost: warning: Disk full\n");
  Filename f;
  ASSERT_TRUE(GeFileSelect(f, ORX_FILESELECT_LOAD, String("Library")));
  EXPECT_EQ(f.ToUtf8(), "/data/a.libqz");
  ASSERT_TRUE(GeFileSelect(f, ORX_FILESELECT_FOLDER, String("Folder")));
  EXPECT_EQ(f.ToUtf8(), "/data/b");
  EXPECT_FALSE(GeFileSelect(f, ORX_FILESELECT_SAVE, String("Target")));
  EXPECT_NE(Err().find("Target: no file given"), std::string::npos);
}

TEST_F(TerminalTest, ModalProgressBecomesABarOnlyOnATerminal)
{
  for (bool terminal : {false, true}) {
    ui::TerminalOptions o;
    o.drawProgress = terminal;
    ui::TerminalFrontEnd& fe = Use(o);
    testplugin::ProgressDialog p;
    p.worker.steps = 10;
    p.worker.allowed = 3;
    // The worker holds at step 3 until the bar was drawn a few times (off a terminal: at once).
    std::thread release([&] {
      while (terminal && fe.LinesDrawn() < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      p.worker.allowed = 10;
    });
    ASSERT_TRUE(p.Open());
    release.join();
    EXPECT_TRUE(p.GetResult());
    const std::string out = Err();
    if (terminal) {
      EXPECT_GT(fe.LinesDrawn(), 0);
      EXPECT_NE(out.find("Exporting [#########"), std::string::npos) << out;
      EXPECT_NE(out.find("left"), std::string::npos);
      // The line is removed at the end.
      EXPECT_EQ(out.substr(out.size() - 4), "\r\033[K");
    } else {
      EXPECT_EQ(fe.LinesDrawn(), 0);
      EXPECT_EQ(out, "");
    }
    TearDown();
    SetUp();
  }
}
