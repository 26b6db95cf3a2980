// The user-interface family driven through the model, without a display: the test plug-in's
// windows are opened, clicked, typed into, scrolled, dragged and drawn.
#include <cmath>
#include <set>
#include <stdexcept>
#include <thread>

#include "orxtest.h"
#include "testplugin.h"
#include "ui/uimodel.h"

namespace ui = orxhost::ui;
using namespace testplugin;

namespace {
class UiTest : public ::testing::Test
{
protected:
  void SetUp() override
  {
    ui::BindMainThread();
    ui::Reset();
  }
  void TearDown() override { ui::Reset(); }

  static std::vector<std::string> Texts(const std::vector<ui::DrawCall>& calls)
  {
    std::vector<std::string> r;
    for (const ui::DrawCall& c : calls)
      if (c.op == ui::DrawOp::Text)
        r.push_back(c.text);
    return r;
  }
  static int Count(const std::vector<ui::DrawCall>& calls, ui::DrawOp op)
  {
    int n = 0;
    for (const ui::DrawCall& c : calls)
      n += c.op == op;
    return n;
  }
  // Draws the grid at its full size, as a front end does.
  static std::vector<ui::DrawCall> DrawGrid(TestDialog& d)
  {
    Int32 w = 0, h = 0;
    ui::AreaMinSize(d.grid.GetHandle(), &w, &h);
    return ui::DrawArea(d.grid.GetHandle(), w, h);
  }
};

OrxInputEvent Mouse(Int32 kind, Int32 x, Int32 y, Int32 qual = 0)
{
  OrxInputEvent e{};
  e.kind = kind;
  e.x = x;
  e.y = y;
  e.button = ORX_BUTTON_LEFT;
  e.qualifiers = qual;
  return e;
}
} // namespace

TEST_F(UiTest, LayoutHoldsEveryGadgetKindNestedAsBuilt)
{
  TestDialog d;
  ASSERT_TRUE(d.Open(400, 500));
  ui::DialogView v;
  ASSERT_TRUE(ui::GetDialog(d.GetHandle(), &v));
  EXPECT_TRUE(v.open);
  EXPECT_FALSE(v.modal);
  EXPECT_EQ(v.title, "Test Browser");
  std::set<Int32> kinds;
  for (const ui::Gadget& g : v.gadgets)
    kinds.insert(g.kind);
  for (Int32 k = ORX_GADGET_GROUP; k <= ORX_GADGET_SEPARATOR; ++k)
    EXPECT_TRUE(kinds.count(k)) << "gadget kind " << k << " missing";
  // The grid sits inside the scroll group, which sits in the outer group.
  const ui::Gadget* scroll = ui::FindGadget(d.GetHandle(), TestDialog::ID_SCROLL);
  ASSERT_NE(scroll, nullptr);
  ASSERT_EQ(scroll->children.size(), 1u);
  EXPECT_EQ(v.gadgets[scroll->children[0]].id, TestDialog::ID_GRID);
  EXPECT_EQ(v.gadgets[0].children.size(), 1u);
  const ui::Gadget& outer = v.gadgets[v.gadgets[0].children[0]];
  EXPECT_EQ(outer.spaceX, 6);
  const ui::Gadget* sort = ui::FindGadget(d.GetHandle(), TestDialog::ID_SORT);
  ASSERT_NE(sort, nullptr);
  ASSERT_EQ(sort->items.size(), 2u);
  EXPECT_EQ(sort->items[1].text, "By date");
  // The sub-dialog was laid out with its parent and is open while it is.
  EXPECT_TRUE(d.info.IsOpen());
  ASSERT_NE(ui::FindGadget(d.info.GetHandle(), InfoSubDialog::ID_INFO_SIZE), nullptr);
  Int32 place = 0, gadget = 0;
  ASSERT_TRUE(ui::AreaPlace(d.grid.GetHandle(), &place, &gadget));
  EXPECT_EQ(place, d.GetHandle());
  EXPECT_EQ(gadget, TestDialog::ID_GRID);
  EXPECT_TRUE(d.Close());
  EXPECT_FALSE(d.info.IsOpen());
  EXPECT_FALSE(d.Close());
}

