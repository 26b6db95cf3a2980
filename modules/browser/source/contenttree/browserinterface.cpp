#include "contenttree/browserinterface.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <thread>

#include "orx/basefile.h"

// ---------------------------------------------------------------------------------------------
// Shared default behaviour

namespace {
std::atomic<const PreviewDialogOps*> g_dialogOps{nullptr};
std::atomic<PreviewDialogFactory> g_dialogFactory{nullptr};
}

void SetPreviewDialogOps(const PreviewDialogOps* ops) { g_dialogOps.store(ops, std::memory_order_release); }
const PreviewDialogOps* GetPreviewDialogOps() { return g_dialogOps.load(std::memory_order_acquire); }
void SetPreviewDialogFactory(PreviewDialogFactory factory)
{
  g_dialogFactory.store(factory, std::memory_order_release);
}
PreviewDialogFactory GetPreviewDialogFactory() { return g_dialogFactory.load(std::memory_order_acquire); }

PreviewDialog* BrowserPluginInterface::MakePreviewDialog(NodeRef node, Int32 kind, Int32 icon, Int32 flags,
                                                         Int32 page)
{
  const PreviewDialogFactory factory = GetPreviewDialogFactory();
  if (!factory)
    return nullptr;
  return factory(std::move(node), PreviewDialogRequest{kind, icon, flags, page});
}

Int32 BrowserPluginInterface::EndPreviewDialog(PreviewDialog* dialog, Bool storeEdits)
{
  const PreviewDialogOps* ops = g_dialogOps.load(std::memory_order_acquire);
  return dialog && ops && ops->close ? ops->close(dialog, storeEdits) : 0;
}

Int32 BrowserPluginInterface::DeletePreviewDialog(PreviewDialog* dialog)
{
  const PreviewDialogOps* ops = g_dialogOps.load(std::memory_order_acquire);
  return dialog && ops && ops->destroy ? ops->destroy(dialog) : 0;
}

void* BrowserPluginInterface::OpenPreviewData(Int32, NodeRef, BrowserURL*, Int32* qualities)
{
  if (qualities)
    *qualities = 0;
  return nullptr;
}

void BrowserPluginInterface::FreePreviewData(void*) {}

BaseBitmap* BrowserPluginInterface::GetPreviewBitmap(void*, Int32, Int32, Int32) { return nullptr; }

Int32 BrowserPluginInterface::DestroyPreviewDialog(NodeRef, PreviewDialog* dialog)
{
  return DeletePreviewDialog(dialog);
}

Int32 BrowserPluginInterface::ClosePreviewDialog(NodeRef, PreviewDialog* dialog)
{
  return EndPreviewDialog(dialog, false);
}

Bool BrowserPluginInterface::Execute(NodeRef, BrowserURL*, Int32) { return false; }

// ---------------------------------------------------------------------------------------------
// Counted type-name arrays

namespace {
// The count sits in a header as wide as the strictest alignment, so the strings stay aligned.
constexpr std::size_t kTypeNamesHeader = alignof(std::max_align_t);
static_assert(alignof(String) <= kTypeNamesHeader && sizeof(Int64) <= kTypeNamesHeader);
} // namespace

String* AllocTypeNames(Int32 count)
{
  if (count <= 0)
    return nullptr;
  const Int64 bytes = Int64(kTypeNamesHeader) + Int64(count) * Int64(sizeof(String));
  auto* block = static_cast<UChar*>(OrxMemAlloc(bytes, __LINE__, __FILE__, false));
  if (!block)
    return nullptr;
  *reinterpret_cast<Int64*>(block) = count;
  auto* names = reinterpret_cast<String*>(block + kTypeNamesHeader);
  for (Int32 i = 0; i < count; ++i)
    ::new (static_cast<void*>(names + i)) String();
  return names;
}

Int32 TypeNamesCount(const String* names)
{
  if (!names)
    return 0;
  return Int32(*reinterpret_cast<const Int64*>(reinterpret_cast<const UChar*>(names) - kTypeNamesHeader));
}

void FreeTypeNames(String*& names)
{
  if (!names)
    return;
  const Int32 count = TypeNamesCount(names);
  for (Int32 i = 0; i < count; ++i)
    names[i].~String();
  OrxMemFree(reinterpret_cast<UChar*>(names) - kTypeNamesHeader);
  names = nullptr;
}

