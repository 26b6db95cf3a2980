// The user-interface model and the table family over it.
#include "ui/uimodel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "orx/bitmap.h"
#include "orx/container.h"
#include "orx/filename.h"
#include "orx/string.h"
#include "services/host.h"
#include "services/internal.h"

namespace orxhost::ui {
namespace {

struct Dialog
{
  Int32 handle = 0;
  const OrxDialogCallbacks* cb = nullptr;
  void* self = nullptr;
  bool sub = false, open = false, modal = false;
  std::string title;
  Int32 width = 0, height = 0;
  std::vector<Gadget> gadgets;
  std::vector<std::size_t> stack; // open groups while laying out
  std::vector<Int32> subs;        // sub-dialogs laid out inside
  Int32 timerMs = 0;
  Int64 lastTick = 0;
};

struct Area
{
  Int32 handle = 0;
  const OrxUserAreaCallbacks* cb = nullptr;
  void* self = nullptr;
  Int32 w = 0, h = 0;
  bool inScroll = false;
  Int32 viewW = 0, viewH = 0, scrollX = 0, scrollY = 0;
  std::vector<DrawCall> frame, building;
  bool drawing = false, dirty = true, focus = false;
};

struct Command
{
  Int32 id;
  std::string name, help;
  Int32 icon;
  const OrxCommandCallbacks* cb;
  void* self;
};

enum class PostKind { Core, Redraw, Float, PopupEdit };
struct Post
{
  PostKind kind;
  Int32 target, id;
  Int64 p1, p2;
  Float v;
  std::string text;
  void* userData;
};

// Main-thread state.
std::map<Int32, Dialog> g_dialogs;
std::map<Int32, Area> g_areas;
std::vector<Command> g_commands;
std::vector<PrefsPage> g_pages;
Int32 g_nextHandle = 1; // never reused, so a stale handle finds nothing
PendingDrag g_drag;
Int32 g_busy = 2;

// Any-thread state.
std::mutex g_postLock;
std::vector<Post> g_posts;
std::mutex g_clipLock;
std::string g_clipboard;
std::atomic<std::thread::id> g_main{};
std::atomic<Int64> g_fakeClock{-1};

class Headless final : public FrontEnd
{
public:
  Script script;
  std::vector<Shown> shown;

