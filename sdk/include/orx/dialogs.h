// The host's dialog classes: plug-ins derive from them and the host lays them out, runs and draws
// them. Threads: main thread, except the Post* functions, which any thread may call. A worker
// reports to a dialog by its handle (GetHandle) through the Post* functions, never through a
// pointer to it: a post to a dialog that is gone is dropped by the host.
#pragma once

#include "orx/container.h"
#include "orx/filename.h"
#include "orx/string.h"
#include "orx/uitable.h"

class BaseBitmap;
class GeUserArea;
class SubDialog;

// Command ids of the standard buttons of modal dialogs.
constexpr Int32 IDC_OK = 1;
constexpr Int32 IDC_CANCEL = 2;

class GeDialog
{
public:
  GeDialog() = default;
  virtual ~GeDialog();
  GeDialog(const GeDialog&) = delete;
  GeDialog& operator=(const GeDialog&) = delete;

  // --- overridden by plug-ins ---
  virtual Bool CreateLayout() { return true; }
  virtual Bool InitValues() { return true; }
  virtual Bool Command(Int32 id) { return true; }
  virtual void Timer() {}
  // True keeps the dialog open.
  virtual Bool AskClose() { return false; }
  virtual Int32 Message(const OrxMessage& msg) { return 0; }
  virtual void CoreMessage(Int32 id, Int64 p1, Int64 p2) {}

  // --- opening ---
  Bool Open(Int32 width = 0, Int32 height = 0);
  Bool Close();
  Bool IsOpen();
  void SetTitle(const String& title);
  // The host's handle of this dialog; 0 when the host has no user interface. Workers post to it.
  Int32 GetHandle();

  // --- layout, inside CreateLayout ---
  Bool GroupBegin(Int32 id, Int32 flags, Int32 cols, Int32 rows, const String& title = String(), Int32 border = 0);
  Bool GroupSpace(Int32 spaceX, Int32 spaceY);
  Bool GroupEnd();
  Bool ScrollGroupBegin(Int32 id, Int32 flags, Int32 width, Int32 height);
  Bool AddStaticText(Int32 id, Int32 flags, const String& text, Int32 width = 0);
  Bool AddEditText(Int32 id, Int32 flags, Int32 width = 0);
  Bool AddEditNumber(Int32 id, Int32 flags, Float min, Float max, Float step = 1.0, Int32 width = 0);
  Bool AddButton(Int32 id, Int32 flags, const String& text);
  Bool AddCheckbox(Int32 id, Int32 flags, const String& text);
  Bool AddRadioGroup(Int32 id, Int32 flags, Int32 cols);
  Bool AddPopup(Int32 id, Int32 flags, Int32 width = 0);
  Bool AddCombo(Int32 id, Int32 flags, Int32 width = 0);
  Bool AddChild(Int32 gadget, Int32 itemId, const String& text);
  Bool FreeChildren(Int32 gadget);
  Bool AddSlider(Int32 id, Int32 flags, Float min, Float max, Float step = 1.0, Int32 width = 0);
  Bool AddProgressBar(Int32 id, Int32 flags, Int32 width = 0);
  Bool AddSeparator();
  Bool AddUserArea(Int32 id, Int32 flags, GeUserArea& area, Int32 width = 0, Int32 height = 0);
  Bool AddSubDialog(Int32 id, Int32 flags, SubDialog& sub);
  // Refilling a group of an open dialog: flush, add its new gadgets, then LayoutChanged.
  Bool LayoutFlushGroup(Int32 id);
  Bool LayoutChanged();

  // --- values by gadget id ---
  Bool SetInt32(Int32 id, Int32 v);
  Bool SetFloat(Int32 id, Float v);
  Bool SetBool(Int32 id, Bool v) { return SetInt32(id, v ? 1 : 0); }
  Bool SetString(Int32 id, const String& v);
  Bool GetInt32(Int32 id, Int32& v);
  Bool GetFloat(Int32 id, Float& v);
  Bool GetBool(Int32 id, Bool& v);
  Bool GetString(Int32 id, String& v);
  Bool Enable(Int32 id, Bool on);
  Bool HideElement(Int32 id, Bool hide);
  // 0 stops it
  void SetTimer(Int32 ms);