String* MakeTypeNames(const String& name, Int32* count)
{
  String* names = AllocTypeNames(1);
  if (names)
    names[0] = name;
  if (count)
    *count = names ? 1 : 0;
  return names;
}

// ---------------------------------------------------------------------------------------------
// The registry

namespace {

constexpr Int32 kBlockEntries = 1024;

// Longest suffix of a match by name. Some handlers compare suffixes as bytes and stop at a zero or
// after this many characters; names with such suffixes are matched by asking the handlers.
constexpr Int32 kMaxSuffix = 15;

struct SuffixKey
{
  Int32 length;
  Utf16Char units[kMaxSuffix];
};

// A handler's match by name, copied at registration; the keys follow in the same block.
struct SuffixRule
{
  Int32 count;
  Bool ignoreCase;
  SuffixKey* keys;
};

struct Entry
{
  BrowserPluginInterface* handler;
  Int32 identifiesFiles;
  Bool owned;
  SuffixRule* rule; // null: the handler is asked
};

// Null when the list has a suffix that is not ASCII or too long (then the handler is asked), or when
// memory runs out.
SuffixRule* CopyRule(const SuffixMatch& m)
{
  if (m.count < 0 || (m.count > 0 && !m.suffixes))
    return nullptr;
  for (Int32 i = 0; i < m.count; ++i) {
    const char* text = m.suffixes[i];
    if (!text || std::strlen(text) > std::size_t(kMaxSuffix))
      return nullptr;
    for (const char* c = text; *c; ++c)
      if (UChar(*c) > 0x7F)
        return nullptr;
  }
  const Int64 bytes = Int64(sizeof(SuffixRule)) + Int64(m.count) * Int64(sizeof(SuffixKey));
  auto* rule = static_cast<SuffixRule*>(OrxMemAlloc(bytes, __LINE__, __FILE__, true));
  if (!rule)
    return nullptr;
  rule->count = m.count;
  rule->ignoreCase = m.ignoreCase;
  rule->keys = reinterpret_cast<SuffixKey*>(rule + 1);
  for (Int32 i = 0; i < m.count; ++i) {
    SuffixKey& k = rule->keys[i];
    k.length = Int32(std::strlen(m.suffixes[i]));
    for (Int32 c = 0; c < k.length; ++c)
      k.units[c] = Utf16Char(UChar(m.suffixes[i][c]));
  }
  return rule;
}

UInt32 HashUnits(const Utf16Char* units, std::size_t count)
{
  UInt32 h = 2166136261u;
  for (std::size_t i = 0; i < count; ++i)
    h = (h ^ units[i]) * 16777619u;
  return h;
}

// Suffix -> the first handler in registration order whose rule takes it. Open addressing in host
// memory; filled at registration, read under the registry lock.
class SuffixTable
{
public:
  struct Slot
  {
    UInt32 hash;
    Int32 position; // registration index; -1 for an empty slot
    BrowserPluginInterface* handler;
    SuffixKey key;
  };

  Int32 Used() const { return used_; }
  void Clear()
  {
    for (Int32 i = 0; i < capacity_; ++i)
      slots_[i].position = -1;
    used_ = 0;
  }
  void Free()
  {
    OrxMemFree(slots_);
    slots_ = nullptr;
    capacity_ = used_ = 0;
  }
  // A key there already keeps its earlier handler. False when memory runs out.
  Bool Insert(const SuffixKey& key, Int32 position, BrowserPluginInterface* h)
  {
    const UInt32 hash = HashUnits(key.units, std::size_t(key.length));
    if (Find(key.units, key.length, hash))
      return true;
    if ((used_ + 1) * 2 > capacity_ && !Grow())
      return false;
    Slot& s = Probe(key.units, key.length, hash);
    s = Slot{hash, position, h, key};
    ++used_;
    return true;
  }
  const Slot* Find(const Utf16Char* units, Int32 length, UInt32 hash) const
  {
    if (!capacity_)
      return nullptr;
    const Slot& s = const_cast<SuffixTable*>(this)->Probe(units, length, hash);
    return s.position >= 0 ? &s : nullptr;
  }

private:
  // The slot of the key, or the empty slot where it would go.
  Slot& Probe(const Utf16Char* units, Int32 length, UInt32 hash)
  {
    const UInt32 mask = UInt32(capacity_ - 1);
    for (UInt32 i = hash & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.position < 0 || (s.hash == hash && s.key.length == length &&
                             std::memcmp(s.key.units, units, sizeof(Utf16Char) * std::size_t(length)) == 0))
        return s;
    }
  }
  Bool Grow()
  {
    const Int32 cap = capacity_ ? capacity_ * 2 : 64;
    Slot* bigger = OrxNewMem(Slot, cap);
    if (!bigger)
      return false;
    Slot* old = slots_;
    const Int32 oldCap = capacity_;
    slots_ = bigger;
    capacity_ = cap;
    Clear();
    for (Int32 i = 0; i < oldCap; ++i)
      if (old[i].position >= 0) {
        Probe(old[i].key.units, old[i].key.length, old[i].hash) = old[i];
        ++used_;
      }
    OrxMemFree(old);
    return true;
  }