  bool RunModal(Int32 dialog) override
  {
    DialogView v;
    while (GetDialog(dialog, &v) && v.open) {
      Pump();
      if (!GetDialog(dialog, &v) || !v.open)
        break;
      if (script.modalDriver)
        script.modalDriver(dialog);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
  Int32 MessageBox(const std::string& text, Int32 style) override
  {
    shown.push_back({style, text});
    Int32 a = style == ORX_MB_YESNO ? ORX_MB_NO : ORX_MB_OK;
    if (!script.messageAnswers.empty()) {
      a = script.messageAnswers.front();
      script.messageAnswers.erase(script.messageAnswers.begin());
    }
    return a;
  }
  bool SelectFile(std::string& name, Int32, const std::string&) override
  {
    if (script.files.empty())
      return false;
    std::string f = script.files.front();
    script.files.erase(script.files.begin());
    if (f.empty())
      return false;
    name = f;
    return true;
  }
  void PopupEdit(Int32 dialog, Int32, Int32, Int32, Int32, const std::string&, void* userData) override
  {
    std::string t = "\x1b";
    if (!script.popupEdits.empty()) {
      t = script.popupEdits.front();
      script.popupEdits.erase(script.popupEdits.begin());
    }
    FinishPopupEdit(dialog, t != "\x1b", t == "\x1b" ? std::string() : t, userData);
  }
  Int32 PopupMenu(Int32, Int32, Int32, const std::vector<Item>&) override
  {
    if (script.menuChoices.empty())
      return 0;
    Int32 c = script.menuChoices.front();
    script.menuChoices.erase(script.menuChoices.begin());
    return c;
  }
  bool RunDrag() override
  {
    if (script.dragDriver)
      script.dragDriver();
    return true;
  }
};

Headless& TheHeadless()
{
  static Headless h;
  return h;
}
std::atomic<FrontEnd*> g_front{nullptr};
FrontEnd& Front()
{
  FrontEnd* f = g_front.load(std::memory_order_acquire);
  return f ? *f : TheHeadless();
}

void Report(const char* what)
{
  String line(std::string("orxhost: ") + what + " refused: called outside the main thread");
  detail::kSystemTable.print(&line);
}

// Main-thread entries answer failure elsewhere: only the main thread touches the model.
#define ORX_MAIN_ONLY(what, ret) \
  do {                          \
    if (!OnMainThread()) {      \
      Report(what);             \
      return ret;               \
    }                           \
  } while (0)

Dialog* FindDialog(Int32 h)
{
  auto it = g_dialogs.find(h);
  return it == g_dialogs.end() ? nullptr : &it->second;
}
Area* FindArea(Int32 h)
{
  auto it = g_areas.find(h);
  return it == g_areas.end() ? nullptr : &it->second;
}
Gadget* FindIn(Dialog* d, Int32 id)
{
  if (!d)
    return nullptr;
  // The root group is the dialog itself, not a gadget with an id.
  for (std::size_t i = 1; i < d->gadgets.size(); ++i)
    if (d->gadgets[i].id == id)
      return &d->gadgets[i];
  return nullptr;
}

std::string Utf8(const String* s) { return s ? s->ToUtf8() : std::string(); }

bool Layout(Dialog& d);
void CloseDialog(Dialog& d);

void StartGadgets(Dialog& d)
{
  d.gadgets.clear();
  d.subs.clear();
  Gadget root;
  root.kind = ORX_GADGET_GROUP;
  root.cols = 1;
  d.gadgets.push_back(root);
  d.stack.assign(1, 0);
}

// createLayout, then initValues; false (nothing opens) when either fails. The sub-dialogs it adds
// are laid out as they are added.
bool Layout(Dialog& d)
{
  const Int32 h = d.handle;
  StartGadgets(d);
  if (d.cb && d.cb->createLayout && !d.cb->createLayout(d.self))
    return false;
  Dialog* again = FindDialog(h);
  if (!again)
    return false;
  again->stack.assign(1, 0);
  return !again->cb || !again->cb->initValues || again->cb->initValues(again->self);
}

void CloseDialog(Dialog& d)
{
  if (!d.open)
    return;
  d.open = false;
  d.timerMs = 0;
  const Int32 h = d.handle;
  const std::vector<Int32> subs = d.subs;
  for (Int32 s : subs)
    if (Dialog* sd = FindDialog(s))
      CloseDialog(*sd);
  Front().DialogClosed(h);
}

void Enqueue(Post p)
{
  {
    std::lock_guard<std::mutex> g(g_postLock);
    g_posts.push_back(std::move(p));
  }
  Front().Wake();
}

Int32 Answer(Int32 style, Int32 a)
{
  if (style == ORX_MB_YESNO)
    return a == ORX_MB_YES ? ORX_MB_YES : ORX_MB_NO;
  return ORX_MB_OK;
}

// --- table entries ---
Int32 DialogNew(const OrxDialogCallbacks* cb, void* self, Bool sub)
{
  ORX_MAIN_ONLY("dialogNew", 0);
  Dialog d;
  d.handle = g_nextHandle++;
  d.cb = cb;
  d.self = self;
  d.sub = sub;
  StartGadgets(d);
  const Int32 h = d.handle;
  g_dialogs.emplace(h, std::move(d));
  return h;
}

void DialogFree(Int32 h)
{
  ORX_MAIN_ONLY("dialogFree", );
  Dialog* d = FindDialog(h);
  if (!d)
    return;
  // The object is going away: no callback may reach it any more.
  d->cb = nullptr;
  CloseDialog(*d);
  g_dialogs.erase(h);
  for (auto it = g_pages.begin(); it != g_pages.end();)
    it = it->dialog == h ? g_pages.erase(it) : it + 1;
}

Bool DialogOpen(Int32 h, Int32 mode, Int32 w, Int32 hgt)
{
  ORX_MAIN_ONLY("dialogOpen", false);
  Dialog* d = FindDialog(h);
  if (!d || d->sub || d->open)
    return false;
  d->modal = mode == ORX_DIALOG_MODAL;
  d->width = w;
  d->height = hgt;
  const bool laidOut = Layout(*d);
  d = FindDialog(h);
  if (!d || !laidOut)
    return false;
  d->open = true;
  for (Int32 s : d->subs)
    if (Dialog* sd = FindDialog(s))
      sd->open = true;
  Front().DialogOpened(h);
  if (!d->modal)
    return true;
  const bool ran = Front().RunModal(h);
  if (Dialog* still = FindDialog(h))
    CloseDialog(*still);
  return ran;
}

Bool DialogClose(Int32 h)
{
  ORX_MAIN_ONLY("dialogClose", false);
  Dialog* d = FindDialog(h);
  if (!d || !d->open)
    return false;
  CloseDialog(*d);
  return true;
}

Bool DialogIsOpen(Int32 h)
{
  ORX_MAIN_ONLY("dialogIsOpen", false);
  Dialog* d = FindDialog(h);
  return d && d->open;
}

void DialogSetTitle(Int32 h, const String* t)
{
  ORX_MAIN_ONLY("dialogSetTitle", );
  if (Dialog* d = FindDialog(h)) {
    d->title = Utf8(t);
    Front().GadgetChanged(h, 0);
  }
}

Bool AddGadget(Int32 h, const OrxGadgetDesc* desc)
{
  ORX_MAIN_ONLY("addGadget", false);
  Dialog* d = FindDialog(h);
  if (!d || !desc)
    return false;
  if (d->stack.empty())
    d->stack.assign(1, 0);
  Gadget& parent = d->gadgets[d->stack.back()];
  if (desc->kind == 0) {
    parent.spaceX = desc->spaceX;
    parent.spaceY = desc->spaceY;
    return true;
  }
  if (desc->kind < ORX_GADGET_GROUP || desc->kind > ORX_GADGET_SEPARATOR)
    return false;
  Gadget g;
  g.kind = desc->kind;
  g.id = desc->id;
  g.flags = desc->flags;
  g.cols = std::max<Int32>(desc->cols, 1);
  g.rows = std::max<Int32>(desc->rows, 0);
  g.width = std::max<Int32>(desc->width, 0);
  g.height = std::max<Int32>(desc->height, 0);
  g.border = desc->borderStyle;
  g.text = Utf8(desc->text);
  g.min = desc->min;
  g.max = desc->max;
  g.step = desc->step;
  g.attach = desc->attach;
  if (g.kind == ORX_GADGET_EDITNUMBER || g.kind == ORX_GADGET_SLIDER)
    g.floatValue = g.min;
  if (g.kind == ORX_GADGET_USERAREA) {
    Area* a = FindArea(g.attach);
    if (!a)
      return false;
    a->inScroll = parent.kind == ORX_GADGET_SCROLLGROUP;
    if (a->inScroll) {
      a->viewW = parent.width;
      a->viewH = parent.height;
    }
  }
  if (g.kind == ORX_GADGET_SUBDIALOG) {
    Dialog* sd = FindDialog(g.attach);
    if (!sd || !sd->sub || sd == d)
      return false;
    const Int32 sh = g.attach;
    d->subs.push_back(sh);
    const bool laidOut = Layout(*sd);
    d = FindDialog(h);
    if (!d || !laidOut)
      return false;
  }
  const std::size_t parentIndex = d->stack.back();
  d->gadgets.push_back(std::move(g));
  const std::size_t index = d->gadgets.size() - 1;
  d->gadgets[parentIndex].children.push_back(index);
  if (d->gadgets[index].kind == ORX_GADGET_GROUP || d->gadgets[index].kind == ORX_GADGET_SCROLLGROUP)
    d->stack.push_back(index);
  return true;
}

Bool GroupEnd(Int32 h)
{
  ORX_MAIN_ONLY("groupEnd", false);
  Dialog* d = FindDialog(h);
  if (!d || d->stack.size() < 2)
    return false;
  d->stack.pop_back();
  return true;
}

// Drops the gadgets below the group at index gi, keeping indices dense.
void FlushBelow(Dialog& d, std::size_t gi)
{
  std::vector<bool> keep(d.gadgets.size(), true);
  std::vector<std::size_t> todo = d.gadgets[gi].children;
  while (!todo.empty()) {
    const std::size_t i = todo.back();
    todo.pop_back();
    keep[i] = false;
    todo.insert(todo.end(), d.gadgets[i].children.begin(), d.gadgets[i].children.end());
    if (d.gadgets[i].kind == ORX_GADGET_SUBDIALOG) {
      const Int32 sub = d.gadgets[i].attach;
      d.subs.erase(std::remove(d.subs.begin(), d.subs.end(), sub), d.subs.end());
      if (Dialog* sd = FindDialog(sub))
        CloseDialog(*sd);
    }
  }
  d.gadgets[gi].children.clear();
  std::vector<std::size_t> moved(d.gadgets.size(), 0);
  std::vector<Gadget> kept;
  for (std::size_t i = 0; i < d.gadgets.size(); ++i)
    if (keep[i]) {
      moved[i] = kept.size();
      kept.push_back(std::move(d.gadgets[i]));
    }
  for (Gadget& g : kept)
    for (std::size_t& c : g.children)
      c = moved[c];
  d.gadgets = std::move(kept);
  d.stack.assign(1, 0);
  if (moved[gi] != 0)
    d.stack.push_back(moved[gi]);
}

Bool GroupFlush(Int32 h, Int32 group)
{
  ORX_MAIN_ONLY("groupFlush", false);
  Dialog* d = FindDialog(h);
  if (!d)
    return false;
  for (std::size_t i = 1; i < d->gadgets.size(); ++i)
    if (d->gadgets[i].id == group &&
        (d->gadgets[i].kind == ORX_GADGET_GROUP || d->gadgets[i].kind == ORX_GADGET_SCROLLGROUP)) {
      FlushBelow(*d, i);
      return true;
    }
  return false;
}

Bool LayoutChangedEntry(Int32 h)
{
  ORX_MAIN_ONLY("layoutChanged", false);
  Dialog* d = FindDialog(h);
  if (!d)
    return false;
  d->stack.assign(1, 0);
  if (d->open || d->sub)
    Front().LayoutChanged(h);
  return true;
}

Bool AddItem(Int32 h, Int32 gadget, Int32 itemId, const String* text)
{
  ORX_MAIN_ONLY("addItem", false);
  Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g || (g->kind != ORX_GADGET_POPUP && g->kind != ORX_GADGET_COMBO && g->kind != ORX_GADGET_RADIOGROUP))
    return false;
  g->items.push_back({itemId, Utf8(text)});
  if (g->items.size() == 1 && g->kind != ORX_GADGET_COMBO)
    g->intValue = itemId;
  Front().GadgetChanged(h, gadget);
  return true;
}

Bool ClearItems(Int32 h, Int32 gadget)
{
  ORX_MAIN_ONLY("clearItems", false);
  Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g)
    return false;
  g->items.clear();
  Front().GadgetChanged(h, gadget);
  return true;
}

bool HasValue(const Gadget& g)
{
  switch (g.kind) {
    case ORX_GADGET_GROUP:
    case ORX_GADGET_SCROLLGROUP:
    case ORX_GADGET_USERAREA:
    case ORX_GADGET_SUBDIALOG:
    case ORX_GADGET_SEPARATOR: return false;
    default: return true;
  }
}

bool IsNumber(const Gadget& g)
{
  return g.kind == ORX_GADGET_EDITNUMBER || g.kind == ORX_GADGET_SLIDER || g.kind == ORX_GADGET_PROGRESS;
}

// Numbers stay within their range; a progress value within 0..1.
Float Clamp(const Gadget& g, Float v)
{
  if (g.kind == ORX_GADGET_PROGRESS)
    return std::clamp(v, 0.0, 1.0);
  if ((g.kind == ORX_GADGET_EDITNUMBER || g.kind == ORX_GADGET_SLIDER) && g.max > g.min)
    return std::clamp(v, g.min, g.max);
  return v;
}

Bool SetFloatValue(Int32 h, Int32 gadget, Float v)
{
  Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g || !HasValue(*g) || v != v)
    return false;
  if (IsNumber(*g))
    g->floatValue = Clamp(*g, v);
  else
    g->intValue = Int64(v);
  Front().GadgetChanged(h, gadget);
  return true;
}

Bool SetInt(Int32 h, Int32 gadget, Int64 v)
{
  ORX_MAIN_ONLY("setInt", false);
  Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g || !HasValue(*g))
    return false;
  if (IsNumber(*g))
    g->floatValue = Clamp(*g, Float(v));
  else if (g->kind == ORX_GADGET_CHECKBOX)
    g->intValue = v ? 1 : 0;
  else
    g->intValue = v;
  Front().GadgetChanged(h, gadget);
  return true;
}