TEST_F(UiTest, ValuesByGadgetIdRoundTripAndStayInRange)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  String name;
  ASSERT_TRUE(d.GetString(TestDialog::ID_NAME, name));
  EXPECT_EQ(name, String("untitled"));
  Int32 count = 0;
  ASSERT_TRUE(d.GetInt32(TestDialog::ID_COUNT, count));
  EXPECT_EQ(count, 10);
  EXPECT_TRUE(d.SetInt32(TestDialog::ID_COUNT, 1000));
  d.GetInt32(TestDialog::ID_COUNT, count);
  EXPECT_EQ(count, 100);
  EXPECT_TRUE(d.SetFloat(TestDialog::ID_ZOOM, 2.0));
  Float zoom = 0;
  d.GetFloat(TestDialog::ID_ZOOM, zoom);
  EXPECT_EQ(zoom, 16.0);
  EXPECT_FALSE(d.SetFloat(TestDialog::ID_ZOOM, std::nan("")));
  // Progress values are a part of one.
  d.SetFloat(TestDialog::ID_BUSY, 1.5);
  Float busy = 0;
  d.GetFloat(TestDialog::ID_BUSY, busy);
  EXPECT_EQ(busy, 1.0);
  // Unknown ids and gadgets without values answer false.
  EXPECT_FALSE(d.SetInt32(9999, 1));
  Int32 none = 0;
  EXPECT_FALSE(d.GetInt32(TestDialog::ID_GRID, none));
  EXPECT_FALSE(d.SetInt32(TestDialog::ID_SCROLL, 1));
}

TEST_F(UiTest, ClicksTypingAndChoicesReachCommandAndChangeEnableAndShow)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  const Int32 h = d.GetHandle();
  ASSERT_TRUE(ui::Click(h, TestDialog::ID_RECURSIVE)); // was on: now off
  EXPECT_FALSE(ui::FindGadget(h, TestDialog::ID_COUNT)->enabled);
  EXPECT_FALSE(ui::FindGadget(h, TestDialog::ID_ZOOM)->visible);
  // A disabled or hidden gadget takes no input.
  EXPECT_FALSE(ui::SetNumber(h, TestDialog::ID_COUNT, 5));
  EXPECT_FALSE(ui::SetNumber(h, TestDialog::ID_ZOOM, 100));
  ASSERT_TRUE(ui::Click(h, TestDialog::ID_RECURSIVE));
  EXPECT_TRUE(ui::FindGadget(h, TestDialog::ID_COUNT)->enabled);
  EXPECT_TRUE(ui::SetNumber(h, TestDialog::ID_COUNT, 5));
  EXPECT_TRUE(ui::TypeText(h, TestDialog::ID_NAME, "Wood"));
  EXPECT_TRUE(ui::Choose(h, TestDialog::ID_SORT, TestDialog::ID_SORT_DATE));
  EXPECT_FALSE(ui::Choose(h, TestDialog::ID_SORT, 12345)); // not an entry
  EXPECT_TRUE(ui::Choose(h, TestDialog::ID_MODE, TestDialog::ID_MODE_LIST));
  EXPECT_TRUE(ui::Choose(h, TestDialog::ID_FILTER, 2));
  EXPECT_FALSE(ui::Click(h, TestDialog::ID_NAME)); // not a button
  String name, filter;
  d.GetString(TestDialog::ID_NAME, name);
  d.GetString(TestDialog::ID_FILTER, filter);
  EXPECT_EQ(name, String("Wood"));
  EXPECT_EQ(filter, String("*.jpg"));
  Int32 sort = 0, mode = 0;
  d.GetInt32(TestDialog::ID_SORT, sort);
  d.GetInt32(TestDialog::ID_MODE, mode);
  EXPECT_EQ(sort, TestDialog::ID_SORT_DATE);
  EXPECT_EQ(mode, TestDialog::ID_MODE_LIST);
  EXPECT_EQ(d.commands, (std::vector<Int32>{TestDialog::ID_RECURSIVE, TestDialog::ID_RECURSIVE, TestDialog::ID_COUNT,
                                            TestDialog::ID_NAME, TestDialog::ID_SORT, TestDialog::ID_MODE,
                                            TestDialog::ID_FILTER}));
}