  Slot* slots_ = nullptr;
  Int32 capacity_ = 0, used_ = 0;
};

// True when String::ToUpper maps ASCII as plain ASCII: then ASCII suffixes are upper-cased in place.
Bool ToUpperIsAscii()
{
  Utf16Char all[127];
  for (Int32 c = 1; c < 128; ++c)
    all[c - 1] = Utf16Char(c);
  const String upper = String(all, 127).ToUpper();
  if (upper.GetLength() != 127)
    return false;
  for (Int32 c = 1; c < 128; ++c)
    if (upper[c - 1] != Utf16Char(c >= 'a' && c <= 'z' ? c - 32 : c))
      return false;
  return true;
}

// A handler that a lookup is calling right now; UnregisterPlugin waits for these to end.
struct Call
{
  BrowserPluginInterface* handler;
  std::thread::id thread;
};

// Grows an array of trivially copyable elements in host memory; false when memory runs out.
template <typename T>
Bool Grow(T*& data, Int32& capacity, Int32 needed)
{
  if (needed <= capacity)
    return true;
  Int32 cap = capacity ? capacity * 2 : 16;
  while (cap < needed)
    cap *= 2;
  T* bigger = OrxNewMem(T, cap);
  if (!bigger)
    return false;
  if (data)
    std::memcpy(static_cast<void*>(bigger), data, sizeof(T) * std::size_t(capacity));
  OrxMemFree(data);
  data = bigger;
  capacity = cap;
  return true;
}

class Registry
{
public:
  Bool Add(BrowserPluginInterface* h, Int32 identifies, Bool owned, const SuffixMatch* byName)
  {
    SuffixRule* rule = identifies && byName ? CopyRule(*byName) : nullptr;
    std::lock_guard g(lock_);
    const Int32 block = count_ / kBlockEntries;
    if (block >= blockCount_) {
      if (!Grow(blocks_, blockCap_, block + 1) || !(blocks_[blockCount_] = OrxNewMem(Entry, kBlockEntries))) {
        OrxMemFree(rule);
        return false;
      }
      ++blockCount_;
    }
    At(count_++) = Entry{h, identifies, owned, rule};
    Index(count_ - 1);
    return true;
  }

  Bool Remove(BrowserPluginInterface* h)
  {
    std::unique_lock g(lock_);
    const Int32 i = IndexOf(h);
    if (i < 0)
      return false;
    OrxMemFree(At(i).rule);
    for (Int32 j = i + 1; j < count_; ++j)
      At(j - 1) = At(j);
    --count_;
    ++removals_;
    Reindex();
    // The entry is gone, so no new call can start; wait for the ones running elsewhere.
    const std::thread::id self = std::this_thread::get_id();
    idle_.wait(g, [&] {
      for (Int32 k = 0; k < callCount_; ++k)
        if (calls_[k].handler == h && calls_[k].thread != self)
          return false;
      return true;
    });
    return true;
  }

  BrowserPluginInterface* Get(Int32 index)
  {
    std::lock_guard g(lock_);
    return index >= 0 && index < count_ ? At(index).handler : nullptr;
  }

  Int32 Count()
  {
    std::lock_guard g(lock_);
    return count_;
  }

  // Changes whenever an entry is removed: the entries behind it moved down one index, so a walk by
  // index that ran meanwhile may have stepped over one of them.
  UInt64 Removals()
  {
    std::lock_guard g(lock_);
    return removals_;
  }