Bool SetFloat(Int32 h, Int32 gadget, Float v)
{
  ORX_MAIN_ONLY("setFloat", false);
  return SetFloatValue(h, gadget, v);
}

Bool SetStringEntry(Int32 h, Int32 gadget, const String* v)
{
  ORX_MAIN_ONLY("setString", false);
  Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g)
    return false;
  g->text = Utf8(v);
  Front().GadgetChanged(h, gadget);
  return true;
}

Bool GetInt(Int32 h, Int32 gadget, Int64* v)
{
  ORX_MAIN_ONLY("getInt", false);
  const Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g || !HasValue(*g) || !v)
    return false;
  *v = IsNumber(*g) ? Int64(g->floatValue) : g->intValue;
  return true;
}

Bool GetFloat(Int32 h, Int32 gadget, Float* v)
{
  ORX_MAIN_ONLY("getFloat", false);
  const Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g || !HasValue(*g) || !v)
    return false;
  *v = IsNumber(*g) ? g->floatValue : Float(g->intValue);
  return true;
}

Bool GetStringEntry(Int32 h, Int32 gadget, String* v)
{
  ORX_MAIN_ONLY("getString", false);
  const Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g || !v)
    return false;
  *v = String(g->text);
  return true;
}

Bool EnableEntry(Int32 h, Int32 gadget, Bool on)
{
  ORX_MAIN_ONLY("enable", false);
  Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g)
    return false;
  g->enabled = on;
  Front().GadgetChanged(h, gadget);
  return true;
}

