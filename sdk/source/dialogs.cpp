// The dialog classes over the host's user-interface family. Every call from the host into plug-in
// code passes a trampoline here that turns an exception into a failure answer.
#include "orx/dialogs.h"

#include <cstddef>
#include <cstdio>

#include "orx/hosttable.h"

namespace {
// The family, or null when the host has none (an older host): every call then answers failure.
const OrxUiTable* UI()
{
  const OrxHostTable* t = OrxGetHostTable();
  if (!t || t->size < Int32(offsetof(OrxHostTable, ui) + sizeof(t->ui)))
    return nullptr;
  return t->ui;
}

template <typename F>
auto Guard(F&& f, decltype(f()) fail) noexcept -> decltype(f())
{
  try {
    return f();
  } catch (...) {
    std::fprintf(stderr, "orx sdk: an exception was stopped at the host's call into a dialog\n");
    return fail;
  }
}

GeDialog* D(void* self) { return static_cast<GeDialog*>(self); }
GeUserArea* A(void* self) { return static_cast<GeUserArea*>(self); }

const OrxDialogCallbacks kDialogCallbacks = {
    [](void* s) noexcept { return Guard([&] { return D(s)->CreateLayout(); }, false); },
    [](void* s) noexcept { return Guard([&] { return D(s)->InitValues(); }, false); },
    [](void* s, Int32 id) noexcept { return Guard([&] { return D(s)->Command(id); }, false); },
    [](void* s) noexcept { Guard([&] { D(s)->Timer(); return 0; }, 0); },
    // The host asks whether it may close: a dialog that throws stays open.
    [](void* s) noexcept { return Guard([&] { return !D(s)->AskClose(); }, false); },
    [](void* s, const OrxMessage* m) noexcept { return Guard([&] { return D(s)->Message(*m); }, 0); },
    [](void* s, Int32 id, Int64 p1, Int64 p2) noexcept {
      Guard([&] { D(s)->CoreMessage(id, p1, p2); return 0; }, 0);
    },
};

const OrxUserAreaCallbacks kAreaCallbacks = {
    [](void* s, Int32 x1, Int32 y1, Int32 x2, Int32 y2) noexcept {
      Guard([&] { A(s)->DrawMsg(x1, y1, x2, y2); return 0; }, 0);
    },
    [](void* s, const OrxInputEvent* ev) noexcept { return Guard([&] { return A(s)->InputEvent(*ev); }, false); },
    [](void* s, Int32* w, Int32* h) noexcept {
      Guard([&] {
        Int32 mw = 0, mh = 0;
        if (A(s)->GetMinSize(mw, mh)) {
          *w = mw;
          *h = mh;
        }
        return 0;
      }, 0);
    },
    [](void* s, Int32 w, Int32 h) noexcept { Guard([&] { A(s)->Sized(w, h); return 0; }, 0); },
    [](void* s, Int32 kind, const OrxDragInfo* info) noexcept {
      return Guard([&] { return A(s)->Drag(kind, *info); }, false);
    },
};

const OrxCommandCallbacks kCommandCallbacks = {
    [](void* s) noexcept { return Guard([&] { return static_cast<CommandData*>(s)->Execute(); }, false); },
    [](void* s) noexcept { return Guard([&] { return static_cast<CommandData*>(s)->GetState(); }, 0); },
};
} // namespace

// --- GeDialog ---
GeDialog::~GeDialog()
{
  if (handle_)
    if (const OrxUiTable* ui = UI())
      ui->dialogFree(handle_);
}

Int32 GeDialog::GetHandle()
{
  if (!handle_)
    if (const OrxUiTable* ui = UI())
      handle_ = ui->dialogNew(&kDialogCallbacks, this, sub_);
  return handle_;
}

Bool GeDialog::OpenAs(Int32 mode, Int32 width, Int32 height)
{
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->dialogOpen(handle_, mode, width, height);
}
Bool GeDialog::Open(Int32 width, Int32 height) { return OpenAs(ORX_DIALOG_NONMODAL, width, height); }
Bool GeDialog::Close()
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->dialogClose(handle_);
}
Bool GeDialog::IsOpen()
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->dialogIsOpen(handle_);
}
void GeDialog::SetTitle(const String& title)
{
  if (const OrxUiTable* ui = UI(); ui && GetHandle())
    ui->dialogSetTitle(handle_, &title);
}