  // The handler at index marked as being called, or null (nothing marked) when the entry is past
  // the end, does not identify files, has a rule when askedOnly, or the mark cannot be stored.
  BrowserPluginInterface* BeginCallAt(Int32 index, Bool filesOnly, Bool* pastEnd, Bool askedOnly = false)
  {
    std::lock_guard g(lock_);
    *pastEnd = index >= count_;
    if (*pastEnd)
      return nullptr;
    const Entry& e = At(index);
    if ((filesOnly && !e.identifiesFiles) || (askedOnly && e.rule))
      return nullptr;
    return Mark(e.handler) ? e.handler : nullptr;
  }

  // The match by name from the suffix table: the first handler whose rule takes suffix (null when
  // none), and in askBefore the number of leading entries among which handlers without a rule come
  // first and must be asked (0: none; -1: the table is not usable, every handler is asked).
  // removals: the removal count the answer belongs to.
  BrowserPluginInterface* MatchSuffix(std::u16string_view suffix, Int32* askBefore, UInt64* removals)
  {
    std::lock_guard g(lock_);
    *removals = removals_;
    if (!tableValid_) {
      *askBefore = -1;
      return nullptr;
    }
    Int32 position = count_;
    BrowserPluginInterface* found = nullptr;
    const Int32 length = Int32(suffix.size());
    if (const SuffixTable::Slot* s = exact_.Find(suffix.data(), length, HashUnits(suffix.data(), suffix.size()))) {
      position = s->position;
      found = s->handler;
    }
    if (folded_.Used() && firstFolded_ < position) {
      Utf16Char upper[kMaxSuffix];
      Bool ascii = asciiUpper_;
      for (Int32 i = 0; ascii && i < length; ++i) {
        const Utf16Char c = suffix[std::size_t(i)];
        ascii = c < 0x80;
        upper[i] = c >= u'a' && c <= u'z' ? Utf16Char(c - 32) : c;
      }
      String converted;
      const Utf16Char* key = upper;
      if (!ascii) {
        converted = String(suffix).ToUpper();
        key = converted.Units();
      }
      if (const SuffixTable::Slot* s = folded_.Find(key, length, HashUnits(key, std::size_t(length))))
        if (s->position < position) {
          position = s->position;
          found = s->handler;
        }
    }
    *askBefore = firstAsked_ < position ? position : 0;
    return found;
  }

  Bool Contains(BrowserPluginInterface* h)
  {
    std::lock_guard g(lock_);
    return IndexOf(h) >= 0;
  }

  // Marks h as being called when it is still registered.
  Bool BeginCall(BrowserPluginInterface* h)
  {
    std::lock_guard g(lock_);
    return IndexOf(h) >= 0 && Mark(h);
  }

  void EndCall(BrowserPluginInterface* h)
  {
    {
      std::lock_guard g(lock_);
      const std::thread::id self = std::this_thread::get_id();
      for (Int32 k = callCount_ - 1; k >= 0; --k) {
        if (calls_[k].handler == h && calls_[k].thread == self) {
          calls_[k] = calls_[--callCount_];
          break;
        }
      }
    }
    idle_.notify_all();
  }