Bool ShowEntry(Int32 h, Int32 gadget, Bool on)
{
  ORX_MAIN_ONLY("show", false);
  Gadget* g = FindIn(FindDialog(h), gadget);
  if (!g)
    return false;
  g->visible = on;
  Front().GadgetChanged(h, gadget);
  return true;
}

void SetTimerEntry(Int32 h, Int32 ms)
{
  ORX_MAIN_ONLY("setTimer", );
  if (Dialog* d = FindDialog(h)) {
    d->timerMs = std::max<Int32>(ms, 0);
    d->lastTick = Clock();
  }
}

void PostCoreMessage(Int32 h, Int32 id, Int64 p1, Int64 p2)
{
  Enqueue({PostKind::Core, h, id, p1, p2, 0, {}, nullptr});
}
void PostRedraw(Int32 area) { Enqueue({PostKind::Redraw, area, 0, 0, 0, 0, {}, nullptr}); }
void PostFloat(Int32 h, Int32 gadget, Float v) { Enqueue({PostKind::Float, h, gadget, 0, 0, v, {}, nullptr}); }

Int32 AreaNew(const OrxUserAreaCallbacks* cb, void* self)
{
  ORX_MAIN_ONLY("areaNew", 0);
  Area a;
  a.handle = g_nextHandle++;
  a.cb = cb;
  a.self = self;
  const Int32 h = a.handle;
  g_areas.emplace(h, std::move(a));
  return h;
}

void AreaFree(Int32 h)
{
  ORX_MAIN_ONLY("areaFree", );
  if (g_drag.active && g_drag.sourceArea == h)
    g_drag = {};
  g_areas.erase(h);
}

void AreaRedraw(Int32 h)
{
  ORX_MAIN_ONLY("areaRedraw", );
  if (Area* a = FindArea(h)) {
    a->dirty = true;
    Front().AreaDirty(h);
  }
}

void AreaSizeEntry(Int32 h, Int32* w, Int32* hh)
{
  ORX_MAIN_ONLY("areaSize", );
  Area* a = FindArea(h);
  if (w)
    *w = a ? a->w : 0;
  if (hh)
    *hh = a ? a->h : 0;
}

Bool AreaHasFocus(Int32 h)
{
  ORX_MAIN_ONLY("areaHasFocus", false);
  Area* a = FindArea(h);
  return a && a->focus;
}

void AreaVisibleEntry(Int32 h, Int32* x1, Int32* y1, Int32* x2, Int32* y2)
{
  ORX_MAIN_ONLY("areaVisible", );
  AreaVisible(h, x1, y1, x2, y2);
}

void AreaScrollToEntry(Int32 h, Int32 x, Int32 y)
{
  ORX_MAIN_ONLY("areaScrollTo", );
  ScrollArea(h, x, y);
}

// Drawing calls outside a draw have no frame to go into: ignored.
Area* Drawing(Int32 h)
{
  if (!OnMainThread())
    return nullptr;
  Area* a = FindArea(h);
  return a && a->drawing ? a : nullptr;
}

void DrawPen(Int32 h, Int32 colorId)
{
  if (Area* a = Drawing(h)) {
    DrawCall c;
    c.op = DrawOp::Pen;
    c.id = colorId;
    c.rgb = HostColor(colorId);
    a->building.push_back(std::move(c));
  }
}
void DrawPenRgb(Int32 h, UInt32 rgb)
{
  if (Area* a = Drawing(h)) {
    DrawCall c;
    c.op = DrawOp::Pen;
    c.rgb = rgb & 0xffffff;
    a->building.push_back(std::move(c));
  }
}
void DrawRect(Int32 h, DrawOp op, Int32 x1, Int32 y1, Int32 x2, Int32 y2)
{
  if (Area* a = Drawing(h)) {
    DrawCall c;
    c.op = op;
    c.x1 = x1;
    c.y1 = y1;
    c.x2 = x2;
    c.y2 = y2;
    a->building.push_back(std::move(c));
  }
}
void DrawFill(Int32 h, Int32 x1, Int32 y1, Int32 x2, Int32 y2) { DrawRect(h, DrawOp::Fill, x1, y1, x2, y2); }
void DrawFrame(Int32 h, Int32 x1, Int32 y1, Int32 x2, Int32 y2) { DrawRect(h, DrawOp::Frame, x1, y1, x2, y2); }
void DrawLine(Int32 h, Int32 x1, Int32 y1, Int32 x2, Int32 y2) { DrawRect(h, DrawOp::Line, x1, y1, x2, y2); }
void DrawClip(Int32 h, Int32 x1, Int32 y1, Int32 x2, Int32 y2) { DrawRect(h, DrawOp::Clip, x1, y1, x2, y2); }
void DrawClipOff(Int32 h) { DrawRect(h, DrawOp::ClipOff, 0, 0, 0, 0); }

void DrawBitmap(Int32 h, const BaseBitmap* bmp, Int32 x, Int32 y, Int32 w, Int32 hh)
{
  Area* a = Drawing(h);
  if (!a || !bmp || bmp->IsEmpty())
    return;
  DrawCall c;
    c.op = DrawOp::Bitmap;
  c.x1 = x;
  c.y1 = y;
  c.x2 = x + w - 1;
  c.y2 = y + hh - 1;
  c.bw = bmp->GetWidth();
  c.bh = bmp->GetHeight();
  c.channels = bmp->GetChannels();
  const std::size_t n = std::size_t(c.bw) * std::size_t(c.bh) * std::size_t(c.channels);
  try {
    c.pixels = std::make_shared<std::vector<unsigned char>>(bmp->Pixels(), bmp->Pixels() + n);
  } catch (...) {
    return; // out of memory: the bitmap is not drawn
  }
  a->building.push_back(std::move(c));
}

