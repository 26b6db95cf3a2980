// The Qt front end on the offscreen platform: the test plug-in's window with every gadget kind and
// its grid, rendered into an image, and driven through its widgets.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>

#include <thread>

#include "orxtest.h"
#include "qt/qtfrontend.h"
#include "testplugin.h"

namespace ui = orxhost::ui;
namespace oq = orxhost::qt;
using namespace testplugin;

namespace {
class QtTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ui::BindMainThread();
    ui::Reset();
    fe_ = oq::StartQt();
  }
  void TearDown() override
  {
    oq::StopQt(fe_);
    ui::Reset();
  }
  // Runs Qt's events until the condition holds (false when it never does within a long time).
  template <typename F>
  static bool Until(F&& f)
  {
    QElapsedTimer t;
    t.start();
    while (!f()) {
      if (t.elapsed() > 60000)
        return false;
      QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
  }
  template <typename W>
  static W* Find(QWidget* root, const QString& text)
  {
    for (W* w : root->findChildren<W*>())
      if constexpr (std::is_base_of_v<QAbstractButton, W>) {
        if (w->text() == text)
          return w;
      } else if (w->text() == text)
        return w;
    return nullptr;
  }
  std::shared_ptr<oq::QtFrontEnd> fe_;
};

bool Near(QColor a, UInt32 rgb)
{
  return std::abs(a.red() - int((rgb >> 16) & 255)) <= 2 && std::abs(a.green() - int((rgb >> 8) & 255)) <= 2 &&
         std::abs(a.blue() - int(rgb & 255)) <= 2;
}
} // namespace

TEST_F(QtTest, DialogWithEveryGadgetRendersItsGridAndFollowsTheModel)
{
  TestDialog d;
  ASSERT_TRUE(d.Open(500, 640));
  QWidget* win = oq::DialogWidget(*fe_, d.GetHandle());
  ASSERT_NE(win, nullptr);
  EXPECT_EQ(win->windowTitle(), "Test Browser");
  EXPECT_NE(Find<QPushButton>(win, "Rename"), nullptr);
  EXPECT_NE(Find<QLabel>(win, "Name"), nullptr);
  ASSERT_TRUE(Until([&] { return win->isVisible(); }));
  const QImage shot = oq::Render(win);
  EXPECT_GE(shot.width(), GridArea::kColumns * GridArea::kCell);
  EXPECT_GE(shot.height(), 3 * GridArea::kCell);

  // The grid: its background in the host colour, and names written in the text colour.
  QScrollArea* scroll = win->findChild<QScrollArea*>();
  ASSERT_NE(scroll, nullptr);
  QWidget* grid = scroll->widget();
  ASSERT_NE(grid, nullptr);
  EXPECT_EQ(grid->minimumHeight(), 10 * GridArea::kCell);
  const QImage area = oq::Render(grid);
  ASSERT_FALSE(area.isNull());
  // Between the picture and the name of the first cell lies bare background.
  EXPECT_TRUE(Near(area.pixelColor(2, GridArea::kPicture + 4), ui::HostColor(ORX_COLOR_BG)))
      << area.pixelColor(2, GridArea::kPicture + 4).name().toStdString();
  int textPixels = 0;
  const int fh = QFontMetrics(QApplication::font()).height();
  for (int y = GridArea::kCell - fh; y < GridArea::kCell; ++y)
    for (int x = 0; x < GridArea::kCell; ++x)
      textPixels += area.pixelColor(x, y).lightness() > 150;
  EXPECT_GT(textPixels, 10);
  // The picture of item 0 is drawn scaled: its lower right is blue-green from the bitmap.
  const QColor pic = area.pixelColor((GridArea::kCell + GridArea::kPicture) / 2 - 2, 2 + GridArea::kPicture - 2);
  EXPECT_GT(pic.green(), 150);
  EXPECT_GT(pic.blue(), 150);

  // A click on the check box goes through the model into the dialog, which disables a gadget.
  QCheckBox* box = Find<QCheckBox>(win, "Sub-folders");
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->isChecked());
  box->click();
  EXPECT_EQ(d.commands.back(), TestDialog::ID_RECURSIVE);
  QDoubleSpinBox* count = nullptr;
  for (QDoubleSpinBox* s : win->findChildren<QDoubleSpinBox*>())
    if (s->value() == 10)
      count = s;
  ASSERT_NE(count, nullptr);
  EXPECT_FALSE(count->isEnabled());

  // A worker's progress arrives through the posts, on this thread.
  std::thread worker([h = d.GetHandle()] { GePostFloat(h, TestDialog::ID_BUSY, 0.5); });
  worker.join();
  QProgressBar* bar = win->findChild<QProgressBar*>();
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(Until([&] { return bar->value() == 500; }));

  // A group the dialog refills is shown anew.
  QPushButton* plus = Find<QPushButton>(win, "+");
  ASSERT_NE(plus, nullptr);
  plus->click();
  EXPECT_TRUE(Until([&] { return Find<QLabel>(win, "row 1") != nullptr; }));
  EXPECT_NE(Find<QPushButton>(win, "Rename"), nullptr);

  // Closing the dialog from the plug-in closes its window.
  d.Close();
  EXPECT_EQ(oq::DialogWidget(*fe_, d.GetHandle()), nullptr);
}

TEST_F(QtTest, TheClipboardIsSharedWithTheSystem)
{
  std::thread worker([] { GeSetClipboardText(String("preset://user.libqz/Wood")); });
  worker.join();
  EXPECT_TRUE(Until([] { return QGuiApplication::clipboard()->text() == "preset://user.libqz/Wood"; }));
  QGuiApplication::clipboard()->setText("file:///tmp/a.png");
  EXPECT_TRUE(Until([] {
    String s;
    return GeGetClipboardText(s) && s == String("file:///tmp/a.png");
  }));
}

TEST_F(QtTest, ModalProgressDialogRunsInItsOwnLoop)
{
  ProgressDialog p;
  p.worker.steps = 20;
  ASSERT_TRUE(p.Open());
  EXPECT_TRUE(p.GetResult());
  EXPECT_EQ(p.reportedSteps, 20);
  EXPECT_FALSE(p.IsOpen());
}