  void Release()
  {
    Entry** blocks;
    Int32 blockCount, count;
    Call* calls;
    {
      std::unique_lock g(lock_);
      // Lookups still running elsewhere finish before their handlers are deleted.
      const std::thread::id self = std::this_thread::get_id();
      idle_.wait(g, [&] {
        for (Int32 k = 0; k < callCount_; ++k)
          if (calls_[k].thread != self)
            return false;
        return true;
      });
      blocks = std::exchange(blocks_, nullptr);
      blockCount = std::exchange(blockCount_, 0);
      count = std::exchange(count_, 0);
      blockCap_ = 0;
      calls = std::exchange(calls_, nullptr);
      callCount_ = callCap_ = 0;
      exact_.Free();
      folded_.Free();
      Reindex();
    }
    // Handlers run without the lock; one registered twice is deleted once.
    for (Int32 i = 0; i < count; ++i) {
      Entry& e = blocks[i / kBlockEntries][i % kBlockEntries];
      if (!e.owned || !e.handler)
        continue;
      BrowserPluginInterface* h = e.handler;
      for (Int32 j = i; j < count; ++j) {
        Entry& later = blocks[j / kBlockEntries][j % kBlockEntries];
        if (later.handler == h)
          later.handler = nullptr;
      }
      delete h;
    }
    for (Int32 i = 0; i < count; ++i)
      OrxMemFree(blocks[i / kBlockEntries][i % kBlockEntries].rule);
    for (Int32 b = 0; b < blockCount; ++b)
      OrxMemFree(blocks[b]);
    OrxMemFree(blocks);
    OrxMemFree(calls);
  }

private:
  Entry& At(Int32 i) { return blocks_[i / kBlockEntries][i % kBlockEntries]; }
  Int32 IndexOf(BrowserPluginInterface* h)
  {
    for (Int32 i = 0; i < count_; ++i)
      if (At(i).handler == h)
        return i;
    return -1;
  }
  // Enters the entry at i, the last one, into the match by name.
  void Index(Int32 i)
  {
    const Entry& e = At(i);
    if (!e.identifiesFiles)
      return;
    if (!e.rule) {
      firstAsked_ = std::min(firstAsked_, i);
      return;
    }
    for (Int32 k = 0; k < e.rule->count; ++k) {
      SuffixKey key = e.rule->keys[k];
      if (e.rule->ignoreCase) {
        if (!folded_.Used())
          asciiUpper_ = ToUpperIsAscii();
        const String upper = String(key.units, key.length).ToUpper();
        if (upper.GetLength() != key.length) {
          tableValid_ = false;
          return;
        }
        std::memcpy(key.units, upper.Units(), sizeof(Utf16Char) * std::size_t(key.length));
        tableValid_ = tableValid_ && folded_.Insert(key, i, e.handler);
        firstFolded_ = std::min(firstFolded_, i);
      } else {
        tableValid_ = tableValid_ && exact_.Insert(key, i, e.handler);
      }
    }
  }
  // Builds the match by name again after entries moved.
  void Reindex()
  {
    exact_.Clear();
    folded_.Clear();
    firstAsked_ = firstFolded_ = std::numeric_limits<Int32>::max();
    tableValid_ = true;
    for (Int32 i = 0; i < count_; ++i)
      Index(i);
  }
  Bool Mark(BrowserPluginInterface* h)
  {
    if (!Grow(calls_, callCap_, callCount_ + 1))
      return false;
    calls_[callCount_++] = Call{h, std::this_thread::get_id()};
    return true;
  }

  // The registry lock: guards the entries and the running calls, never held while a handler runs.
  std::mutex lock_;
  std::condition_variable idle_;
  Entry** blocks_ = nullptr;
  Int32 blockCap_ = 0, blockCount_ = 0, count_ = 0;
  Call* calls_ = nullptr;
  Int32 callCap_ = 0, callCount_ = 0;
  UInt64 removals_ = 0;
  // The match by name: suffixes of rules compared exactly, and upper-cased ones of rules that ignore
  // case; the first entry without a rule that identifies files, and the first that ignores case.
  SuffixTable exact_, folded_;
  Int32 firstAsked_ = std::numeric_limits<Int32>::max();
  Int32 firstFolded_ = std::numeric_limits<Int32>::max();
  Bool tableValid_ = true;  // false after memory ran out: every handler is asked
  Bool asciiUpper_ = false; // ToUpperIsAscii, found when the first rule that ignores case came
};

Registry g_registry;

// A handler marked as being called for the lifetime of this object.
class CallGuard
{
public:
  explicit CallGuard(BrowserPluginInterface* h) : h_(h) {}
  ~CallGuard()
  {
    if (h_)
      g_registry.EndCall(h_);
  }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

private:
  BrowserPluginInterface* h_;
};

// Walks the entries by index, calling test on each (marked as being called) until it answers true.
// A walk that found nothing while an entry was removed may have skipped one that moved down: it is
// walked again, a few times at most.
template <typename Test>
BrowserPluginInterface* WalkRegistry(Int32 count, Bool filesOnly, Test test)
{
  for (Int32 attempt = 0; attempt < 8; ++attempt) {
    const UInt64 removals = g_registry.Removals();
    for (Int32 i = 0; i < count; ++i) {
      Bool pastEnd = false;
      BrowserPluginInterface* h = g_registry.BeginCallAt(i, filesOnly, &pastEnd);
      if (pastEnd)
        break;
      if (!h)
        continue;
      CallGuard guard(h);
      if (test(h))
        return h;
    }
    if (g_registry.Removals() == removals)
      break;
    count = g_registry.Count();
  }
  return nullptr;
}