void DrawIcon(Int32 h, Int32 iconId, Int32 x, Int32 y, Int32 w, Int32 hh)
{
  if (Area* a = Drawing(h)) {
    DrawCall c;
    c.op = DrawOp::Icon;
    c.id = iconId;
    c.x1 = x;
    c.y1 = y;
    c.x2 = x + w - 1;
    c.y2 = y + hh - 1;
    a->building.push_back(std::move(c));
  }
}

void DrawTextEntry(Int32 h, const String* text, Int32 x, Int32 y, Int32 flags)
{
  if (Area* a = Drawing(h)) {
    DrawCall c;
    c.op = DrawOp::Text;
    c.x1 = x;
    c.y1 = y;
    c.id = flags;
    c.text = Utf8(text);
    c.x2 = x + Front().TextWidth(c.text) - 1;
    c.y2 = y + Front().FontHeight() - 1;
    a->building.push_back(std::move(c));
  }
}

Int32 TextWidthEntry(Int32, const String* text)
{
  ORX_MAIN_ONLY("textWidth", 0);
  return Front().TextWidth(Utf8(text));
}
Int32 FontHeightEntry(Int32)
{
  ORX_MAIN_ONLY("fontHeight", 0);
  return Front().FontHeight();
}

Bool StartDrag(Int32 h, Int32 typeId, void* data)
{
  ORX_MAIN_ONLY("startDrag", false);
  if (!FindArea(h) || g_drag.active)
    return false;
  g_drag = {true, h, typeId, data, false};
  // The data is the caller's: the drag ends before this returns, whatever the front end did.
  const bool ran = Front().RunDrag();
  const bool taken = g_drag.taken;
  g_drag = {};
  return ran && taken;
}

Int32 MessageBoxEntry(const String* text, Int32 style)
{
  ORX_MAIN_ONLY("messageBox", Answer(style, ORX_MB_NO));
  return Answer(style, Front().MessageBox(Utf8(text), style));
}

Bool SelectFileEntry(Filename* name, Int32 kind, const String* title)
{
  ORX_MAIN_ONLY("selectFile", false);
  if (!name)
    return false;
  std::string n = name->ToUtf8();
  if (!Front().SelectFile(n, kind, Utf8(title)))
    return false;
  *name = Filename(String(n));
  return true;
}

Bool PopupEditEntry(Int32 h, Int32 x, Int32 y, Int32 w, Int32 hh, const String* text, void* userData)
{
  ORX_MAIN_ONLY("popupEdit", false);
  Dialog* d = FindDialog(h);
  if (!d || !d->open)
    return false;
  Front().PopupEdit(h, x, y, w, hh, Utf8(text), userData);
  return true;
}

Int32 PopupMenuEntry(Int32 h, Int32 x, Int32 y, const BaseContainer* items)
{
  ORX_MAIN_ONLY("popupMenu", 0);
  if (!items)
    return 0;
  std::vector<Item> list;
  for (const BaseContainer::Entry& e : *items)
    list.push_back({e.id, e.data.GetString().ToUtf8()});
  const Int32 c = Front().PopupMenu(h, x, y, list);
  // Only an id that was offered is an answer.
  for (const Item& i : list)
    if (i.id == c)
      return c;
  return 0;
}

void BusyCursorEntry(Int32 mode)
{
  ORX_MAIN_ONLY("busyCursor", );
  g_busy = mode;
  Front().BusyCursor(mode);
}

Bool CommandRegister(Int32 id, const String* name, Int32 icon, const String* help, const OrxCommandCallbacks* cb,
                     void* self)
{
  ORX_MAIN_ONLY("commandRegister", false);
  for (const Command& c : g_commands)
    if (c.id == id)
      return false;
  g_commands.push_back({id, Utf8(name), Utf8(help), icon, cb, self});
  return true;
}

Bool PrefsPageRegister(Int32 id, const String* name, Int32 sub)
{
  ORX_MAIN_ONLY("prefsPageRegister", false);
  Dialog* d = FindDialog(sub);
  if (!d || !d->sub)
    return false;
  for (const PrefsPage& p : g_pages)
    if (p.id == id)
      return false;
  g_pages.push_back({id, Utf8(name), sub});
  return true;
}

UInt32 ColorEntry(Int32 id) { return HostColor(id); }

Bool IconExists(Int32 id)
{
  for (const Registration& r : Registrations())
    if (r.kind == "icon" && r.id == id)
      return true;
  return false;
}

void ClipboardSet(const String* text)
{
  const std::string t = Utf8(text);
  {
    std::lock_guard<std::mutex> g(g_clipLock);
    g_clipboard = t;
  }
  Front().ClipboardChanged(t);
}
Bool ClipboardGet(String* out)
{
  std::lock_guard<std::mutex> g(g_clipLock);
  if (out)
    *out = String(g_clipboard);
  return !g_clipboard.empty();
}

} // namespace

// --- model API ---
void SetFrontEnd(FrontEnd* fe) { g_front.store(fe, std::memory_order_release); }
FrontEnd* GetFrontEnd() { return &Front(); }
Script& HeadlessScript() { return TheHeadless().script; }
std::vector<Shown> ShownMessages() { return TheHeadless().shown; }
Int32 BusyCursorMode() { return g_busy; }

void BindMainThread() { g_main.store(std::this_thread::get_id()); }
bool OnMainThread()
{
  std::thread::id none{};
  const std::thread::id me = std::this_thread::get_id();
  // The first thread to use the model becomes its main thread.
  if (g_main.compare_exchange_strong(none, me))
    return true;
  return none == me;
}