TEST_F(UiTest, AGroupOfAnOpenDialogIsRefilledAndTheOtherGadgetsStay)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  const Int32 h = d.GetHandle();
  d.SetFloat(TestDialog::ID_BUSY, 0.75);
  ASSERT_TRUE(ui::Click(h, TestDialog::ID_ADDROW));
  ASSERT_TRUE(ui::Click(h, TestDialog::ID_ADDROW));
  const ui::Gadget* rows = ui::FindGadget(h, TestDialog::ID_ROWS);
  ASSERT_NE(rows, nullptr);
  ASSERT_EQ(rows->children.size(), 4u); // three rows and the button
  ui::DialogView v;
  ASSERT_TRUE(ui::GetDialog(h, &v));
  EXPECT_EQ(v.gadgets[rows->children[2]].text, "row 2");
  EXPECT_EQ(v.gadgets[rows->children[3]].id, TestDialog::ID_ADDROW);
  // Nothing else was lost or moved under another id.
  int addButtons = 0;
  for (const ui::Gadget& g : v.gadgets)
    addButtons += g.id == TestDialog::ID_ADDROW;
  EXPECT_EQ(addButtons, 1);
  Float busy = 0;
  ASSERT_TRUE(d.GetFloat(TestDialog::ID_BUSY, busy));
  EXPECT_EQ(busy, 0.75);
  const ui::Gadget* scroll = ui::FindGadget(h, TestDialog::ID_SCROLL);
  ASSERT_NE(scroll, nullptr);
  EXPECT_EQ(v.gadgets[scroll->children[0]].id, TestDialog::ID_GRID);
  for (std::size_t i = 0; i < v.gadgets.size(); ++i)
    for (std::size_t c : v.gadgets[i].children)
      EXPECT_LT(c, v.gadgets.size());
  // New gadgets after the change go to the dialog's top again.
  EXPECT_TRUE(d.AddStaticText(999, 0, String("late")));
  EXPECT_EQ(v.gadgets[0].children.size() + 1, [&] {
    ui::DialogView again;
    ui::GetDialog(h, &again);
    return again.gadgets[0].children.size();
  }());
  EXPECT_FALSE(d.LayoutFlushGroup(TestDialog::ID_NAME)); // not a group
}

TEST_F(UiTest, ExceptionsOfTheDialogStopAtTheTable)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  EXPECT_TRUE(ui::Click(d.GetHandle(), TestDialog::ID_THROW));
  EXPECT_TRUE(d.IsOpen());
  d.Close();
  // A layout that throws does not open.
  TestDialog broken;
  broken.failLayout = true;
  EXPECT_FALSE(broken.Open());
  EXPECT_FALSE(broken.IsOpen());
}

TEST_F(UiTest, AskCloseKeepsTheDialogOpenWhenItSaysSo)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  d.allowClose = false;
  EXPECT_FALSE(ui::RequestClose(d.GetHandle()));
  EXPECT_TRUE(d.IsOpen());
  d.allowClose = true;
  EXPECT_TRUE(ui::RequestClose(d.GetHandle()));
  EXPECT_FALSE(d.IsOpen());
  // Opening again lays it out again.
  ASSERT_TRUE(d.Open());
  EXPECT_NE(ui::FindGadget(d.GetHandle(), TestDialog::ID_GRID), nullptr);
}