// Asks every file-identifying handler in registration order, skipping skip; the first that answers
// true is the answer.
BrowserPluginInterface* FirstIdentifying(Int32 count, BrowserURL& url, const void* header, Int32 size,
                                         BrowserPluginInterface* skip)
{
  return WalkRegistry(count, true, [&](BrowserPluginInterface* h) {
    return h != skip && h->Identify(url, header, size, 0);
  });
}

std::atomic<ItemHeaderReader> g_itemHeaderReader{nullptr};

// Up to HANDLER_HEADER_SIZE bytes of the content at url: the file's, or for a URL that is not a
// file the data of the item that the main database keeps for it. The number of bytes read.
Int32 ReadHeader(BrowserURL& url, UChar* buf)
{
  Filename file;
  if (url.GetFilename(&file)) {
    BaseFile f;
    if (!f.Open(file, FileMode::Read))
      return 0;
    const Int64 n = f.ReadBytes(buf, HANDLER_HEADER_SIZE);
    return n > 0 ? Int32(n) : 0;
  }
  const ItemHeaderReader reader = g_itemHeaderReader.load(std::memory_order_acquire);
  return reader ? reader(url, buf, HANDLER_HEADER_SIZE) : 0;
}

} // namespace

void SetItemHeaderReader(ItemHeaderReader reader)
{
  g_itemHeaderReader.store(reader, std::memory_order_release);
}

Bool RegisterPlugin(BrowserPluginInterface* handler, Int32 identifiesFiles, Bool ownedByRegistry,
                    const SuffixMatch* byName)
{
  return handler && g_registry.Add(handler, identifiesFiles, ownedByRegistry, byName);
}

namespace {
// Changes whenever a handler leaves the registry, which empties every node's handler cache.
std::atomic<UInt32> g_registryGeneration{1};
UInt32 RegistryGeneration() { return g_registryGeneration.load(std::memory_order_acquire); }
void HandlerLeft() { g_registryGeneration.fetch_add(1, std::memory_order_acq_rel); }
} // namespace

Bool UnregisterPlugin(BrowserPluginInterface* handler)
{
  if (!handler || !g_registry.Remove(handler))
    return false;
  HandlerLeft();
  return true;
}

BrowserPluginInterface* GetPlugin(Int32 index) { return g_registry.Get(index); }

Int32 GetPluginCount() { return g_registry.Count(); }

BrowserPluginInterface* FindPluginByID(Int32 id)
{
  return WalkRegistry(g_registry.Count(), false, [&](BrowserPluginInterface* h) { return h->GetPluginID(nullptr) == id; });
}

namespace {
// The first file-identifying handler in registration order that matches url by name: handlers
// registered with a rule are answered by the suffix table, the others asked. u is url, copied on
// first need (a handler is given a URL it may change).
BrowserPluginInterface* MatchByName(const BrowserURL& url, BrowserURL& u, Bool& copied)
{
  auto copy = [&] {
    if (!copied)
      u = url;
    copied = true;
  };
  std::u16string_view suffix;
  String resolved;
  if (!url.PeekSuffix(&suffix)) {
    copy();
    resolved = u.GetSuffix();
    suffix = resolved.View();
  }
  BrowserPluginInterface* found = nullptr;
  if (suffix.size() <= std::size_t(kMaxSuffix) && suffix.find(u'\0') == std::u16string_view::npos) {
    for (Int32 attempt = 0; attempt < 8; ++attempt) {
      Int32 askBefore = 0;
      UInt64 removals = 0;
      found = g_registry.MatchSuffix(suffix, &askBefore, &removals);
      if (askBefore < 0)
        break;
      if (askBefore == 0)
        return found;
      copy();
      for (Int32 i = 0; i < askBefore; ++i) {
        Bool pastEnd = false;
        BrowserPluginInterface* h = g_registry.BeginCallAt(i, true, &pastEnd, true);
        if (pastEnd)
          break;
        if (!h)
          continue;
        CallGuard guard(h);
        if (h->Identify(u, nullptr, 0, 0))
          return h;
      }
      // Entries moved while the handlers were asked: the positions may not hold any more.
      if (g_registry.Removals() == removals)
        return found;
    }
    if (found)
      return found;
  }
  copy();
  return FirstIdentifying(g_registry.Count(), u, nullptr, 0, nullptr);
}
} // namespace