int DeliverPosts()
{
  if (!OnMainThread())
    return 0;
  std::vector<Post> posts;
  {
    std::lock_guard<std::mutex> g(g_postLock);
    posts.swap(g_posts);
  }
  int delivered = 0;
  for (Post& p : posts) {
    switch (p.kind) {
      case PostKind::Core: {
        std::vector<Int32> targets;
        if (p.target == 0) {
          for (auto& [h, d] : g_dialogs)
            if (d.open)
              targets.push_back(h);
        } else {
          targets.push_back(p.target);
        }
        for (Int32 t : targets) {
          Dialog* d = FindDialog(t);
          if (d && d->open && d->cb && d->cb->coreMessage) {
            d->cb->coreMessage(d->self, p.id, p.p1, p.p2);
            ++delivered;
          }
        }
        break;
      }
      case PostKind::Redraw:
        if (p.target == 0) {
          for (auto& [h, a] : g_areas) {
            a.dirty = true;
            Front().AreaDirty(h);
          }
          ++delivered;
        } else if (Area* a = FindArea(p.target)) {
          a->dirty = true;
          Front().AreaDirty(p.target);
          ++delivered;
        }
        break;
      case PostKind::Float: {
        Dialog* d = FindDialog(p.target);
        if (d && d->open && SetFloatValue(p.target, p.id, p.v))
          ++delivered;
        break;
      }
      case PostKind::PopupEdit: {
        Dialog* d = FindDialog(p.target);
        if (d && d->open && d->cb && d->cb->message) {
          const String text(p.text);
          OrxMessage m{ORX_MSG_POPUPEDIT, 0, p.p1, nullptr, &text, p.userData};
          d->cb->message(d->self, &m);
          ++delivered;
        }
        break;
      }
    }
  }
  return delivered;
}

Int64 Clock()
{
  const Int64 fake = g_fakeClock.load();
  if (fake >= 0)
    return fake;
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}
void SetFakeClock(Int64 ms) { g_fakeClock.store(ms); }

void TickTimers(Int64 now)
{
  if (!OnMainThread())
    return;
  std::vector<Int32> due;
  for (auto& [h, d] : g_dialogs)
    if (d.open && d.timerMs > 0 && now - d.lastTick >= d.timerMs)
      due.push_back(h);
  for (Int32 h : due) {
    Dialog* d = FindDialog(h);
    if (!d || !d->open || d->timerMs <= 0)
      continue;
    d->lastTick = now;
    if (d->cb && d->cb->timer)
      d->cb->timer(d->self);
  }
}

Int64 NextTimerIn(Int64 now)
{
  Int64 best = -1;
  for (auto& [h, d] : g_dialogs)
    if (d.open && d.timerMs > 0) {
      const Int64 in = std::max<Int64>(0, d.lastTick + d.timerMs - now);
      best = best < 0 ? in : std::min(best, in);
    }
  return best;
}

void Pump()
{
  DeliverPosts();
  TickTimers(Clock());
}

std::vector<Int32> OpenDialogs()
{
  std::vector<Int32> r;
  for (auto& [h, d] : g_dialogs)
    if (d.open && !d.sub)
      r.push_back(h);
  return r;
}

bool GetDialog(Int32 h, DialogView* out)
{
  if (!OnMainThread())
    return false;
  Dialog* d = FindDialog(h);
  if (!d)
    return false;
  if (out) {
    out->handle = h;
    out->sub = d->sub;
    out->open = d->open;
    out->modal = d->modal;
    out->title = d->title;
    out->width = d->width;
    out->height = d->height;
    out->timerMs = d->timerMs;
    out->gadgets = d->gadgets;
  }
  return true;
}

const Gadget* FindGadget(Int32 dialog, Int32 id) { return OnMainThread() ? FindIn(FindDialog(dialog), id) : nullptr; }

bool AreaPlace(Int32 area, Int32* dialog, Int32* gadget)
{
  for (auto& [h, d] : g_dialogs)
    for (std::size_t i = 1; i < d.gadgets.size(); ++i)
      if (d.gadgets[i].kind == ORX_GADGET_USERAREA && d.gadgets[i].attach == area) {
        if (dialog)
          *dialog = h;
        if (gadget)
          *gadget = d.gadgets[i].id;
        return true;
      }
  return false;
}

std::vector<DrawCall> DrawArea(Int32 h, Int32 w, Int32 hh)
{
  if (!OnMainThread())
    return {};
  Area* a = FindArea(h);
  if (!a || a->drawing)
    return {};
  if (w != a->w || hh != a->h) {
    a->w = w;
    a->h = hh;
    if (a->cb && a->cb->sized)
      a->cb->sized(a->self, w, hh);
  }
  a = FindArea(h);
  if (!a)
    return {};
  Int32 x1, y1, x2, y2;
  AreaVisible(h, &x1, &y1, &x2, &y2);
  a->building.clear();
  a->drawing = true;
  if (a->cb && a->cb->draw)
    a->cb->draw(a->self, x1, y1, x2, y2);
  a = FindArea(h);
  if (!a)
    return {};
  a->drawing = false;
  a->dirty = false;
  a->frame.swap(a->building);
  a->building.clear();
  return a->frame;
}

std::vector<DrawCall> LastFrame(Int32 h)
{
  Area* a = OnMainThread() ? FindArea(h) : nullptr;
  return a ? a->frame : std::vector<DrawCall>{};
}

bool AreaDirtyFlag(Int32 h)
{
  Area* a = OnMainThread() ? FindArea(h) : nullptr;
  return a && a->dirty;
}

void AreaMinSize(Int32 h, Int32* w, Int32* hh)
{
  Int32 mw = 0, mh = 0;
  Area* a = OnMainThread() ? FindArea(h) : nullptr;
  if (a && a->cb && a->cb->getMinSize)
    a->cb->getMinSize(a->self, &mw, &mh);
  if (w)
    *w = std::max<Int32>(mw, 0);
  if (hh)
    *hh = std::max<Int32>(mh, 0);
}

bool Click(Int32 dialog, Int32 id)
{
  if (!OnMainThread())
    return false;
  Dialog* d = FindDialog(dialog);
  Gadget* g = FindIn(d, id);
  if (!g || !d->open || !g->enabled || !g->visible)
    return false;
  if (g->kind == ORX_GADGET_CHECKBOX)
    g->intValue = g->intValue ? 0 : 1;
  else if (g->kind != ORX_GADGET_BUTTON)
    return false;
  if (d->cb && d->cb->command)
    d->cb->command(d->self, id);
  return true;
}