TEST_F(UiTest, TimersRunOnlyWhenDueAndOnlyWhileOpen)
{
  ui::SetFakeClock(1000);
  TestDialog d;
  ASSERT_TRUE(d.Open());
  ui::TickTimers(1100);
  EXPECT_EQ(d.timerTicks, 0);
  EXPECT_EQ(ui::NextTimerIn(1100), 150);
  ui::TickTimers(1250);
  EXPECT_EQ(d.timerTicks, 1);
  ui::TickTimers(1400);
  EXPECT_EQ(d.timerTicks, 1);
  ui::TickTimers(1500);
  EXPECT_EQ(d.timerTicks, 2);
  d.SetTimer(0);
  ui::TickTimers(5000);
  EXPECT_EQ(d.timerTicks, 2);
  d.SetTimer(10);
  d.Close();
  ui::TickTimers(9000);
  EXPECT_EQ(d.timerTicks, 2);
  EXPECT_EQ(ui::NextTimerIn(9000), -1);
}

TEST_F(UiTest, PostsWaitForDeliveryAndAreDroppedForDialogsThatAreGone)
{
  auto d = std::make_unique<TestDialog>();
  ASSERT_TRUE(d->Open());
  const Int32 h = d->GetHandle();
  GePostCoreMessage(h, 7);
  GePostFloat(h, TestDialog::ID_BUSY, 0.5);
  EXPECT_TRUE(d->coreMessages.empty()); // nothing before the main thread delivers
  EXPECT_EQ(ui::DeliverPosts(), 2);
  EXPECT_EQ(d->coreMessages, std::vector<Int32>{7});
  Float busy = 0;
  d->GetFloat(TestDialog::ID_BUSY, busy);
  EXPECT_EQ(busy, 0.5);
  // Every open dialog, sub-dialogs included, gets a broadcast.
  GePostCoreMessage(0, 8);
  EXPECT_EQ(ui::DeliverPosts(), 2);
  EXPECT_EQ(d->info.coreMessages, 1);
  // Closed, then gone: the posts find no one and nothing is called.
  d->Close();
  GePostCoreMessage(h, 9);
  EXPECT_EQ(ui::DeliverPosts(), 0);
  GePostCoreMessage(h, 10);
  GePostFloat(h, TestDialog::ID_BUSY, 0.25);
  GePostRedraw(d->grid.GetHandle());
  d.reset();
  EXPECT_EQ(ui::DeliverPosts(), 0);
  // A new dialog never gets the handle of the old one.
  TestDialog other;
  EXPECT_NE(other.GetHandle(), h);
}

