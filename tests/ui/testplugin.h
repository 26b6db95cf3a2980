// A test plug-in that uses the host's user interface only through the sdk classes, the way the
// browser's windows will: a modal progress dialog fed by a worker, a grid of bitmaps with names in
// a scroll container, a sub-dialog, questions, a menu command and a preference page.
#pragma once

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "orx/bitmap.h"
#include "orx/dialogs.h"
#include "orx/services.h"
#include "orx/threads.h"

namespace testplugin {

constexpr Int32 kNodeDragType = 1017705;
constexpr Int32 kMsgWorkDone = 1000;
constexpr UInt32 kRenameMagic = 0x72656E6D; // "renm"

// --- the progress dialog: the worker reports by handle, never through the dialog ---
enum : Int32
{
  ID_PROGRESS_TEXT = 100,
  ID_PROGRESS_BAR,
};

class ProgressDialog;

class WorkThread : public OrxThread
{
public:
  Int32 dialog = 0; // the handle to report to
  Int32 steps = 50;
  std::atomic<Int32> done{0};
  // The worker waits here for each step, so tests decide how far it gets.
  std::atomic<Int32> allowed{1 << 30};

  void Main() override
  {
    for (Int32 i = 1; i <= steps && !TestBreak(); ++i) {
      while (allowed.load() < i && !TestBreak())
        std::this_thread::yield();
      if (TestBreak())
        break;
      done.store(i);
      GePostFloat(dialog, ID_PROGRESS_BAR, Float(i) / Float(steps));
    }
    GePostCoreMessage(dialog, kMsgWorkDone, done.load(), 0);
  }
  const char* GetThreadName() override { return "Progress Thread"; }
};

class ProgressDialog : public GeModalDialog
{
public:
  WorkThread worker;
  Int32 timerTicks = 0;
  Bool finished = false;
  Int64 reportedSteps = -1;

  Bool CreateLayout() override
  {
    SetTitle(String("Exporting"));
    GroupBegin(0, ORX_FIT_H, 1, 0, String(), 0);
    AddStaticText(ID_PROGRESS_TEXT, ORX_FIT_H, String("Working..."), 200);
    AddProgressBar(ID_PROGRESS_BAR, ORX_FIT_H, 200);
    AddButton(IDC_CANCEL, ORX_ALIGN_RIGHT, String("Cancel"));
    GroupEnd();
    return true;
  }
  Bool InitValues() override
  {
    SetFloat(ID_PROGRESS_BAR, 0.0);
    SetTimer(100);
    worker.dialog = GetHandle();
    return worker.Start();
  }
  void Timer() override
  {
    ++timerTicks;
    Float v = 0;
    GetFloat(ID_PROGRESS_BAR, v);
    SetString(ID_PROGRESS_TEXT, String(std::to_string(int(v * 100)) + "%"));
  }
  Bool Command(Int32 id) override
  {
    if (id == IDC_CANCEL) {
      worker.End(true);
      return Close(false);
    }
    return true;
  }
  void CoreMessage(Int32 id, Int64 p1, Int64) override
  {
    if (id != kMsgWorkDone)
      return;
    reportedSteps = p1;
    finished = true;
    worker.Wait();
    Close(p1 == worker.steps);
  }
  ~ProgressDialog() override { worker.End(true); }
};

// --- the grid of pictures with names ---
struct GridItem
{
  std::string name;
  BaseBitmap picture;
  bool selected = false;
};

class GridArea : public GeUserArea
{
public:
  static constexpr Int32 kCell = 64, kPicture = 48, kColumns = 4;
  std::vector<GridItem> items;
  Int32 opened = -1;
  std::vector<Int32> dropped; // item counts of drops taken
  Int32 refused = 0;
  Int32 dragsStarted = 0;
  Bool dragTaken = false;
  Int32 pressX = -1, pressY = -1;
  Int32 keys = 0;

  void Fill(Int32 n)
  {
    items.clear();
    for (Int32 i = 0; i < n; ++i) {
      GridItem it;
      it.name = "item " + std::to_string(i);
      it.picture.Init(8, 8, 4);
      for (Int32 y = 0; y < 8; ++y)
        for (Int32 x = 0; x < 8; ++x) {
          it.picture.SetPixel(x, y, UChar(i * 20), UChar(x * 30), UChar(y * 30));
          it.picture.Pixels()[(y * 8 + x) * 4 + 3] = 255; // opaque
        }
      items.push_back(std::move(it));
    }
  }