Bool FindPluginForURL(const BrowserURL& url, Bool checkContents, BrowserPluginInterface** out)
{
  if (out)
    *out = nullptr;
  BrowserURL u;
  Bool copied = false;
  const Int32 count = g_registry.Count();
  BrowserPluginInterface* candidate = MatchByName(url, u, copied);
  if (!checkContents) {
    if (out)
      *out = candidate;
    return candidate != nullptr;
  }
  if (!copied)
    u = url;

  UChar header[HANDLER_HEADER_SIZE];
  const Int32 size = ReadHeader(u, header);
  if (size <= 0)
    return false;

  BrowserPluginInterface* found = nullptr;
  // The candidate may have been unregistered meanwhile; then it is not called again.
  if (candidate && g_registry.BeginCall(candidate)) {
    CallGuard guard(candidate);
    if (candidate->Identify(u, header, size, 0))
      found = candidate;
  }
  // The candidate already said no to these bytes.
  if (!found)
    found = FirstIdentifying(count, u, header, size, candidate);
  if (out)
    *out = found;
  return found != nullptr;
}

void ReleasePluginRegistry()
{
  g_registry.Release();
  HandlerLeft();
}

// ---------------------------------------------------------------------------------------------
// Handler cache of file nodes

namespace {
// Cached "looked up and not found".
BrowserPluginInterface* const kNoHandler = reinterpret_cast<BrowserPluginInterface*>(~std::uintptr_t(0));
} // namespace

BrowserPluginInterface* CachedPluginLookup::Load() const
{
  const UInt32 now = RegistryGeneration();
  std::lock_guard l(lock_);
  // Some handler left since this was stored: forget it if it was this one.
  if (generation_ != now) {
    if (handler_ && handler_ != kNoHandler && !g_registry.Contains(handler_))
      handler_ = nullptr;
    generation_ = now;
  }
  return handler_;
}

void CachedPluginLookup::Store(BrowserPluginInterface* handler, UInt32 generation)
{
  std::lock_guard l(lock_);
  handler_ = handler;
  generation_ = generation;
}

BrowserPluginInterface* CachedPluginLookup::Get(BrowserContentNode* node, const BrowserURL& url, UInt32 flags)
{
  const Bool quick = (flags & PLUGINREQUEST_QUICK) != 0;
  const UInt32 status = node ? node->GetStatus() : 0;
  BrowserPluginInterface* cached = Load();
  if (cached && (quick || !(status & NODESTATUS_QUICK_MATCH)))
    return cached == kNoHandler ? nullptr : cached;

  // A handler unregistered during the lookup makes what it found stale at once.
  const UInt32 generation = RegistryGeneration();
  BrowserPluginInterface* found = nullptr;
  if (FindPluginForURL(url, !quick, &found) && found) {
    // Mark before publishing, so that no reader takes a name-only match for a full one.
    if (quick) {
      if (node)
        node->SetStatus(NODESTATUS_QUICK_MATCH);
      Store(found, generation);
    } else {
      Store(found, generation);
      if (node)
        node->ClearStatus(NODESTATUS_QUICK_MATCH | NODESTATUS_NOHANDLER);
    }
    return found;
  }
  if (!quick) {
    Store(kNoHandler, generation);
    // A remembered failure must not be retried by the next full request.
    if (node) {
      node->SetStatus(NODESTATUS_NOHANDLER);
      node->ClearStatus(NODESTATUS_QUICK_MATCH);
    }
  } else if (node && Load() == kNoHandler) {
    node->SetStatus(NODESTATUS_NOHANDLER);
  }
  return nullptr;
}

BrowserPluginInterface* CachedPluginLookup::Peek() const
{
  BrowserPluginInterface* h = Load();
  return h == kNoHandler ? nullptr : h;
}

void CachedPluginLookup::Clear(BrowserContentNode* node)
{
  Store(nullptr, 0);
  if (node)
    node->ClearStatus(NODESTATUS_QUICK_MATCH | NODESTATUS_NOHANDLER);
}

void CachedPluginLookup::Set(BrowserContentNode* node, BrowserPluginInterface* handler)
{
  Store(handler, RegistryGeneration());
  if (node)
    node->ClearStatus(NODESTATUS_QUICK_MATCH | NODESTATUS_NOHANDLER);
}
