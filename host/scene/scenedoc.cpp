// The host's scene documents: elements, insertion and removal, active elements, undo steps, merge
// and the native format.
#include "scene/scenedoc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "orx/hyperfile.h"
#include "services/internal.h"

BaseDocument::BaseDocument()
{
  for (BaseList2D& r : roots)
    r.rootOf = this;
}

BaseDocument::~BaseDocument()
{
  // Steps hold elements that are out of the tree; they go first, the tree after.
  open.reset();
  undo.clear();
  redo.clear();
}

namespace orxhost::scene {
namespace {
using Step = UndoStep;

bool IsObject(Int32 k) { return k == Obase || k == Onull; }
bool IsTag(Int32 k) { return k == Tbase || k == Tfixed || k == Tnodes; }
bool IsMaterial(Int32 k) { return k == Mbase || k == Mshaderholder; }

const BaseList2D* RootOf(const BaseList2D* e)
{
  while (e && e->parent)
    e = e->parent;
  return e;
}

bool Within(const BaseList2D* e, const BaseList2D* top)
{
  for (; e; e = e->parent)
    if (e == top)
      return true;
  return false;
}

std::size_t IndexIn(const BaseList2D* parent, const BaseList2D* e)
{
  for (std::size_t i = 0; i < parent->children.size(); ++i)
    if (parent->children[i].get() == e)
      return i;
  return parent->children.size();
}

std::unique_ptr<BaseList2D> Detach(BaseList2D* e, BaseList2D** parentOut, std::size_t* indexOut)
{
  BaseList2D* p = e->parent;
  const std::size_t i = IndexIn(p, e);
  std::unique_ptr<BaseList2D> owned = std::move(p->children[i]);
  p->children.erase(p->children.begin() + std::ptrdiff_t(i));
  owned->parent = nullptr;
  if (parentOut)
    *parentOut = p;
  if (indexOut)
    *indexOut = i;
  return owned;
}

void Attach(std::unique_ptr<BaseList2D> e, BaseList2D* parent, std::size_t index)
{
  e->parent = parent;
  index = std::min(index, parent->children.size());
  parent->children.insert(parent->children.begin() + std::ptrdiff_t(index), std::move(e));
}

void ClearActiveWithin(BaseDocument* doc, const BaseList2D* top)
{
  for (BaseList2D*& a : doc->active)
    if (a && Within(a, top))
      a = nullptr;
}

bool StepRefers(const Step& s, const BaseList2D* top)
{
  for (const UndoEntry& en : s.entries)
    if ((en.elem && Within(en.elem, top)) || (en.parent && Within(en.parent, top)))
      return true;
  for (int i = 0; i < 4; ++i)
    if ((s.activeBefore[i] && Within(s.activeBefore[i], top)) || (s.activeAfter[i] && Within(s.activeAfter[i], top)))
      return true;
  return false;
}

void Changed(BaseDocument* doc);
} // namespace

BaseDocument* DocumentOf(const BaseList2D* e)
{
  const BaseList2D* r = RootOf(e);
  return r ? r->rootOf : nullptr;
}

std::unique_ptr<BaseList2D> Clone(const BaseList2D& e)
{
  auto c = std::make_unique<BaseList2D>(e.kind);
  c->name = e.name;
  c->data = e.data;
  c->children.reserve(e.children.size());
  for (const auto& ch : e.children) {
    c->children.push_back(Clone(*ch));
    c->children.back()->parent = c.get();
  }
  return c;
}

Int32 ListOfKind(Int32 kind)
{
  if (IsObject(kind))
    return SCENELIST_OBJECTS;
  if (IsMaterial(kind))
    return SCENELIST_MATERIALS;
  if (kind == RDbase)
    return SCENELIST_RENDER;
  return -1;
}

bool Fits(Int32 list, Int32 parentKind, Int32 kind)
{
  switch (list) {
  case SCENELIST_OBJECTS:
    return parentKind == 0 ? IsObject(kind) : IsObject(parentKind) && (IsObject(kind) || IsTag(kind));
  case SCENELIST_MATERIALS:
    return parentKind == 0 ? IsMaterial(kind) : IsMaterial(parentKind) && kind == Xbase;
  case SCENELIST_RENDER:
    return parentKind == 0 ? kind == RDbase : parentKind == RDbase && kind == VPbase;
  default:
    return false;
  }
}

bool Insert(BaseDocument* doc, std::unique_ptr<BaseList2D>&& e, BaseList2D* parent, BaseList2D* pred)
{
  if (!doc || !e || e->parent || e->rootOf)
    return false;
  if (!parent) {
    const Int32 list = ListOfKind(e->kind);
    if (list < 0)
      return false;
    parent = &doc->roots[list];
  }
  if (DocumentOf(parent) != doc)
    return false;
  const Int32 list = Int32(RootOf(parent) - doc->roots);
  if (!Fits(list, parent->rootOf ? 0 : parent->kind, e->kind))
    return false;
  std::size_t index = 0;
  if (pred) {
    if (pred->parent != parent)
      return false;
    index = IndexIn(parent, pred) + 1;
  }
  Attach(std::move(e), parent, index);
  return true;
}

std::unique_ptr<BaseList2D> Remove(BaseList2D* e)
{
  BaseDocument* doc = DocumentOf(e);
  if (!doc || e->rootOf)
    return nullptr;
  ClearActiveWithin(doc, e);
  if (doc->open)
    for (UndoEntry& en : doc->open->entries)
      if (en.kind == UNDOTYPE_DELETE && en.elem == e && !en.held) {
        en.held = Detach(e, &en.parent, &en.index);
        return nullptr;
      }
  // The history cannot outlive an element that the caller may now free.
  bool refers = doc->open && StepRefers(*doc->open, e);
  for (const Step& s : doc->undo)
    refers = refers || StepRefers(s, e);
  for (const Step& s : doc->redo)
    refers = refers || StepRefers(s, e);
  if (refers) {
    doc->undo.clear();
    doc->redo.clear();
    if (doc->open)
      *doc->open = Step{};
  }
  return Detach(e, nullptr, nullptr);
}

void SetActive(BaseDocument* doc, Int32 which, BaseList2D* e)
{
  if (!doc || which < 0 || which > 3)
    return;
  if (e && DocumentOf(e) != doc)
    return;
  static const Int32 lists[4] = {SCENELIST_OBJECTS, SCENELIST_MATERIALS, SCENELIST_OBJECTS, SCENELIST_RENDER};
  if (e) {
    const bool ok = which == ACTIVE_OBJECT ? IsObject(e->kind)
                    : which == ACTIVE_TAG  ? IsTag(e->kind)
                    : which == ACTIVE_MATERIAL ? IsMaterial(e->kind)
                                               : e->kind == RDbase;
    if (!ok || RootOf(e) != &doc->roots[lists[which]])
      return;
  }
  doc->active[which] = e;
}

bool StartUndo(BaseDocument* doc)
{
  if (!doc)
    return false;
  if (doc->openDepth++ == 0) {
    doc->open = std::make_unique<Step>();
    std::copy(doc->active, doc->active + 4, doc->open->activeBefore);
  }
  return true;
}

bool AddUndo(BaseDocument* doc, Int32 kind, BaseList2D* e)
{
  if (!doc || !doc->open || !e || DocumentOf(e) != doc || e->rootOf)
    return false;
  if (kind != UNDOTYPE_NEW && kind != UNDOTYPE_DELETE)
    return false;
  UndoEntry en;
  en.kind = kind;
  en.elem = e;
  doc->open->entries.push_back(std::move(en));
  return true;
}

bool EndUndo(BaseDocument* doc)
{
  if (!doc || doc->openDepth == 0)
    return false;
  if (--doc->openDepth > 0)
    return true;
  std::unique_ptr<Step> s = std::move(doc->open);
  std::copy(doc->active, doc->active + 4, s->activeAfter);
  if (s->entries.empty() && !s->settingsBefore)
    return true;
  doc->undo.push_back(std::move(*s));
  doc->redo.clear();
  return true;
}

// The document's lists, settings and active elements change places with those of a state.
void SwapState(BaseDocument* doc, BaseDocument* state)
{
  std::swap(doc->settings, state->settings);
  for (Int32 list = 0; list < 3; ++list) {
    std::swap(doc->roots[list].children, state->roots[list].children);
    for (auto& c : doc->roots[list].children)
      c->parent = &doc->roots[list];
    for (auto& c : state->roots[list].children)
      c->parent = &state->roots[list];
  }
  std::swap(doc->active, state->active);
}

bool DoUndo(BaseDocument* doc, bool event)
{
  if (!doc || doc->open || doc->undo.empty())
    return false;
  Step s = std::move(doc->undo.back());
  doc->undo.pop_back();
  if (s.state) {
    SwapState(doc, s.state.get());
    doc->redo.push_back(std::move(s));
    if (event)
      Changed(doc);
    return true;
  }
  for (auto it = s.entries.rbegin(); it != s.entries.rend(); ++it) {
    if (it->kind == UNDOTYPE_NEW && it->elem && !it->held)
      it->held = Detach(it->elem, &it->parent, &it->index);
    else if (it->kind == UNDOTYPE_DELETE && it->held)
      Attach(std::move(it->held), it->parent, it->index);
  }
  if (s.settingsBefore)
    std::swap(doc->settings, *s.settingsBefore);
  std::copy(s.activeBefore, s.activeBefore + 4, doc->active);
  doc->redo.push_back(std::move(s));
  if (event)
    Changed(doc);
  return true;
}

bool DoRedo(BaseDocument* doc, bool event)
{
  if (!doc || doc->open || doc->redo.empty())
    return false;
  Step s = std::move(doc->redo.back());
  doc->redo.pop_back();
  if (s.state) {
    SwapState(doc, s.state.get());
    doc->undo.push_back(std::move(s));
    if (event)
      Changed(doc);
    return true;
  }
  for (UndoEntry& en : s.entries) {
    if (en.kind == UNDOTYPE_NEW && en.held)
      Attach(std::move(en.held), en.parent, en.index);
    else if (en.kind == UNDOTYPE_DELETE && en.elem && !en.held)
      en.held = Detach(en.elem, &en.parent, &en.index);
  }
  if (s.settingsBefore)
    std::swap(doc->settings, *s.settingsBefore);
  std::copy(s.activeAfter, s.activeAfter + 4, doc->active);
  doc->undo.push_back(std::move(s));
  if (event)
    Changed(doc);
  return true;
}

bool Merge(BaseDocument* doc, BaseDocument* src, Int32 filter)
{
  if (!doc || !src || doc == src)
    return false;
  static const Int32 bits[3] = {SCENEFILTER_OBJECTS, SCENEFILTER_MATERIALS, SCENEFILTER_RENDER};
  BaseList2D* first[3] = {};
  for (Int32 list = 0; list < 3; ++list) {
    if (!(filter & bits[list]))
      continue;
    BaseList2D& from = src->roots[list];
    // The source goes away after the merge: its elements move, nothing is copied.
    std::vector<std::unique_ptr<BaseList2D>> moved = std::move(from.children);
    from.children.clear();
    for (auto& e : moved) {
      BaseList2D* raw = e.get();
      Attach(std::move(e), &doc->roots[list], doc->roots[list].children.size());
      if (!first[list])
        first[list] = raw;
      if (doc->open)
        AddUndo(doc, UNDOTYPE_NEW, raw);
    }
  }
  for (BaseList2D*& a : src->active)
    a = nullptr;
  if (filter & SCENEFILTER_DOCSETTINGS) {
    if (doc->open && !doc->open->settingsBefore)
      doc->open->settingsBefore = std::make_unique<BaseContainer>(doc->settings);
    doc->settings = src->settings;
  }
  if (filter & SCENEFILTER_ACTIVATE) {
    if (first[SCENELIST_OBJECTS])
      doc->active[ACTIVE_OBJECT] = first[SCENELIST_OBJECTS];
    if (first[SCENELIST_MATERIALS])
      doc->active[ACTIVE_MATERIAL] = first[SCENELIST_MATERIALS];
  }
  return true;
}

// ---- the native format ----
namespace {
constexpr Int32 kMaxDepth = 64;
constexpr UInt32 kEndMark = FourCC("send");
constexpr Int64 kMaxFileBytes = Int64(1) << 31;

void Number(const BaseList2D& e, std::vector<const BaseList2D*>* order)
{
  for (const auto& ch : e.children) {
    order->push_back(ch.get());
    Number(*ch, order);
  }
}

bool WriteElement(HyperFile& hf, const BaseList2D& e)
{
  hf.WriteInt32(e.kind);
  hf.WriteString(e.name);
  hf.WriteContainer(e.data);
  hf.WriteInt32(Int32(e.children.size()));
  for (const auto& ch : e.children)
    WriteElement(hf, *ch);
  return hf.IsOk();
}

bool ReadChildren(HyperFile& hf, Int32 list, BaseList2D* parent, Int32 depth, std::string* error)
{
  Int32 count = 0;
  if (!hf.ReadInt32(&count) || count < 0) {
    *error = "truncated or damaged element list";
    return false;
  }
  if (depth > kMaxDepth) {
    *error = "elements nested too deeply";
    return false;
  }
  // No room is reserved from the count: a lying count only reads until the bytes end.
  for (Int32 i = 0; i < count; ++i) {
    auto e = std::make_unique<BaseList2D>();
    if (!hf.ReadInt32(&e->kind) || !hf.ReadString(&e->name) || !hf.ReadContainer(&e->data)) {
      *error = "truncated or damaged element";
      return false;
    }
    if (!Fits(list, parent->rootOf ? 0 : parent->kind, e->kind)) {
      *error = "element of kind " + std::to_string(e->kind) + " where it cannot lie";
      return false;
    }
    BaseList2D* raw = e.get();
    Attach(std::move(e), parent, parent->children.size());
    if (!ReadChildren(hf, list, raw, depth + 1, error))
      return false;
  }
  return true;
}
} // namespace

bool SaveToMemory(const BaseDocument& doc, std::vector<UChar>* out)
{
  HyperFile hf;
  hf.OpenMemoryWrite(UInt32(FORMAT_NATIVE));
  hf.WriteInt32(SCENE_FORMAT_VERSION);
  hf.WriteContainer(doc.settings);
  for (const BaseList2D& r : doc.roots)
    WriteElement(hf, r);
  std::vector<const BaseList2D*> order;
  for (const BaseList2D& r : doc.roots)
    Number(r, &order);
  for (const BaseList2D* a : doc.active) {
    auto it = std::find(order.begin(), order.end(), a);
    hf.WriteInt32(a && it != order.end() ? Int32(it - order.begin()) : -1);
  }
  hf.WriteInt32(Int32(kEndMark));
  if (!hf.IsOk())
    return false;
  out->assign(hf.GetMemory(), hf.GetMemory() + hf.GetMemorySize());
  return hf.Close();
}

std::unique_ptr<BaseDocument> LoadFromMemory(const void* data, Int64 size, std::string* error)
{
  std::string scratch;
  if (!error)
    error = &scratch;
  HyperFile hf;
  if (!data || size <= 0 || !hf.OpenMemoryRead(UInt32(FORMAT_NATIVE), data, size)) {
    *error = "not a scene document";
    return nullptr;
  }
  Int32 version = 0;
  if (!hf.ReadInt32(&version)) {
    *error = "truncated scene document";
    return nullptr;
  }
  if (version != SCENE_FORMAT_VERSION) {
    *error = "scene document of format version " + std::to_string(version) + ", this host reads version " +
             std::to_string(SCENE_FORMAT_VERSION);
    return nullptr;
  }
  auto doc = std::make_unique<BaseDocument>();
  if (!hf.ReadContainer(&doc->settings)) {
    *error = "truncated or damaged document settings";
    return nullptr;
  }
  for (Int32 list = 0; list < 3; ++list) {
    BaseList2D& root = doc->roots[list];
    Int32 kind = -1;
    String name;
    BaseContainer bc;
    if (!hf.ReadInt32(&kind) || !hf.ReadString(&name) || !hf.ReadContainer(&bc) || kind != 0) {
      *error = "truncated or damaged element list";
      return nullptr;
    }
    if (!ReadChildren(hf, list, &root, 1, error))
      return nullptr;
  }
  std::vector<const BaseList2D*> order;
  for (const BaseList2D& r : doc->roots)
    Number(r, &order);
  for (Int32 which = 0; which < 4; ++which) {
    Int32 n = 0;
    if (!hf.ReadInt32(&n) || n < -1 || n >= Int32(order.size())) {
      *error = "truncated or damaged active elements";
      return nullptr;
    }
    if (n < 0)
      continue;
    BaseList2D* e = const_cast<BaseList2D*>(order[std::size_t(n)]);
    SetActive(doc.get(), which, e);
    if (doc->active[which] != e) {
      *error = "an active element of the wrong kind";
      return nullptr;
    }
  }
  Int32 end = 0;
  if (!hf.ReadInt32(&end) || UInt32(end) != kEndMark) {
    *error = "truncated scene document";
    return nullptr;
  }
  return doc;
}

bool SaveToFile(const BaseDocument& doc, const std::string& path, std::string* error)
{
  std::vector<UChar> bytes;
  if (!SaveToMemory(doc, &bytes)) {
    *error = "the document could not be written";
    return false;
  }
  return WriteWholeFile(path, bytes, error);
}

bool WriteWholeFile(const std::string& path, const std::vector<UChar>& bytes, std::string* error)
{
  // A new file beside the old one, renamed over it once whole: a failed save keeps the old file.
  std::string tmp = path + ".XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0 || ::fchmod(fd, 0644) != 0) {
    if (fd >= 0) {
      ::close(fd);
      ::unlink(tmp.c_str());
    }
    *error = tmp + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  bool ok = !detail::ShouldFail(detail::Op::Write);
  while (ok && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    ok = n > 0;
    if (ok)
      done += std::size_t(n);
  }
  const int err = errno;
  ok = ok && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = path + ": " + std::strerror(ok ? errno : (err ? err : EIO));
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, Int64 maxBytes, std::vector<UChar>* out, std::string* error)
{
  const int fd = detail::OpenRegularFile(path, O_RDONLY);
  if (fd < 0) {
    *error = path + ": " + (errno == EINVAL ? std::string("not a regular file") : std::strerror(errno));
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size > maxBytes) {
    ::close(fd);
    *error = path + ": too large (more than " + std::to_string(maxBytes) + " bytes)";
    return false;
  }
  std::vector<UChar>& bytes = *out;
  bytes.assign(std::size_t(st.st_size), 0);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += std::size_t(n);
  }
  ::close(fd);
  if (done != bytes.size()) {
    *error = path + ": could not be read whole";
    return false;
  }
  return true;
}