  Int32 Rows() const { return (Int32(items.size()) + kColumns - 1) / kColumns; }
  Int32 HitTest(Int32 x, Int32 y) const
  {
    if (x < 0 || y < 0 || x >= kColumns * kCell)
      return -1;
    const Int32 i = (y / kCell) * kColumns + x / kCell;
    return i < Int32(items.size()) ? i : -1;
  }
  std::vector<Int32> Selection() const
  {
    std::vector<Int32> r;
    for (Int32 i = 0; i < Int32(items.size()); ++i)
      if (items[std::size_t(i)].selected)
        r.push_back(i);
    return r;
  }

  Bool GetMinSize(Int32& w, Int32& h) override
  {
    w = kColumns * kCell;
    h = Rows() * kCell;
    return true;
  }

  // Draws only the rows the scroll container shows.
  void DrawMsg(Int32 x1, Int32 y1, Int32 x2, Int32 y2) override
  {
    DrawSetPen(ORX_COLOR_BG);
    DrawRectangle(x1, y1, x2, y2);
    const Int32 firstRow = y1 / kCell, lastRow = y2 / kCell;
    const Int32 fh = DrawGetFontHeight();
    for (Int32 row = firstRow; row <= lastRow; ++row)
      for (Int32 col = 0; col < kColumns; ++col) {
        const Int32 i = row * kColumns + col;
        if (i < 0 || i >= Int32(items.size()))
          continue;
        const GridItem& it = items[std::size_t(i)];
        const Int32 cx = col * kCell, cy = row * kCell;
        SetClippingRegion(cx, cy, cx + kCell - 1, cy + kCell - 1);
        if (it.selected) {
          DrawSetPen(HasFocus() ? ORX_COLOR_SELECT_FOCUS : ORX_COLOR_SELECT_NOFOCUS);
          DrawRectangle(cx, cy, cx + kCell - 1, cy + kCell - 1);
        }
        DrawBitmap(it.picture, cx + (kCell - kPicture) / 2, cy + 2, kPicture, kPicture);
        const String name(it.name);
        const Int32 tw = DrawGetTextWidth(name);
        DrawSetPen(it.selected ? ORX_COLOR_TEXT_FOCUS : ORX_COLOR_TEXT);
        DrawText(name, cx + std::max<Int32>(0, (kCell - tw) / 2), cy + kCell - fh);
        if (it.selected && !HasFocus()) {
          DrawSetPen(ORX_COLOR_TEXT_FOCUS);
          DrawFrame(cx, cy, cx + kCell - 1, cy + kCell - 1);
        }
        ClearClippingRegion();
      }
    DrawSetPen(ORX_COLOR_LINE);
    DrawLine(x1, y2, x2, y2);
    DrawIcon(28, x2 - 16, y1, 16, 16);
  }

  Bool InputEvent(const OrxInputEvent& ev) override
  {
    switch (ev.kind) {
      case ORX_INPUT_MOUSE_DOWN: {
        const Int32 hit = HitTest(ev.x, ev.y);
        const bool add = (ev.qualifiers & (ORX_QUAL_SHIFT | ORX_QUAL_CTRL)) != 0;
        if (!add)
          for (GridItem& it : items)
            it.selected = false;
        if (hit >= 0)
          items[std::size_t(hit)].selected = add ? !items[std::size_t(hit)].selected : true;
        pressX = ev.x;
        pressY = ev.y;
        Redraw();
        return true;
      }
      case ORX_INPUT_MOUSE_MOVE: {
        // Holding the button and moving starts a drag of the selection.
        if (pressX < 0 || std::abs(ev.x - pressX) + std::abs(ev.y - pressY) < 5)
          return false;
        pressX = pressY = -1;
        std::vector<Int32> sel = Selection();
        if (sel.empty())
          return false;
        ++dragsStarted;
        dragTaken = HandleMouseDrag(kNodeDragType, &sel);
        return true;
      }
      case ORX_INPUT_MOUSE_UP: pressX = pressY = -1; return true;
      case ORX_INPUT_DOUBLE_CLICK: opened = HitTest(ev.x, ev.y); return true;
      case ORX_INPUT_KEY: ++keys; return true;
      default: return false; // the wheel scrolls the container
    }
  }