TEST_F(UiTest, GridDrawsVisibleCellsWithPicturesAndNamesAndScrolls)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  const Int32 area = d.grid.GetHandle();
  std::vector<ui::DrawCall> frame = DrawGrid(d);
  ASSERT_FALSE(frame.empty());
  // The background first, in the host's colour.
  ASSERT_EQ(frame[0].op, ui::DrawOp::Pen);
  EXPECT_EQ(frame[0].id, ORX_COLOR_BG);
  EXPECT_EQ(frame[0].rgb, ui::HostColor(ORX_COLOR_BG));
  ASSERT_EQ(frame[1].op, ui::DrawOp::Fill);
  // Three rows of four are visible in the scroll container, not all ten.
  EXPECT_EQ(frame[1].y2 - frame[1].y1 + 1, 3 * GridArea::kCell);
  EXPECT_EQ(Count(frame, ui::DrawOp::Bitmap), 12);
  std::vector<std::string> names = Texts(frame);
  ASSERT_EQ(names.size(), 12u);
  EXPECT_EQ(names.front(), "item 0");
  EXPECT_EQ(names.back(), "item 11");
  // Bitmaps are recorded scaled into their cell, with their alpha channel.
  for (const ui::DrawCall& c : frame)
    if (c.op == ui::DrawOp::Bitmap) {
      EXPECT_EQ(c.x2 - c.x1 + 1, GridArea::kPicture);
      EXPECT_EQ(c.channels, 4);
      ASSERT_TRUE(c.pixels);
      EXPECT_EQ(c.pixels->size(), 8u * 8u * 4u);
    }
  EXPECT_EQ(Count(frame, ui::DrawOp::Clip), 12);
  EXPECT_EQ(Count(frame, ui::DrawOp::Icon), 1);
  // The wheel, which the grid leaves alone, scrolls the container by lines.
  OrxInputEvent wheel{};
  wheel.kind = ORX_INPUT_WHEEL;
  wheel.delta = -2;
  EXPECT_TRUE(ui::AreaInput(area, wheel));
  EXPECT_TRUE(ui::AreaDirtyFlag(area));
  Int32 sx = 0, sy = 0;
  ui::AreaScroll(area, &sx, &sy);
  EXPECT_GT(sy, 0);
  d.grid.ScrollTo(0, 2 * GridArea::kCell);
  frame = DrawGrid(d);
  names = Texts(frame);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "item 8");
  // Scrolling stops at the end.
  d.grid.ScrollTo(0, 100000);
  ui::AreaScroll(area, &sx, &sy);
  EXPECT_EQ(sy, GridArea::kCell * (10 - 3));
  Int32 x1, y1, x2, y2;
  d.grid.GetVisible(x1, y1, x2, y2);
  EXPECT_EQ(y2, 10 * GridArea::kCell - 1);
  EXPECT_EQ(d.grid.GetHeight(), 10 * GridArea::kCell);
}

TEST_F(UiTest, ClicksSelectAndTheSelectionIsDrawnByFocus)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  const Int32 area = d.grid.GetHandle();
  DrawGrid(d);
  ASSERT_TRUE(ui::AreaInput(area, Mouse(ORX_INPUT_MOUSE_DOWN, 70, 5)));
  ASSERT_TRUE(ui::AreaInput(area, Mouse(ORX_INPUT_MOUSE_UP, 70, 5)));
  EXPECT_EQ(d.grid.Selection(), std::vector<Int32>{1});
  EXPECT_TRUE(d.grid.HasFocus());
  ASSERT_TRUE(ui::AreaInput(area, Mouse(ORX_INPUT_MOUSE_DOWN, 5, 70, ORX_QUAL_SHIFT)));
  EXPECT_EQ(d.grid.Selection(), (std::vector<Int32>{1, 4}));
  ASSERT_TRUE(ui::AreaInput(area, Mouse(ORX_INPUT_MOUSE_DOWN, 5, 5)));
  EXPECT_EQ(d.grid.Selection(), std::vector<Int32>{0});
  ASSERT_TRUE(ui::AreaInput(area, Mouse(ORX_INPUT_DOUBLE_CLICK, 130, 70)));
  EXPECT_EQ(d.grid.opened, 6);
  OrxInputEvent key{};
  key.kind = ORX_INPUT_KEY;
  key.key = ORX_KEY_DOWN;
  EXPECT_TRUE(ui::AreaInput(area, key));
  EXPECT_EQ(d.grid.keys, 1);
  std::vector<ui::DrawCall> frame = DrawGrid(d);
  auto selectedFill = [&](Int32 colour) {
    for (std::size_t i = 0; i + 1 < frame.size(); ++i)
      if (frame[i].op == ui::DrawOp::Pen && frame[i].id == colour && frame[i + 1].op == ui::DrawOp::Fill)
        return true;
    return false;
  };
  EXPECT_TRUE(selectedFill(ORX_COLOR_SELECT_FOCUS));
  EXPECT_FALSE(selectedFill(ORX_COLOR_SELECT_NOFOCUS));
  EXPECT_EQ(Count(frame, ui::DrawOp::Frame), 0);
  ui::SetAreaFocus(area, false);
  frame = DrawGrid(d);
  EXPECT_TRUE(selectedFill(ORX_COLOR_SELECT_NOFOCUS));
  EXPECT_EQ(Count(frame, ui::DrawOp::Frame), 1);
}