std::unique_ptr<BaseDocument> LoadFromFile(const std::string& path, std::string* error)
{
  std::vector<UChar> bytes;
  if (!ReadWholeFile(path, kMaxFileBytes, &bytes, error))
    return nullptr;
  std::string why;
  auto doc = LoadFromMemory(bytes.data(), Int64(bytes.size()), &why);
  if (!doc)
    *error = path + ": " + why;
  return doc;
}

BaseList2D* FindByPath(BaseDocument* doc, Int32 list, const std::string& path)
{
  if (!doc || list < 0 || list > 2 || path.empty())
    return nullptr;
  BaseList2D* at = &doc->roots[list];
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos)
      slash = path.size();
    const String part(std::string_view(path).substr(start, slash - start));
    BaseList2D* found = nullptr;
    for (const auto& ch : at->children)
      if (ch->name == part) {
        found = ch.get();
        break;
      }
    if (!found)
      return nullptr;
    at = found;
    start = slash + 1;
  }
  return at;
}

namespace {
std::unique_ptr<BaseDocument> g_active;
Int64 g_changed = 0;

void Changed(BaseDocument* doc)
{
  ++doc->changes;
  ++g_changed;
}
} // namespace

BaseDocument* ActiveDocument() { return g_active.get(); }
void SetActiveDocument(std::unique_ptr<BaseDocument> doc) { g_active = std::move(doc); }
Int64 ChangedEvents() { return g_changed; }
void EventChanged(BaseDocument* doc)
{
  if (doc)
    Changed(doc);
}

} // namespace orxhost::scene
