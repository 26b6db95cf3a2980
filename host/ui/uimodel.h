// The host-side model of the user interface: dialogs as gadget trees with values, user areas with
// the drawing calls of their last frame, timers, the queue of posts from workers, commands and
// preference pages. No toolkit: a front end (the terminal, Qt, a test) shows it and feeds input.
//
// Threads: everything here belongs to the main thread (the first thread that used the model),
// except Post* and Wake, which any thread may call. A main-thread entry called from another
// thread is refused and reported on the console.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "orx/uitable.h"

namespace orxhost::ui {

struct Item
{
  Int32 id;
  std::string text;
};

struct Gadget
{
  Int32 kind = 0;
  Int32 id = 0;
  Int32 flags = 0;
  Int32 cols = 1, rows = 0;
  Int32 width = 0, height = 0;
  Int32 border = 0;
  Int32 spaceX = 4, spaceY = 4;
  std::string text; // label; the value of text gadgets
  Float min = 0, max = 0, step = 1;
  Int32 attach = 0; // user area or sub-dialog handle
  std::vector<Item> items;
  Int64 intValue = 0;
  Float floatValue = 0;
  bool enabled = true, visible = true;
  std::vector<std::size_t> children; // indices into Dialog::gadgets
  Int32 scrollX = 0, scrollY = 0;    // scroll groups
};

enum class DrawOp { Pen, Fill, Frame, Line, Bitmap, Icon, Text, Clip, ClipOff };

struct DrawCall
{
  DrawOp op = DrawOp::Pen;
  Int32 x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  UInt32 rgb = 0;       // Pen: the colour
  Int32 id = 0;         // Pen: the colour id (0 for an RGB pen); Icon: icon id; Text: flags
  std::string text;     // Text
  // Bitmap: a copy of the pixels (RGB or RGBA rows), as they were when drawn
  Int32 bw = 0, bh = 0, channels = 0;
  std::shared_ptr<std::vector<unsigned char>> pixels;
};

struct DialogView
{
  Int32 handle = 0;
  bool sub = false, open = false, modal = false;
  std::string title;
  Int32 width = 0, height = 0;
  Int32 timerMs = 0;
  std::vector<Gadget> gadgets; // gadgets[0] is the root group
};

// What a front end does; the headless one (the default) answers from queues that tests fill.
class FrontEnd
{
public:
  virtual ~FrontEnd() = default;
  // Runs until the dialog is closed: delivers posts, ticks timers, feeds input. False: cannot.
  virtual bool RunModal(Int32 dialog) = 0;
  virtual Int32 MessageBox(const std::string& text, Int32 style) = 0;
  // In: the start name; out: the choice. False when cancelled.
  virtual bool SelectFile(std::string& name, Int32 kind, const std::string& title) = 0;
  // The answer comes later through FinishPopupEdit, or at once.
  virtual void PopupEdit(Int32 dialog, Int32 x, Int32 y, Int32 w, Int32 h, const std::string& text, void* userData) = 0;
  virtual Int32 PopupMenu(Int32 dialog, Int32 x, Int32 y, const std::vector<Item>& items) = 0;
  virtual void BusyCursor(Int32 mode) {}
  // Runs a drag an area started until it is dropped (DropOn...) or cancelled; false when it could
  // not run it.
  virtual bool RunDrag() = 0;
  // The model changed: a dialog opened, closed, got a value or a layout; an area wants a redraw.
  virtual void DialogOpened(Int32 dialog) {}
  virtual void DialogClosed(Int32 dialog) {}
  virtual void GadgetChanged(Int32 dialog, Int32 gadget) {} // gadget 0: the title
  virtual void LayoutChanged(Int32 dialog) {}
  virtual void AreaDirty(Int32 area) {}
  // Any thread: something was posted; the front end calls DeliverPosts on its main thread soon.
  virtual void Wake() {}
  // Any thread: the plug-in put text on the clipboard.
  virtual void ClipboardChanged(const std::string& text) {}
  // Text measures of user areas.
  virtual Int32 TextWidth(const std::string& text) { return Int32(text.size()) * 7; }
  virtual Int32 FontHeight() { return 14; }
};

// Answers tests and scripts give in advance; each is used once, in order.
struct Script
{
  std::vector<Int32> messageAnswers;         // message boxes (style yes/no: ORX_MB_YES or _NO)
  std::vector<std::string> files;            // file selections ("" cancels)
  std::vector<Int32> menuChoices;            // popup menus (0: none)
  std::vector<std::string> popupEdits;       // popup edits ("\x1b" cancels)
  // Called again and again while a modal dialog runs headless (after posts and timers).
  std::function<void(Int32 dialog)> modalDriver;
  // Called inside a drag that an area started: drops it (DropOnArea...) or leaves it cancelled.
  std::function<void()> dragDriver;
};

// The front end in use (the headless one unless set); the model does not own it.
void SetFrontEnd(FrontEnd* fe);
FrontEnd* GetFrontEnd();
// The headless front end's script (tests).
Script& HeadlessScript();
// What the headless front end saw.
struct Shown
{
  Int32 style;
  std::string text;
};
std::vector<Shown> ShownMessages();
Int32 BusyCursorMode();

// --- the main thread ---
// The calling thread becomes the main thread (the first use does it otherwise).
void BindMainThread();
bool OnMainThread();

// --- delivery (main thread) ---
// Delivers the posts queued so far; the number delivered (dropped ones not counted).
int DeliverPosts();
// Runs the timers that are due at the model clock now (milliseconds; tests advance it).
void TickTimers(Int64 nowMs);
// The milliseconds until the next timer is due (-1: none).
Int64 NextTimerIn(Int64 nowMs);
Int64 Clock();
// Tests set the clock that timers follow (-1: the steady clock again).
void SetFakeClock(Int64 ms);
// Every post delivered, every timer due run, and what they caused redrawn.
void Pump();

// --- reading the model (main thread) ---
std::vector<Int32> OpenDialogs();
bool GetDialog(Int32 dialog, DialogView* out);
const Gadget* FindGadget(Int32 dialog, Int32 id);
// The dialog whose root shows the area, and the area's gadget id; false when not laid out.
bool AreaPlace(Int32 area, Int32* dialog, Int32* gadget);
// Redraws the area at a size and gives its calls.
std::vector<DrawCall> DrawArea(Int32 area, Int32 width, Int32 height);
// The calls of the area's last frame.
std::vector<DrawCall> LastFrame(Int32 area);
bool AreaDirtyFlag(Int32 area);
void AreaMinSize(Int32 area, Int32* w, Int32* h);

// --- input (main thread); what a person does ---
bool Click(Int32 dialog, Int32 gadget);           // a button, a check box (toggles it)
bool TypeText(Int32 dialog, Int32 gadget, const std::string& text);
bool SetNumber(Int32 dialog, Int32 gadget, Float v); // edit numbers, sliders
bool Choose(Int32 dialog, Int32 gadget, Int32 itemId); // popups, combos, radio groups
bool RequestClose(Int32 dialog);                  // the window's close box: asks the dialog
bool AreaInput(Int32 area, const OrxInputEvent& ev);
void SetAreaFocus(Int32 area, bool focus);
// Scroll containers: the offset of the area inside its container.
void ScrollArea(Int32 area, Int32 x, Int32 y);
void AreaScroll(Int32 area, Int32* x, Int32* y);
// The size of the part a scroll container shows (front ends tell it when the window is sized).
void SetAreaViewport(Int32 area, Int32 w, Int32 h);
void AreaVisible(Int32 area, Int32* x1, Int32* y1, Int32* x2, Int32* y2);
// A drag started by an area (startDrag), while the front end runs it.
struct PendingDrag
{
  bool active = false;
  Int32 sourceArea = 0, typeId = 0;
  void* data = nullptr;
  bool taken = false; // a receiver accepted the drop
};
PendingDrag CurrentDrag();
// Offers the drag to an area (enter) and drops it there; true when accepted.
bool DragOverArea(Int32 area, Int32 x, Int32 y);
bool DropOnArea(Int32 area, Int32 x, Int32 y);
bool DropOnDialog(Int32 dialog, Int32 x, Int32 y);
void CancelDrag();
// Gives the popup edit's answer (cancelled: false) to the dialog that asked.
void FinishPopupEdit(Int32 dialog, bool ok, const std::string& text, void* userData);

// --- commands and preference pages ---
struct CommandInfo
{
  Int32 id;
  std::string name, help;
  Int32 icon;
  bool callable;  // registered with callbacks
};
// Every command: those with callbacks and those the system family registered by name only.
std::vector<CommandInfo> Commands();
bool ExecuteCommand(Int32 id);
Int32 CommandState(Int32 id);
struct PrefsPage
{
  Int32 id;
  std::string name;
  Int32 dialog; // sub-dialog handle; 0 for a page registered by name only
};
std::vector<PrefsPage> PrefsPages();
// Lays out a sub-dialog that stands on its own (a preference page) and marks it open; closes it.
bool OpenSubDialog(Int32 sub);
void CloseSubDialog(Int32 sub);

// --- host services of the family ---
UInt32 HostColor(Int32 id);
std::string Clipboard();
// The system's clipboard changed (front ends); the plug-in reads this text next.
void SetClipboard(const std::string& text);

// Forgets every dialog, area, command, page and post (tests; the objects stay the plug-in's).
void Reset();

} // namespace orxhost::ui