TEST_F(UiTest, DragsCarryTheirTypeToAreasAndDialogs)
{
  TestDialog source, target;
  ASSERT_TRUE(source.Open());
  ASSERT_TRUE(target.Open());
  const Int32 area = source.grid.GetHandle();
  const Int32 other = target.grid.GetHandle();
  auto drag = [&] {
    ui::AreaInput(area, Mouse(ORX_INPUT_MOUSE_DOWN, 5, 5));
    ui::AreaInput(area, Mouse(ORX_INPUT_MOUSE_DOWN, 70, 5, ORX_QUAL_CTRL));
    return ui::AreaInput(area, Mouse(ORX_INPUT_MOUSE_MOVE, 90, 30));
  };
  // Dropped on the other grid: it gets the two selected items.
  ui::HeadlessScript().dragDriver = [&] {
    EXPECT_EQ(ui::CurrentDrag().typeId, kNodeDragType);
    EXPECT_TRUE(ui::DragOverArea(other, 10, 10));
    EXPECT_TRUE(ui::DropOnArea(other, 10, 10));
  };
  ASSERT_TRUE(drag());
  EXPECT_EQ(source.grid.dragsStarted, 1);
  EXPECT_TRUE(source.grid.dragTaken);
  EXPECT_EQ(target.grid.dropped, std::vector<Int32>{2});
  EXPECT_FALSE(ui::CurrentDrag().active); // ended before the source's data went away
  // Dropped on the other dialog itself.
  ui::HeadlessScript().dragDriver = [&] { EXPECT_TRUE(ui::DropOnDialog(target.GetHandle(), 1, 1)); };
  drag();
  EXPECT_EQ(target.droppedOnDialog, 1);
  // Let go over nothing, or called off: nobody took it.
  ui::HeadlessScript().dragDriver = nullptr;
  drag();
  EXPECT_FALSE(source.grid.dragTaken);
  ui::HeadlessScript().dragDriver = [] { ui::CancelDrag(); };
  source.grid.dragTaken = true;
  drag();
  EXPECT_FALSE(source.grid.dragTaken);
  // A drop outside a drag reaches nobody.
  EXPECT_FALSE(ui::DropOnArea(other, 1, 1));
  EXPECT_EQ(target.grid.dropped.size(), 1u);
}

TEST_F(UiTest, RefusesADropOfAnotherType)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  const Int32 area = d.grid.GetHandle();
  // A second area starts a drag of a foreign type.
  struct Foreign : GeUserArea
  {
    Bool taken = true;
    Bool InputEvent(const OrxInputEvent&) override
    {
      int data = 1;
      taken = HandleMouseDrag(42, &data);
      return true;
    }
  } foreign;
  ui::HeadlessScript().dragDriver = [&] { EXPECT_FALSE(ui::DropOnArea(area, 1, 1)); };
  ui::AreaInput(foreign.GetHandle(), Mouse(ORX_INPUT_MOUSE_DOWN, 0, 0));
  EXPECT_FALSE(foreign.taken);
  EXPECT_EQ(d.grid.refused, 1);
  EXPECT_TRUE(d.grid.dropped.empty());
}