Bool GeDialog::Add(Int32 kind, Int32 id, Int32 flags, const String* text, Int32 width, Int32 height)
{
  OrxGadgetDesc d{};
  d.kind = kind;
  d.id = id;
  d.flags = flags;
  d.text = text;
  d.width = width;
  d.height = height;
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->addGadget(handle_, &d);
}

Bool GeDialog::GroupBegin(Int32 id, Int32 flags, Int32 cols, Int32 rows, const String& title, Int32 border)
{
  OrxGadgetDesc d{};
  d.kind = ORX_GADGET_GROUP;
  d.id = id;
  d.flags = flags;
  d.cols = cols;
  d.rows = rows;
  d.text = &title;
  d.borderStyle = border;
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->addGadget(handle_, &d);
}
Bool GeDialog::GroupSpace(Int32 spaceX, Int32 spaceY)
{
  // Spacing belongs to the group that is open: a zero-kind record carries it.
  OrxGadgetDesc d{};
  d.kind = 0;
  d.spaceX = spaceX;
  d.spaceY = spaceY;
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->addGadget(handle_, &d);
}
Bool GeDialog::GroupEnd()
{
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->groupEnd(handle_);
}
Bool GeDialog::ScrollGroupBegin(Int32 id, Int32 flags, Int32 width, Int32 height)
{
  return Add(ORX_GADGET_SCROLLGROUP, id, flags, nullptr, width, height);
}
Bool GeDialog::AddStaticText(Int32 id, Int32 flags, const String& text, Int32 width)
{
  return Add(ORX_GADGET_STATIC, id, flags, &text, width);
}
Bool GeDialog::AddEditText(Int32 id, Int32 flags, Int32 width) { return Add(ORX_GADGET_EDITTEXT, id, flags, nullptr, width); }
Bool GeDialog::AddEditNumber(Int32 id, Int32 flags, Float min, Float max, Float step, Int32 width)
{
  OrxGadgetDesc d{};
  d.kind = ORX_GADGET_EDITNUMBER;
  d.id = id;
  d.flags = flags;
  d.min = min;
  d.max = max;
  d.step = step;
  d.width = width;
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->addGadget(handle_, &d);
}
Bool GeDialog::AddButton(Int32 id, Int32 flags, const String& text) { return Add(ORX_GADGET_BUTTON, id, flags, &text); }
Bool GeDialog::AddCheckbox(Int32 id, Int32 flags, const String& text)
{
  return Add(ORX_GADGET_CHECKBOX, id, flags, &text);
}
Bool GeDialog::AddRadioGroup(Int32 id, Int32 flags, Int32 cols)
{
  OrxGadgetDesc d{};
  d.kind = ORX_GADGET_RADIOGROUP;
  d.id = id;
  d.flags = flags;
  d.cols = cols;
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->addGadget(handle_, &d);
}
Bool GeDialog::AddPopup(Int32 id, Int32 flags, Int32 width) { return Add(ORX_GADGET_POPUP, id, flags, nullptr, width); }
Bool GeDialog::AddCombo(Int32 id, Int32 flags, Int32 width) { return Add(ORX_GADGET_COMBO, id, flags, nullptr, width); }
Bool GeDialog::AddChild(Int32 gadget, Int32 itemId, const String& text)
{
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->addItem(handle_, gadget, itemId, &text);
}
Bool GeDialog::FreeChildren(Int32 gadget)
{
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->clearItems(handle_, gadget);
}
Bool GeDialog::AddSlider(Int32 id, Int32 flags, Float min, Float max, Float step, Int32 width)
{
  OrxGadgetDesc d{};
  d.kind = ORX_GADGET_SLIDER;
  d.id = id;
  d.flags = flags;
  d.min = min;
  d.max = max;
  d.step = step;
  d.width = width;
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->addGadget(handle_, &d);
}
Bool GeDialog::AddProgressBar(Int32 id, Int32 flags, Int32 width) { return Add(ORX_GADGET_PROGRESS, id, flags, nullptr, width); }
Bool GeDialog::AddSeparator() { return Add(ORX_GADGET_SEPARATOR, 0, ORX_FIT_H, nullptr); }
Bool GeDialog::AddUserArea(Int32 id, Int32 flags, GeUserArea& area, Int32 width, Int32 height)
{
  OrxGadgetDesc d{};
  d.kind = ORX_GADGET_USERAREA;
  d.id = id;
  d.flags = flags;
  d.width = width;
  d.height = height;
  d.attach = area.GetHandle();
  const OrxUiTable* ui = UI();
  return ui && d.attach && GetHandle() && ui->addGadget(handle_, &d);
}
Bool GeDialog::AddSubDialog(Int32 id, Int32 flags, SubDialog& sub)
{
  OrxGadgetDesc d{};
  d.kind = ORX_GADGET_SUBDIALOG;
  d.id = id;
  d.flags = flags;
  d.attach = sub.GetHandle();
  const OrxUiTable* ui = UI();
  return ui && d.attach && GetHandle() && ui->addGadget(handle_, &d);
}