  Bool Drag(Int32 kind, const OrxDragInfo& info) override
  {
    if (info.typeId != kNodeDragType || !info.data) {
      ++refused;
      return false;
    }
    if (kind == ORX_MSG_DRAG_DROP)
      dropped.push_back(Int32(static_cast<const std::vector<Int32>*>(info.data)->size()));
    return true;
  }
};

// --- a sub-dialog: the details of the selection ---
class InfoSubDialog : public SubDialog
{
public:
  enum : Int32 { ID_INFO = 300, ID_INFO_SIZE };
  Int32 coreMessages = 0;
  Bool CreateLayout() override
  {
    GroupBegin(0, ORX_FIT_H, 2, 0, String("Details"), 2);
    AddStaticText(0, 0, String("Name"));
    AddStaticText(ID_INFO, ORX_FIT_H, String("-"));
    AddStaticText(0, 0, String("Size"));
    AddEditNumber(ID_INFO_SIZE, 0, 0, 1024);
    GroupEnd();
    return true;
  }
  void CoreMessage(Int32, Int64, Int64) override { ++coreMessages; }
};

// --- the browser-like window with every kind of gadget ---
class TestDialog : public GeDialog
{
public:
  enum : Int32
  {
    ID_NAME = 200, ID_COUNT, ID_RENAME, ID_MENU, ID_DELETE, ID_OPENFILE, ID_RECURSIVE, ID_MODE, ID_MODE_ICONS,
    ID_MODE_LIST, ID_SORT, ID_SORT_NAME, ID_SORT_DATE, ID_FILTER, ID_ZOOM, ID_BUSY, ID_SCROLL, ID_GRID, ID_INFO,
    ID_THROW, ID_CONTEXT_OPEN, ID_CONTEXT_DELETE, ID_ROWS, ID_ADDROW, ID_ROW0,
  };
  Int32 rows = 1;
  GridArea grid;
  InfoSubDialog info;
  std::vector<Int32> commands;
  std::vector<std::string> log;
  Int32 timerTicks = 0;
  std::vector<Int32> coreMessages;
  Int32 droppedOnDialog = 0;
  Int32 menuChoice = -1;
  String renamedTo;
  Bool renameCancelled = false;
  Bool allowClose = true;
  Bool failLayout = false;
  struct RenameRequest
  {
    UInt32 magic = kRenameMagic;
    Int32 item = 0;
  } request;

  TestDialog() { grid.Fill(40); }

  Bool CreateLayout() override
  {
    if (failLayout)
      throw std::runtime_error("layout failed");
    SetTitle(String("Test Browser"));
    GroupBegin(0, ORX_FIT_H | ORX_FIT_V, 1, 0);
    GroupSpace(6, 6);
    GroupBegin(0, ORX_FIT_H, 6, 1, String(), 0);
    AddButton(ID_RENAME, 0, String("Rename"));
    AddButton(ID_MENU, 0, String("Menu"));
    AddButton(ID_DELETE, 0, String("Delete"));
    AddButton(ID_OPENFILE, 0, String("Open..."));
    AddButton(ID_THROW, 0, String("Throw"));
    AddCheckbox(ID_RECURSIVE, 0, String("Sub-folders"));
    GroupEnd();
    GroupBegin(ID_ROWS, ORX_FIT_H, 1, 0);
    AddRows();
    GroupEnd();
    GroupBegin(0, ORX_FIT_H, 4, 2, String("View"), 1);
    AddStaticText(0, 0, String("Name"));
    AddEditText(ID_NAME, ORX_FIT_H, 120);
    AddStaticText(0, 0, String("Count"));
    AddEditNumber(ID_COUNT, 0, 0, 100, 1, 60);
    AddRadioGroup(ID_MODE, 0, 2);
    AddChild(ID_MODE, ID_MODE_ICONS, String("Icons"));
    AddChild(ID_MODE, ID_MODE_LIST, String("List"));
    AddPopup(ID_SORT, 0, 100);
    AddChild(ID_SORT, ID_SORT_NAME, String("By name"));
    AddChild(ID_SORT, ID_SORT_DATE, String("By date"));
    AddCombo(ID_FILTER, ORX_FIT_H, 100);
    AddChild(ID_FILTER, 1, String("*.png"));
    AddChild(ID_FILTER, 2, String("*.jpg"));
    AddSlider(ID_ZOOM, ORX_FIT_H, 16, 256, 1, 100);
    GroupEnd();
    AddSeparator();
    ScrollGroupBegin(ID_SCROLL, ORX_FIT_H | ORX_FIT_V, GridArea::kColumns * GridArea::kCell, 3 * GridArea::kCell);
    AddUserArea(ID_GRID, ORX_FIT_H | ORX_FIT_V, grid);
    GroupEnd();
    AddSubDialog(ID_INFO, ORX_FIT_H, info);
    AddProgressBar(ID_BUSY, ORX_FIT_H, 100);
    GroupEnd();
    return true;
  }

  // Search rows, say: one line per row, and a button that adds one.
  void AddRows()
  {
    for (Int32 i = 0; i < rows; ++i)
      AddStaticText(ID_ROW0 + i, 0, String("row " + std::to_string(i)));
    AddButton(ID_ADDROW, 0, String("+"));
  }