TEST_F(UiTest, MessagesQuestionsFilesMenusAndPopupEdits)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  const Int32 h = d.GetHandle();
  ui::Script& s = ui::HeadlessScript();
  s.messageAnswers = {ORX_MB_YES};
  ui::Click(h, TestDialog::ID_DELETE);
  ui::Click(h, TestDialog::ID_DELETE); // unanswered: no
  EXPECT_EQ(d.log, (std::vector<std::string>{"deleted", "kept"}));
  ASSERT_EQ(ui::ShownMessages().size(), 2u);
  EXPECT_EQ(ui::ShownMessages()[0].style, ORX_MB_YESNO);
  EXPECT_EQ(ui::ShownMessages()[0].text, "Delete the selected items?");
  // A plain box answers OK whatever is scripted.
  s.messageAnswers = {ORX_MB_YES};
  EXPECT_EQ(GeOutString(String("Done"), ORX_MB_WARNING), ORX_MB_OK);

  s.files = {"/tmp/a.png", ""};
  ui::Click(h, TestDialog::ID_OPENFILE);
  ui::Click(h, TestDialog::ID_OPENFILE);
  EXPECT_EQ(d.log[2], "file /tmp/a.png");
  EXPECT_EQ(d.log[3], "no file");

  s.menuChoices = {TestDialog::ID_CONTEXT_DELETE, 77};
  ui::Click(h, TestDialog::ID_MENU);
  EXPECT_EQ(d.menuChoice, TestDialog::ID_CONTEXT_DELETE);
  ui::Click(h, TestDialog::ID_MENU); // an id that was not offered
  EXPECT_EQ(d.menuChoice, 0);

  // The edit's answer is delivered later, on the main thread, with the request's data.
  s.popupEdits = {"Oak", "\x1b"};
  ui::Click(h, TestDialog::ID_RENAME);
  EXPECT_TRUE(d.renamedTo.IsEmpty());
  ui::DeliverPosts();
  EXPECT_EQ(d.renamedTo, String("Oak"));
  ui::Click(h, TestDialog::ID_RENAME);
  ui::DeliverPosts();
  EXPECT_TRUE(d.renameCancelled);
  // An answer without the request's magic is reported, not trusted.
  ui::FinishPopupEdit(h, true, "x", nullptr);
  ui::DeliverPosts();
  EXPECT_EQ(ui::ShownMessages().back().text, "Invalid PopupEditTextData in CoreMessage");
}

TEST_F(UiTest, CommandsPagesColoursAndClipboard)
{
  TestDialog dialog;
  OpenTestCommand command;
  ASSERT_TRUE(command.Register(1017163, String("Content Browser..."), 28, String("Opens a browser")));
  EXPECT_FALSE(command.Register(1017163, String("again"))); // one command per id
  EXPECT_TRUE(GeRegisterCommand(1018426, String("New Browser"), 0x10000000, nullptr));
  std::vector<ui::CommandInfo> cmds = ui::Commands();
  auto find = [&](Int32 id) -> const ui::CommandInfo* {
    for (const ui::CommandInfo& c : cmds)
      if (c.id == id)
        return &c;
    return nullptr;
  };
  ASSERT_NE(find(1017163), nullptr);
  EXPECT_EQ(find(1017163)->name, "Content Browser...");
  EXPECT_TRUE(find(1017163)->callable);
  ASSERT_NE(find(1018426), nullptr);
  EXPECT_FALSE(find(1018426)->callable);
  // Disabled: not run.
  EXPECT_EQ(ui::CommandState(1017163), 0);
  EXPECT_FALSE(ui::ExecuteCommand(1017163));
  EXPECT_EQ(command.executed, 0);
  command.dialog = &dialog;
  EXPECT_TRUE(ui::ExecuteCommand(1017163));
  EXPECT_EQ(command.executed, 1);
  EXPECT_TRUE(dialog.IsOpen());
  EXPECT_EQ(ui::BusyCursorMode(), 2);
  EXPECT_FALSE(ui::ExecuteCommand(1018426));
  orxhost::ClearRegistrations();

  // A page registered by name only is listed without a layout.
  ASSERT_TRUE(GeRegisterPrefPage(1, String("Other"), String("Prefsother"), 0));
  ASSERT_EQ(ui::PrefsPages().size(), 1u);
  EXPECT_EQ(ui::PrefsPages()[0].name, "Other");
  EXPECT_EQ(ui::PrefsPages()[0].dialog, 0);
  orxhost::ClearRegistrations();
  TestPrefs prefs;
  ASSERT_TRUE(prefs.Register(465001634, String("Content Browser")));
  EXPECT_FALSE(prefs.Register(465001634, String("twice")));
  ASSERT_EQ(ui::PrefsPages().size(), 1u);
  ASSERT_TRUE(ui::OpenSubDialog(ui::PrefsPages()[0].dialog));
  Int32 mem = 0;
  ASSERT_TRUE(prefs.GetInt32(TestPrefs::ID_MEMORY, mem));
  EXPECT_EQ(mem, 256);
  ASSERT_TRUE(ui::SetNumber(prefs.GetHandle(), TestPrefs::ID_MEMORY, 2000));
  EXPECT_EQ(GeGetPrefs()->GetContainerInstance(TestPrefs::kContainer)->GetInt32(6), 1024);
  ui::CloseSubDialog(prefs.GetHandle());
  // A plain dialog is no page.
  EXPECT_FALSE(ui::GetFrontEnd() == nullptr);
  GeDialog plain;
  const OrxUiTable* t = orxhost::Table()->ui;
  const String n("x");
  EXPECT_FALSE(t->prefsPageRegister(1, &n, plain.GetHandle()));

  EXPECT_EQ(GeGetHostColor(ORX_COLOR_SELECT_FOCUS), ui::HostColor(1218));
  EXPECT_NE(GeGetHostColor(1215), GeGetHostColor(1218));
  GeSetClipboardText(String("preset://user.libqz/Wood"));
  String clip;
  EXPECT_TRUE(GeGetClipboardText(clip));
  EXPECT_EQ(clip, String("preset://user.libqz/Wood"));
}

