// The user-interface family of the service table: dialogs, user areas, messages, commands,
// preference pages. Dialogs and user areas live in the plug-in; the host knows them by handle (an
// Int32 that is never reused), and calls them back through a record of C functions that the sdk
// fills. Workers never hold a dialog: they post to its handle, and the host delivers on the main
// thread, or drops the post when the dialog is gone.
#pragma once

#include "orx/types.h"

class String;
class Filename;
class BaseBitmap;
class BaseContainer;

extern "C" {

// Gadget kinds of the layout.
enum OrxGadgetKind : Int32
{
  ORX_GADGET_GROUP = 1,      // cols x rows; ends with groupEnd
  ORX_GADGET_SCROLLGROUP,    // a scroll container (one child, usually a user area); ends with groupEnd
  ORX_GADGET_RADIOGROUP,     // items added with addItem; value: the chosen item id
  ORX_GADGET_STATIC,         // text
  ORX_GADGET_EDITTEXT,       // value: text
  ORX_GADGET_EDITNUMBER,     // value: number within min..max
  ORX_GADGET_BUTTON,         // text; a click is a Command
  ORX_GADGET_CHECKBOX,       // value: 0 or 1
  ORX_GADGET_POPUP,          // items; value: the chosen item id
  ORX_GADGET_COMBO,          // items and free text; value: text, number: item id
  ORX_GADGET_SLIDER,         // value: number within min..max
  ORX_GADGET_PROGRESS,       // value: 0.0 .. 1.0
  ORX_GADGET_USERAREA,       // the user area handle in `attach`
  ORX_GADGET_SUBDIALOG,      // the sub-dialog handle in `attach`
  ORX_GADGET_SEPARATOR,
};

// Layout flags of a gadget (bits).
constexpr Int32 ORX_FIT_H = 1, ORX_FIT_V = 2, ORX_ALIGN_LEFT = 4, ORX_ALIGN_RIGHT = 8, ORX_ALIGN_CENTER = 16;

struct OrxGadgetDesc
{
  Int32 kind;
  Int32 id;
  Int32 flags;
  Int32 cols, rows;          // groups
  Int32 width, height;       // minimum size in pixels (0: the host's choice)
  const String* text;        // title, label or initial text (may be null)
  Float min, max, step;      // numbers, sliders
  Int32 attach;              // user area or sub-dialog handle
  Int32 borderStyle;         // groups: 0 none, 1 line, 2 titled
  Int32 spaceX, spaceY;      // groups: spacing between children
};

// What the host tells a dialog besides commands.
enum OrxMessageKind : Int32
{
  ORX_MSG_DRAG_ENTER = 1, // a drag over the dialog (not over a user area)
  ORX_MSG_DRAG_DROP,
  ORX_MSG_ACTIVATE,       // the dialog became the active window
  ORX_MSG_POPUPEDIT,      // popup text editing ended: value 1 closed (text), 2 cancelled
};

struct OrxDragInfo
{
  Int32 typeId;      // the drag's type (plug-in id space)
  void* data;        // the source's data, valid until the drag ends
  Int32 x, y;        // in the receiver's coordinates
};

struct OrxMessage
{
  Int32 kind;
  Int32 gadget;
  Int64 value;
  const OrxDragInfo* drag;     // drag messages
  const String* text;          // popup edit
  void* userData;              // popup edit: what the caller gave
};

// Main thread; the sdk catches every exception and answers failure.
struct OrxDialogCallbacks
{
  Bool (*createLayout)(void* self);
  Bool (*initValues)(void* self);
  Bool (*command)(void* self, Int32 id);
  void (*timer)(void* self);
  Bool (*askClose)(void* self);          // false keeps it open
  Int32 (*message)(void* self, const OrxMessage* msg);
  void (*coreMessage)(void* self, Int32 id, Int64 p1, Int64 p2);
};

// Input of a user area.
enum OrxInputKind : Int32
{
  ORX_INPUT_MOUSE_DOWN = 1,
  ORX_INPUT_MOUSE_UP,
  ORX_INPUT_MOUSE_MOVE,
  ORX_INPUT_DOUBLE_CLICK,
  ORX_INPUT_WHEEL,
  ORX_INPUT_KEY,
};
constexpr Int32 ORX_QUAL_SHIFT = 1, ORX_QUAL_CTRL = 2, ORX_QUAL_ALT = 4;
constexpr Int32 ORX_BUTTON_LEFT = 1, ORX_BUTTON_RIGHT = 2, ORX_BUTTON_MIDDLE = 3;

struct OrxInputEvent
{
  Int32 kind;
  Int32 x, y;        // area coordinates (the scroll offset included)
  Int32 button;      // mouse kinds
  Int32 qualifiers;  // ORX_QUAL_*
  Int32 key;         // key kind: a Unicode code point or an ORX_KEY_* value
  Int32 delta;       // wheel: lines, positive away from the user
};
constexpr Int32 ORX_KEY_ENTER = 0x10000, ORX_KEY_ESC = 0x10001, ORX_KEY_UP = 0x10002, ORX_KEY_DOWN = 0x10003,
                ORX_KEY_LEFT = 0x10004, ORX_KEY_RIGHT = 0x10005, ORX_KEY_DELETE = 0x10006;

// Main thread; draw only inside `draw`.
struct OrxUserAreaCallbacks
{
  void (*draw)(void* self, Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  Bool (*input)(void* self, const OrxInputEvent* ev);
  void (*getMinSize)(void* self, Int32* w, Int32* h);
  void (*sized)(void* self, Int32 w, Int32 h);
  // a drag over the area (kind ORX_MSG_DRAG_ENTER) or its drop; true accepts
  Bool (*drag)(void* self, Int32 kind, const OrxDragInfo* info);
};

struct OrxCommandCallbacks
{
  Bool (*execute)(void* self);
  Int32 (*getState)(void* self); // 0x40000000 enabled, 0x7fffffff ticked, 0 disabled
};

// Message box styles and answers.
constexpr Int32 ORX_MB_PLAIN = 0, ORX_MB_YESNO = 4, ORX_MB_WARNING = 48;
constexpr Int32 ORX_MB_OK = 1, ORX_MB_YES = 6, ORX_MB_NO = 7;

// File selection kinds.
constexpr Int32 ORX_FILESELECT_LOAD = 0, ORX_FILESELECT_SAVE = 1, ORX_FILESELECT_FOLDER = 2;

// Opening modes.
constexpr Int32 ORX_DIALOG_NONMODAL = 0, ORX_DIALOG_MODAL = 1;

// Host colours the views draw with.
constexpr Int32 ORX_COLOR_BG = 1215, ORX_COLOR_TEXT_FOCUS = 1216, ORX_COLOR_TEXT_NOFOCUS = 1217,
                ORX_COLOR_SELECT_FOCUS = 1218, ORX_COLOR_SELECT_NOFOCUS = 1219, ORX_COLOR_MARKED = 1220,
                ORX_COLOR_TEXT = 1221, ORX_COLOR_LINE = 1222, ORX_COLOR_DIALOG = 1223;

// Text drawing flags.
constexpr Int32 ORX_TEXT_LEFT = 0, ORX_TEXT_CENTER = 1, ORX_TEXT_RIGHT = 2;

struct OrxUiTable
{
  Int32 version, size;
  // --- dialogs (main thread; the handle is the caller's until dialogFree) ---
  Int32 (*dialogNew)(const OrxDialogCallbacks* cb, void* self, Bool sub);
  void (*dialogFree)(Int32 dlg);
  // modal: returns when the dialog closed; non-modal: returns at once; false when it cannot open
  Bool (*dialogOpen)(Int32 dlg, Int32 mode, Int32 width, Int32 height);
  Bool (*dialogClose)(Int32 dlg);
  Bool (*dialogIsOpen)(Int32 dlg);
  void (*dialogSetTitle)(Int32 dlg, const String* title);
  // layout, inside createLayout: groups nest until groupEnd
  Bool (*addGadget)(Int32 dlg, const OrxGadgetDesc* desc);
  Bool (*groupEnd)(Int32 dlg);
  // an entry of a popup, combo or radio group
  Bool (*addItem)(Int32 dlg, Int32 gadget, Int32 itemId, const String* text);
  Bool (*clearItems)(Int32 dlg, Int32 gadget);
  // values by gadget id
  Bool (*setInt)(Int32 dlg, Int32 gadget, Int64 v);
  Bool (*setFloat)(Int32 dlg, Int32 gadget, Float v);
  Bool (*setString)(Int32 dlg, Int32 gadget, const String* v);
  Bool (*getInt)(Int32 dlg, Int32 gadget, Int64* v);
  Bool (*getFloat)(Int32 dlg, Int32 gadget, Float* v);
  Bool (*getString)(Int32 dlg, Int32 gadget, String* v);
  Bool (*enable)(Int32 dlg, Int32 gadget, Bool on);
  Bool (*show)(Int32 dlg, Int32 gadget, Bool on);
  // 0 stops the timer
  void (*setTimer)(Int32 dlg, Int32 ms);
  // --- any thread: queued, delivered on the main thread, dropped when the target is gone ---
  // dlg 0: every open dialog
  void (*postCoreMessage)(Int32 dlg, Int32 id, Int64 p1, Int64 p2);
  void (*postRedraw)(Int32 area);
  void (*postFloat)(Int32 dlg, Int32 gadget, Float v);
  // --- user areas (main thread) ---
  Int32 (*areaNew)(const OrxUserAreaCallbacks* cb, void* self);
  void (*areaFree)(Int32 area);
  void (*areaRedraw)(Int32 area);
  void (*areaSize)(Int32 area, Int32* w, Int32* h);
  Bool (*areaHasFocus)(Int32 area);
  // the part of the area that a scroll container shows
  void (*areaVisible)(Int32 area, Int32* x1, Int32* y1, Int32* x2, Int32* y2);
  void (*areaScrollTo)(Int32 area, Int32 x, Int32 y);
  // drawing, only inside draw
  void (*drawPen)(Int32 area, Int32 colorId);
  void (*drawPenRgb)(Int32 area, UInt32 rgb);
  void (*drawFill)(Int32 area, Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  void (*drawFrame)(Int32 area, Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  void (*drawLine)(Int32 area, Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  // the bitmap is scaled from its source rectangle into the target; channel 4 is alpha
  void (*drawBitmap)(Int32 area, const BaseBitmap* bmp, Int32 x, Int32 y, Int32 w, Int32 h);
  void (*drawIcon)(Int32 area, Int32 iconId, Int32 x, Int32 y, Int32 w, Int32 h);
  void (*drawText)(Int32 area, const String* text, Int32 x, Int32 y, Int32 flags);
  void (*drawClip)(Int32 area, Int32 x1, Int32 y1, Int32 x2, Int32 y2);
  void (*drawClipOff)(Int32 area);
  Int32 (*textWidth)(Int32 area, const String* text);
  Int32 (*fontHeight)(Int32 area);
  // a drag from this area (main thread, from input); data stays the caller's until it returns
  Bool (*startDrag)(Int32 area, Int32 typeId, void* data);
  // --- messages and requests (main thread) ---
  Int32 (*messageBox)(const String* text, Int32 style);
  // name: in the start name, out the choice; false when cancelled
  Bool (*selectFile)(Filename* name, Int32 kind, const String* title);
  // the result comes as an ORX_MSG_POPUPEDIT message to the dialog
  Bool (*popupEdit)(Int32 dlg, Int32 x, Int32 y, Int32 w, Int32 h, const String* text, void* userData);
  // items: ids to texts in order; the chosen id or 0
  Int32 (*popupMenu)(Int32 dlg, Int32 x, Int32 y, const BaseContainer* items);
  void (*busyCursor)(Int32 mode); // 2 normal, 3 busy
  // --- registrations (main thread); the self pointers stay the caller's and must outlive them ---
  Bool (*commandRegister)(Int32 id, const String* name, Int32 iconId, const String* help,
                          const OrxCommandCallbacks* cb, void* self);
  // the page is a sub-dialog the host lays out inside its preferences window
  Bool (*prefsPageRegister)(Int32 id, const String* name, Int32 subDialog);
  // --- any thread ---
  UInt32 (*color)(Int32 colorId); // 0xRRGGBB
  Bool (*iconExists)(Int32 iconId);
  void (*clipboardSet)(const String* text);
  Bool (*clipboardGet)(String* out);
  // --- layout changes of an open dialog (main thread) ---
  // empties a group; the gadgets added next go into it until layoutChanged
  Bool (*groupFlush)(Int32 dlg, Int32 group);
  // the changed layout is shown
  Bool (*layoutChanged)(Int32 dlg);
};

} // extern "C"