  // --- requests tied to this dialog ---
  // The result arrives as a Message of kind ORX_MSG_POPUPEDIT carrying userData.
  Bool PopupEditText(Int32 x, Int32 y, Int32 w, Int32 h, const String& text, void* userData);
  // items: ids to texts in order; the chosen id, 0 when none
  Int32 ShowPopupMenu(Int32 x, Int32 y, const BaseContainer& items);

protected:
  explicit GeDialog(Bool sub) : sub_(sub) {}
  Bool OpenAs(Int32 mode, Int32 width, Int32 height);
  Bool Add(Int32 kind, Int32 id, Int32 flags, const String* text, Int32 width = 0, Int32 height = 0);

private:
  Int32 handle_ = 0;
  Bool sub_ = false;
};

// Open runs the dialog until it closes; OK and Cancel close it with their result.
class GeModalDialog : public GeDialog
{
public:
  Bool Open(Int32 width = 0, Int32 height = 0);
  Bool Command(Int32 id) override;
  // Closes with a result (true for OK).
  Bool Close(Bool result);
  Bool GetResult() const { return result_; }

private:
  Bool result_ = false;
};

// A dialog laid out inside another one (AddSubDialog) or in the preferences window.
class SubDialog : public GeDialog
{
public:
  SubDialog() : GeDialog(true) {}
};

// A preference page: registered once, laid out by the host in its preferences window.
class PrefsDialogObject : public SubDialog
{
public:
  Bool Register(Int32 id, const String& name);
};

class GeUserArea
{
public:
  GeUserArea() = default;
  virtual ~GeUserArea();
  GeUserArea(const GeUserArea&) = delete;
  GeUserArea& operator=(const GeUserArea&) = delete;

  // --- overridden by plug-ins ---
  virtual void DrawMsg(Int32 x1, Int32 y1, Int32 x2, Int32 y2) {}
  virtual Bool InputEvent(const OrxInputEvent& ev) { return false; }
  virtual Bool GetMinSize(Int32& w, Int32& h) { return false; }
  virtual void Sized(Int32 w, Int32 h) {}
  // kind ORX_MSG_DRAG_ENTER or ORX_MSG_DRAG_DROP; true accepts
  virtual Bool Drag(Int32 kind, const OrxDragInfo& info) { return false; }

  Int32 GetHandle();
  void Redraw();
  Int32 GetWidth();
  Int32 GetHeight();
  Bool HasFocus();
  void GetVisible(Int32& x1, Int32& y1, Int32& x2, Int32& y2);
  void ScrollTo(Int32 x, Int32 y);

  // --- drawing, inside DrawMsg ---
  void DrawSetPen(Int32 colorId);
  void DrawSetPenRgb(UInt32 rgb);
  void DrawRectangle(Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  void DrawFrame(Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  void DrawLine(Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  void DrawBitmap(const BaseBitmap& bmp, Int32 x, Int32 y, Int32 w, Int32 h);
  void DrawIcon(Int32 iconId, Int32 x, Int32 y, Int32 w, Int32 h);
  void DrawText(const String& text, Int32 x, Int32 y, Int32 flags = ORX_TEXT_LEFT);
  void SetClippingRegion(Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  void ClearClippingRegion();
  Int32 DrawGetTextWidth(const String& text);
  Int32 DrawGetFontHeight();

  // A drag of typed data from this area, from InputEvent; data stays the caller's.
  Bool HandleMouseDrag(Int32 typeId, void* data);

private:
  Int32 handle_ = 0;
};

// A menu command; Register keeps a pointer to it, so it lives until the end of the program.
class CommandData
{
public:
  virtual ~CommandData() = default;
  virtual Bool Execute() = 0;
  virtual Int32 GetState() { return 0x40000000; }
  Bool Register(Int32 id, const String& name, Int32 iconId = 0, const String& help = String());
};

// --- messages and requests (main thread) ---
// Answers ORX_MB_OK, ORX_MB_YES or ORX_MB_NO.
Int32 GeOutString(const String& text, Int32 style);
// A yes/no question: true for yes.
Bool GeQuestionDialog(const String& text);
Bool GeFileSelect(Filename& name, Int32 kind, const String& title);
void GeSetBusyCursor(Int32 mode);
UInt32 GeGetHostColor(Int32 colorId);
Bool GeIconExists(Int32 iconId);
void GeSetClipboardText(const String& text);
Bool GeGetClipboardText(String& out);

// --- any thread: delivered on the main thread; dropped when the dialog or area is gone ---
void GePostCoreMessage(Int32 dialogHandle, Int32 id, Int64 p1 = 0, Int64 p2 = 0);
void GePostRedraw(Int32 areaHandle);
void GePostFloat(Int32 dialogHandle, Int32 gadget, Float v);