Bool GeDialog::LayoutFlushGroup(Int32 id)
{
  const OrxUiTable* ui = UI();
  return ui && ORX_HAS_ENTRY(ui, groupFlush) && handle_ && ui->groupFlush(handle_, id);
}
Bool GeDialog::LayoutChanged()
{
  const OrxUiTable* ui = UI();
  return ui && ORX_HAS_ENTRY(ui, layoutChanged) && handle_ && ui->layoutChanged(handle_);
}

Bool GeDialog::SetInt32(Int32 id, Int32 v)
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->setInt(handle_, id, v);
}
Bool GeDialog::SetFloat(Int32 id, Float v)
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->setFloat(handle_, id, v);
}
Bool GeDialog::SetString(Int32 id, const String& v)
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->setString(handle_, id, &v);
}
Bool GeDialog::GetInt32(Int32 id, Int32& v)
{
  Int64 x = 0;
  const OrxUiTable* ui = UI();
  if (!ui || !handle_ || !ui->getInt(handle_, id, &x))
    return false;
  v = Int32(x);
  return true;
}
Bool GeDialog::GetFloat(Int32 id, Float& v)
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->getFloat(handle_, id, &v);
}
Bool GeDialog::GetBool(Int32 id, Bool& v)
{
  Int32 x = 0;
  if (!GetInt32(id, x))
    return false;
  v = x != 0;
  return true;
}
Bool GeDialog::GetString(Int32 id, String& v)
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->getString(handle_, id, &v);
}
Bool GeDialog::Enable(Int32 id, Bool on)
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->enable(handle_, id, on);
}
Bool GeDialog::HideElement(Int32 id, Bool hide)
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->show(handle_, id, !hide);
}
void GeDialog::SetTimer(Int32 ms)
{
  if (const OrxUiTable* ui = UI(); ui && GetHandle())
    ui->setTimer(handle_, ms);
}
Bool GeDialog::PopupEditText(Int32 x, Int32 y, Int32 w, Int32 h, const String& text, void* userData)
{
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->popupEdit(handle_, x, y, w, h, &text, userData);
}
Int32 GeDialog::ShowPopupMenu(Int32 x, Int32 y, const BaseContainer& items)
{
  const OrxUiTable* ui = UI();
  return ui && GetHandle() ? ui->popupMenu(handle_, x, y, &items) : 0;
}

// --- GeModalDialog ---
Bool GeModalDialog::Open(Int32 width, Int32 height)
{
  result_ = false;
  return OpenAs(ORX_DIALOG_MODAL, width, height);
}
Bool GeModalDialog::Command(Int32 id)
{
  if (id == IDC_OK || id == IDC_CANCEL)
    Close(id == IDC_OK);
  return true;
}
Bool GeModalDialog::Close(Bool result)
{
  result_ = result;
  return GeDialog::Close();
}

// --- PrefsDialogObject ---
Bool PrefsDialogObject::Register(Int32 id, const String& name)
{
  const OrxUiTable* ui = UI();
  return ui && GetHandle() && ui->prefsPageRegister(id, &name, GetHandle());
}