namespace {
// A value a person changed, then the dialog's Command.
template <typename F>
bool Edit(Int32 dialog, Int32 id, F&& change)
{
  if (!OnMainThread())
    return false;
  Dialog* d = FindDialog(dialog);
  Gadget* g = FindIn(d, id);
  if (!g || !d->open || !g->enabled || !g->visible || !change(*g))
    return false;
  if (d->cb && d->cb->command)
    d->cb->command(d->self, id);
  return true;
}
} // namespace

bool TypeText(Int32 dialog, Int32 id, const std::string& text)
{
  return Edit(dialog, id, [&](Gadget& g) {
    if (g.kind != ORX_GADGET_EDITTEXT && g.kind != ORX_GADGET_COMBO)
      return false;
    g.text = text;
    return true;
  });
}

bool SetNumber(Int32 dialog, Int32 id, Float v)
{
  return Edit(dialog, id, [&](Gadget& g) {
    if (g.kind != ORX_GADGET_EDITNUMBER && g.kind != ORX_GADGET_SLIDER)
      return false;
    g.floatValue = Clamp(g, v);
    return true;
  });
}

bool Choose(Int32 dialog, Int32 id, Int32 itemId)
{
  return Edit(dialog, id, [&](Gadget& g) {
    if (g.kind != ORX_GADGET_POPUP && g.kind != ORX_GADGET_COMBO && g.kind != ORX_GADGET_RADIOGROUP)
      return false;
    for (const Item& i : g.items)
      if (i.id == itemId) {
        g.intValue = itemId;
        if (g.kind == ORX_GADGET_COMBO)
          g.text = i.text;
        return true;
      }
    return false;
  });
}

bool RequestClose(Int32 dialog)
{
  if (!OnMainThread())
    return false;
  Dialog* d = FindDialog(dialog);
  if (!d || !d->open)
    return false;
  if (d->cb && d->cb->askClose && !d->cb->askClose(d->self))
    return false;
  if ((d = FindDialog(dialog)))
    CloseDialog(*d);
  return true;
}

bool AreaInput(Int32 h, const OrxInputEvent& ev)
{
  if (!OnMainThread())
    return false;
  Area* a = FindArea(h);
  if (!a)
    return false;
  if (ev.kind == ORX_INPUT_MOUSE_DOWN || ev.kind == ORX_INPUT_DOUBLE_CLICK)
    for (auto& [k, other] : g_areas)
      other.focus = k == h;
  const bool handled = a->cb && a->cb->input && a->cb->input(a->self, &ev);
  a = FindArea(h);
  if (!handled && a && ev.kind == ORX_INPUT_WHEEL && a->inScroll) {
    ScrollArea(h, a->scrollX, a->scrollY - ev.delta * 3 * Front().FontHeight());
    return true;
  }
  return handled;
}

void SetAreaFocus(Int32 h, bool focus)
{
  if (Area* a = OnMainThread() ? FindArea(h) : nullptr)
    a->focus = focus;
}

void ScrollArea(Int32 h, Int32 x, Int32 y)
{
  Area* a = OnMainThread() ? FindArea(h) : nullptr;
  if (!a || !a->inScroll)
    return;
  const Int32 maxX = std::max<Int32>(0, a->w - a->viewW), maxY = std::max<Int32>(0, a->h - a->viewH);
  const Int32 nx = std::clamp<Int32>(x, 0, maxX), ny = std::clamp<Int32>(y, 0, maxY);
  if (nx == a->scrollX && ny == a->scrollY)
    return;
  a->scrollX = nx;
  a->scrollY = ny;
  a->dirty = true;
  Front().AreaDirty(h);
}

void AreaScroll(Int32 h, Int32* x, Int32* y)
{
  Area* a = OnMainThread() ? FindArea(h) : nullptr;
  *x = a ? a->scrollX : 0;
  *y = a ? a->scrollY : 0;
}

void SetAreaViewport(Int32 h, Int32 w, Int32 hh)
{
  if (Area* a = OnMainThread() ? FindArea(h) : nullptr) {
    a->viewW = std::max<Int32>(w, 0);
    a->viewH = std::max<Int32>(hh, 0);
    ScrollArea(h, a->scrollX, a->scrollY);
  }
}

void AreaVisible(Int32 h, Int32* x1, Int32* y1, Int32* x2, Int32* y2)
{
  Area* a = OnMainThread() ? FindArea(h) : nullptr;
  Int32 r[4] = {0, 0, -1, -1};
  if (a) {
    if (a->inScroll && a->viewW > 0 && a->viewH > 0) {
      r[0] = a->scrollX;
      r[1] = a->scrollY;
      r[2] = std::min(a->w, a->scrollX + a->viewW) - 1;
      r[3] = std::min(a->h, a->scrollY + a->viewH) - 1;
    } else {
      r[2] = a->w - 1;
      r[3] = a->h - 1;
    }
  }
  if (x1)
    *x1 = r[0];
  if (y1)
    *y1 = r[1];
  if (x2)
    *x2 = r[2];
  if (y2)
    *y2 = r[3];
}

PendingDrag CurrentDrag() { return g_drag; }

namespace {
bool OfferArea(Int32 h, Int32 kind, Int32 x, Int32 y)
{
  if (!OnMainThread() || !g_drag.active)
    return false;
  Area* a = FindArea(h);
  if (!a || !a->cb || !a->cb->drag)
    return false;
  const OrxDragInfo info{g_drag.typeId, g_drag.data, x, y};
  return a->cb->drag(a->self, kind, &info);
}
} // namespace