TEST_F(UiTest, MainThreadEntriesAreRefusedOnOtherThreads)
{
  TestDialog d;
  ASSERT_TRUE(d.Open());
  const Int32 h = d.GetHandle();
  bool opened = true, set = true;
  Int32 made = -1;
  std::thread t([&] {
    const OrxUiTable* ui = orxhost::Table()->ui;
    made = ui->dialogNew(nullptr, nullptr, false);
    opened = ui->dialogIsOpen(h);
    set = ui->setInt(h, TestDialog::ID_COUNT, 3);
  });
  t.join();
  EXPECT_EQ(made, 0);
  EXPECT_FALSE(opened);
  EXPECT_FALSE(set);
  bool reported = false;
  for (const std::string& line : orxhost::ConsoleLines())
    reported = reported || line.find("outside the main thread") != std::string::npos;
  EXPECT_TRUE(reported);
}

TEST_F(UiTest, ModalProgressDialogRunsToTheEndOrIsCancelled)
{
  {
    ProgressDialog p;
    p.worker.steps = 20;
    ASSERT_TRUE(p.Open());
    EXPECT_TRUE(p.finished);
    EXPECT_EQ(p.reportedSteps, 20);
    EXPECT_TRUE(p.GetResult());
    EXPECT_FALSE(p.IsOpen());
  }
  {
    ProgressDialog p;
    p.worker.steps = 20;
    p.worker.allowed = 5;
    // The person presses Cancel once the bar shows a quarter.
    ui::HeadlessScript().modalDriver = [&](Int32 dlg) {
      Float v = 0;
      if (p.GetFloat(ID_PROGRESS_BAR, v) && v >= 0.25)
        ui::Click(dlg, IDC_CANCEL);
    };
    ASSERT_TRUE(p.Open());
    EXPECT_FALSE(p.GetResult());
    EXPECT_FALSE(p.finished); // the worker's last post came after the close
    EXPECT_EQ(p.worker.done.load(), 5);
    EXPECT_FALSE(p.worker.IsRunning());
    ui::DeliverPosts();
    EXPECT_FALSE(p.finished);
  }
}