// --- GeUserArea ---
GeUserArea::~GeUserArea()
{
  if (handle_)
    if (const OrxUiTable* ui = UI())
      ui->areaFree(handle_);
}
Int32 GeUserArea::GetHandle()
{
  if (!handle_)
    if (const OrxUiTable* ui = UI())
      handle_ = ui->areaNew(&kAreaCallbacks, this);
  return handle_;
}
void GeUserArea::Redraw()
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->areaRedraw(handle_);
}
Int32 GeUserArea::GetWidth()
{
  Int32 w = 0, h = 0;
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->areaSize(handle_, &w, &h);
  return w;
}
Int32 GeUserArea::GetHeight()
{
  Int32 w = 0, h = 0;
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->areaSize(handle_, &w, &h);
  return h;
}
Bool GeUserArea::HasFocus()
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->areaHasFocus(handle_);
}
void GeUserArea::GetVisible(Int32& x1, Int32& y1, Int32& x2, Int32& y2)
{
  x1 = y1 = x2 = y2 = 0;
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->areaVisible(handle_, &x1, &y1, &x2, &y2);
}
void GeUserArea::ScrollTo(Int32 x, Int32 y)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->areaScrollTo(handle_, x, y);
}
void GeUserArea::DrawSetPen(Int32 colorId)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawPen(handle_, colorId);
}
void GeUserArea::DrawSetPenRgb(UInt32 rgb)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawPenRgb(handle_, rgb);
}
void GeUserArea::DrawRectangle(Int32 x1, Int32 y1, Int32 x2, Int32 y2)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawFill(handle_, x1, y1, x2, y2);
}
void GeUserArea::DrawFrame(Int32 x1, Int32 y1, Int32 x2, Int32 y2)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawFrame(handle_, x1, y1, x2, y2);
}
void GeUserArea::DrawLine(Int32 x1, Int32 y1, Int32 x2, Int32 y2)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawLine(handle_, x1, y1, x2, y2);
}
void GeUserArea::DrawBitmap(const BaseBitmap& bmp, Int32 x, Int32 y, Int32 w, Int32 h)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawBitmap(handle_, &bmp, x, y, w, h);
}
void GeUserArea::DrawIcon(Int32 iconId, Int32 x, Int32 y, Int32 w, Int32 h)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawIcon(handle_, iconId, x, y, w, h);
}
void GeUserArea::DrawText(const String& text, Int32 x, Int32 y, Int32 flags)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawText(handle_, &text, x, y, flags);
}
void GeUserArea::SetClippingRegion(Int32 x1, Int32 y1, Int32 x2, Int32 y2)
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawClip(handle_, x1, y1, x2, y2);
}
void GeUserArea::ClearClippingRegion()
{
  if (const OrxUiTable* ui = UI(); ui && handle_)
    ui->drawClipOff(handle_);
}
Int32 GeUserArea::DrawGetTextWidth(const String& text)
{
  const OrxUiTable* ui = UI();
  return ui && handle_ ? ui->textWidth(handle_, &text) : 0;
}
Int32 GeUserArea::DrawGetFontHeight()
{
  const OrxUiTable* ui = UI();
  return ui && handle_ ? ui->fontHeight(handle_) : 0;
}
Bool GeUserArea::HandleMouseDrag(Int32 typeId, void* data)
{
  const OrxUiTable* ui = UI();
  return ui && handle_ && ui->startDrag(handle_, typeId, data);
}

// --- CommandData ---
Bool CommandData::Register(Int32 id, const String& name, Int32 iconId, const String& help)
{
  const OrxUiTable* ui = UI();
  return ui && ui->commandRegister(id, &name, iconId, &help, &kCommandCallbacks, this);
}

// --- free functions ---
Int32 GeOutString(const String& text, Int32 style)
{
  const OrxUiTable* ui = UI();
  return ui ? ui->messageBox(&text, style) : (style == ORX_MB_YESNO ? ORX_MB_NO : ORX_MB_OK);
}
Bool GeQuestionDialog(const String& text) { return GeOutString(text, ORX_MB_YESNO) == ORX_MB_YES; }
Bool GeFileSelect(Filename& name, Int32 kind, const String& title)
{
  const OrxUiTable* ui = UI();
  return ui && ui->selectFile(&name, kind, &title);
}
void GeSetBusyCursor(Int32 mode)
{
  if (const OrxUiTable* ui = UI())
    ui->busyCursor(mode);
}
UInt32 GeGetHostColor(Int32 colorId)
{
  const OrxUiTable* ui = UI();
  return ui ? ui->color(colorId) : 0;
}
Bool GeIconExists(Int32 iconId)
{
  const OrxUiTable* ui = UI();
  return ui && ui->iconExists(iconId);
}
void GeSetClipboardText(const String& text)
{
  if (const OrxUiTable* ui = UI())
    ui->clipboardSet(&text);
}
Bool GeGetClipboardText(String& out)
{
  const OrxUiTable* ui = UI();
  return ui && ui->clipboardGet(&out);
}
void GePostCoreMessage(Int32 dialogHandle, Int32 id, Int64 p1, Int64 p2)
{
  if (const OrxUiTable* ui = UI())
    ui->postCoreMessage(dialogHandle, id, p1, p2);
}
void GePostRedraw(Int32 areaHandle)
{
  if (const OrxUiTable* ui = UI())
    ui->postRedraw(areaHandle);
}
void GePostFloat(Int32 dialogHandle, Int32 gadget, Float v)
{
  if (const OrxUiTable* ui = UI())
    ui->postFloat(dialogHandle, gadget, v);
}