bool DragOverArea(Int32 h, Int32 x, Int32 y) { return OfferArea(h, ORX_MSG_DRAG_ENTER, x, y); }
bool DropOnArea(Int32 h, Int32 x, Int32 y)
{
  const bool ok = OfferArea(h, ORX_MSG_DRAG_DROP, x, y);
  if (ok) {
    g_drag.active = false;
    g_drag.taken = true;
  }
  return ok;
}
bool DropOnDialog(Int32 dialog, Int32 x, Int32 y)
{
  if (!OnMainThread() || !g_drag.active)
    return false;
  Dialog* d = FindDialog(dialog);
  if (!d || !d->open || !d->cb || !d->cb->message)
    return false;
  const OrxDragInfo info{g_drag.typeId, g_drag.data, x, y};
  OrxMessage m{ORX_MSG_DRAG_DROP, 0, 0, &info, nullptr, nullptr};
  const bool ok = d->cb->message(d->self, &m) != 0;
  if (ok) {
    g_drag.active = false;
    g_drag.taken = true;
  }
  return ok;
}
void CancelDrag() { g_drag.active = false; }

void FinishPopupEdit(Int32 dialog, bool ok, const std::string& text, void* userData)
{
  Enqueue({PostKind::PopupEdit, dialog, 0, ok ? 1 : 2, 0, 0, ok ? text : std::string(), userData});
}

std::vector<CommandInfo> Commands()
{
  std::vector<CommandInfo> r;
  for (const Command& c : g_commands)
    r.push_back({c.id, c.name, c.help, c.icon, c.cb != nullptr});
  for (const Registration& reg : Registrations())
    if (reg.kind == "command" &&
        std::none_of(r.begin(), r.end(), [&](const CommandInfo& c) { return c.id == reg.id; }))
      r.push_back({reg.id, reg.name, std::string(), 0, false});
  return r;
}

bool ExecuteCommand(Int32 id)
{
  if (!OnMainThread())
    return false;
  for (const Command& c : g_commands)
    if (c.id == id && c.cb && c.cb->execute) {
      const OrxCommandCallbacks* cb = c.cb;
      void* self = c.self;
      if (cb->getState && cb->getState(self) == 0)
        return false;
      return cb->execute(self);
    }
  return false;
}

Int32 CommandState(Int32 id)
{
  for (const Command& c : g_commands)
    if (c.id == id)
      return c.cb && c.cb->getState ? c.cb->getState(c.self) : 0x40000000;
  return 0;
}

std::vector<PrefsPage> PrefsPages()
{
  std::vector<PrefsPage> r = g_pages;
  // Pages registered by name only (the system family) are listed without a layout (dialog 0).
  for (const Registration& reg : Registrations())
    if (reg.kind == "prefpage" &&
        std::none_of(r.begin(), r.end(), [&](const PrefsPage& p) { return p.id == reg.id; })) {
      std::string name = reg.name;
      if (const std::size_t d = name.rfind(" ("); d != std::string::npos && name.back() == ')')
        name.erase(d);
      r.push_back({reg.id, name, 0});
    }
  return r;
}

bool OpenSubDialog(Int32 sub)
{
  if (!OnMainThread())
    return false;
  Dialog* d = FindDialog(sub);
  if (!d || !d->sub)
    return false;
  if (!d->open) {
    const bool laidOut = Layout(*d);
    if (!(d = FindDialog(sub)) || !laidOut)
      return false;
    d->open = true;
  }
  return true;
}

void CloseSubDialog(Int32 sub)
{
  if (Dialog* d = OnMainThread() ? FindDialog(sub) : nullptr)
    CloseDialog(*d);
}

UInt32 HostColor(Int32 id)
{
  switch (id) {
    case ORX_COLOR_BG: return 0x2d2d30;
    case ORX_COLOR_TEXT_FOCUS: return 0xffffff;
    case ORX_COLOR_TEXT_NOFOCUS: return 0xdcdcdc;
    case ORX_COLOR_SELECT_FOCUS: return 0x3a6ea5;
    case ORX_COLOR_SELECT_NOFOCUS: return 0x555a60;
    case ORX_COLOR_MARKED: return 0x6b5a2a;
    case ORX_COLOR_TEXT: return 0xd0d0d0;
    case ORX_COLOR_LINE: return 0x707070;
    case ORX_COLOR_DIALOG: return 0x3c3c3f;
    default: return 0x808080;
  }
}

void SetClipboard(const std::string& text)
{
  std::lock_guard<std::mutex> g(g_clipLock);
  g_clipboard = text;
}

std::string Clipboard()
{
  std::lock_guard<std::mutex> g(g_clipLock);
  return g_clipboard;
}

void Reset()
{
  if (!OnMainThread())
    return;
  g_dialogs.clear();
  g_areas.clear();
  g_commands.clear();
  g_pages.clear();
  g_drag = {};
  g_busy = 2;
  {
    std::lock_guard<std::mutex> g(g_postLock);
    g_posts.clear();
  }
  TheHeadless().script = {};
  TheHeadless().shown.clear();
  g_fakeClock.store(-1);
}

} // namespace orxhost::ui

namespace orxhost::detail {
using namespace orxhost::ui;
const OrxUiTable kUiTable = {
    1,
    sizeof(OrxUiTable),
    DialogNew,
    DialogFree,
    DialogOpen,
    DialogClose,
    DialogIsOpen,
    DialogSetTitle,
    AddGadget,
    GroupEnd,
    AddItem,
    ClearItems,
    SetInt,
    SetFloat,
    SetStringEntry,
    GetInt,
    GetFloat,
    GetStringEntry,
    EnableEntry,
    ShowEntry,
    SetTimerEntry,
    PostCoreMessage,
    PostRedraw,
    PostFloat,
    AreaNew,
    AreaFree,
    AreaRedraw,
    AreaSizeEntry,
    AreaHasFocus,
    AreaVisibleEntry,
    AreaScrollToEntry,
    DrawPen,
    DrawPenRgb,
    DrawFill,
    DrawFrame,
    DrawLine,
    DrawBitmap,
    DrawIcon,
    DrawTextEntry,
    DrawClip,
    DrawClipOff,
    TextWidthEntry,
    FontHeightEntry,
    StartDrag,
    MessageBoxEntry,
    SelectFileEntry,
    PopupEditEntry,
    PopupMenuEntry,
    BusyCursorEntry,
    CommandRegister,
    PrefsPageRegister,
    ColorEntry,
    IconExists,
    ClipboardSet,
    ClipboardGet,
    GroupFlush,
    LayoutChangedEntry,
};
} // namespace orxhost::detail