  Bool InitValues() override
  {
    SetString(ID_NAME, String("untitled"));
    SetInt32(ID_COUNT, 10);
    SetInt32(ID_MODE, ID_MODE_ICONS);
    SetInt32(ID_SORT, ID_SORT_NAME);
    SetFloat(ID_ZOOM, 64);
    SetBool(ID_RECURSIVE, true);
    SetTimer(250);
    return true;
  }

  Bool Command(Int32 id) override
  {
    commands.push_back(id);
    switch (id) {
      case ID_RENAME: return PopupEditText(0, 0, 120, 16, String("item 0"), &request);
      case ID_MENU: {
        BaseContainer menu;
        menu.SetString(ID_CONTEXT_OPEN, String("Open"));
        menu.SetString(ID_CONTEXT_DELETE, String("Delete"));
        menuChoice = ShowPopupMenu(10, 10, menu);
        return true;
      }
      case ID_DELETE:
        if (GeQuestionDialog(String("Delete the selected items?")))
          log.push_back("deleted");
        else
          log.push_back("kept");
        return true;
      case ID_OPENFILE: {
        Filename f;
        if (GeFileSelect(f, ORX_FILESELECT_LOAD, String("Open")))
          log.push_back("file " + f.ToUtf8());
        else
          log.push_back("no file");
        return true;
      }
      case ID_THROW: throw std::runtime_error("command failed");
      case ID_ADDROW:
        ++rows;
        LayoutFlushGroup(ID_ROWS);
        AddRows();
        return LayoutChanged();
      case ID_RECURSIVE: {
        Bool on = false;
        GetBool(ID_RECURSIVE, on);
        Enable(ID_COUNT, on);
        HideElement(ID_ZOOM, !on);
        return true;
      }
      default: return true;
    }
  }

  void Timer() override { ++timerTicks; }
  void CoreMessage(Int32 id, Int64, Int64) override { coreMessages.push_back(id); }
  Bool AskClose() override { return !allowClose; }

  Int32 Message(const OrxMessage& msg) override
  {
    if (msg.kind == ORX_MSG_DRAG_DROP && msg.drag && msg.drag->typeId == kNodeDragType) {
      ++droppedOnDialog;
      return 1;
    }
    if (msg.kind == ORX_MSG_POPUPEDIT) {
      const auto* r = static_cast<const RenameRequest*>(msg.userData);
      if (!r || r->magic != kRenameMagic) {
        GeOutString(String("Invalid PopupEditTextData in CoreMessage"), ORX_MB_PLAIN);
        return 0;
      }
      if (msg.value == 1 && msg.text)
        renamedTo = *msg.text;
      else
        renameCancelled = true;
      return 1;
    }
    return 0;
  }
};

// --- the menu command and the preference page ---
class OpenTestCommand : public CommandData
{
public:
  TestDialog* dialog = nullptr;
  Int32 executed = 0;
  Bool Execute() override
  {
    ++executed;
    GeSetBusyCursor(3);
    Bool ok = dialog && (dialog->IsOpen() || dialog->Open(400, 500));
    GeSetBusyCursor(2);
    return ok;
  }
  Int32 GetState() override { return dialog ? 0x40000000 : 0; }
};

class TestPrefs : public PrefsDialogObject
{
public:
  enum : Int32 { ID_PREVIEWS = 1009, ID_MEMORY = 1011 };
  static constexpr Int32 kContainer = 1019747;
  Bool CreateLayout() override
  {
    GroupBegin(0, ORX_FIT_H, 2, 0, String("Browser"), 2);
    AddCheckbox(ID_PREVIEWS, 0, String("Background previews"));
    AddStaticText(0, 0, String(""));
    AddStaticText(0, 0, String("Memory (MB)"));
    AddEditNumber(ID_MEMORY, 0, 128, 1024);
    GroupEnd();
    return true;
  }
  Bool InitValues() override
  {
    const BaseContainer* bc = GeGetPrefs()->GetContainerInstance(kContainer);
    SetBool(ID_PREVIEWS, bc ? bc->GetBool(9, true) : true);
    SetInt32(ID_MEMORY, bc ? bc->GetInt32(6, 256) : 256);
    return true;
  }
  Bool Command(Int32 id) override
  {
    BaseContainer* prefs = GeGetPrefs();
    BaseContainer* bc = prefs->GetContainerInstance(kContainer);
    if (!bc)
      bc = prefs->SetContainer(kContainer, BaseContainer());
    Bool on = false;
    Int32 mem = 0;
    if (id == ID_PREVIEWS && GetBool(ID_PREVIEWS, on))
      bc->SetBool(9, on);
    if (id == ID_MEMORY && GetInt32(ID_MEMORY, mem))
      bc->SetInt32(6, mem);
    return true;
  }
};

} // namespace testplugin
