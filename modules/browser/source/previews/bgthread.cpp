#include "previews/bgthread.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <shared_mutex>
#include <vector>

#include "base/browserutils.h"
#include "contenttree/browserinterface.h"
#include "orx/files.h"
#include "orx/media.h"
#include "orx/memory.h"
#include "orx/services.h"
#include "presets/browserdatabase.h"
#include "contenttree/sortby.h"

namespace {

std::mutex g_prefsLock;
BackgroundPrefs g_prefs;

// The module-wide list of workers; the lock exists between module start and end.
std::atomic<Lock*> g_listLock{nullptr};
BGThread* g_head = nullptr;

thread_local BGThread* t_current = nullptr;

std::atomic<UInt32> g_tempCounter{0};

Int32 ReadWhole(const BaseContainer* c, Int32 id, Int32 def, Int32 lo, Int32 hi)
{
  if (!c)
    return def;
  // Entered as real numbers; whatever was stored, the value read stays within its bounds.
  const Float f = c->GetFloat(id, Float(def));
  if (!std::isfinite(f))
    return def;
  return Int32(std::clamp<Float>(std::trunc(f), Float(lo), Float(hi)));
}

class OpenedItem
{
public:
  OpenedItem() = default;
  ~OpenedItem()
  {
    if (p_)
      p_->Close();
  }
  OpenedItem(const OpenedItem&) = delete;
  OpenedItem& operator=(const OpenedItem&) = delete;
  void Reset(BrowserDatabaseItem* p)
  {
    if (p_)
      p_->Close();
    p_ = p;
  }
  BrowserDatabaseItem* Get() const { return p_; }

private:
  BrowserDatabaseItem* p_ = nullptr;
};

Bool SameTime(const DateTime& a, const DateTime& b)
{
  return dbitem::PackDate(a) == dbitem::PackDate(b) && dbitem::PackTime(a) == dbitem::PackTime(b);
}

// JPEG bytes of a bitmap, through a file of the module's temporary folder (the host's image service
// writes files only). Host memory freed with OrxMemFree.
Bool EncodeJpeg(const BaseBitmap& bmp, Int32 quality, void** data, Int64* size)
{
  const Filename folder = GetTempFolder();
  if (!GeFolderExists(folder) && !GeCreateFolderTree(folder))
    return false;
  const UInt32 n = g_tempCounter.fetch_add(1, std::memory_order_relaxed);
  const Filename file =
      folder + String(("preview-" + std::to_string(GeGetTimer()) + "-" + std::to_string(n) + ".jpg").c_str());
  Bool ok = GeSaveBitmap(bmp, file, SAVEBITMAP_JPEG, quality) && ReadWholeFile(file, data, size);
  GeDelete(file);
  return ok;
}

} // namespace

BackgroundPrefs ReadBackgroundPrefs()
{
  BackgroundPrefs p;
  const BaseContainer* prefs = GeGetPrefs();
  const BaseContainer* b = prefs ? prefs->GetContainerInstance(BROWSER_PREFS_ID) : nullptr;
  if (b) {
    p.on = b->GetInt32(BROWSER_PREF_BACKGROUND_PREVIEWS, 1) != 0;
    p.highQuality = b->GetInt32(BROWSER_PREF_HIGH_QUALITY, 0) != 0;
    // Zero or less would make every render fail and mark it failed for good.
    p.limitSeconds = ReadWhole(b, BROWSER_PREF_TIME_LIMIT, 30, 1, 3600);
    p.width = ReadWhole(b, BROWSER_PREF_PREVIEW_WIDTH, 256, 128, 1024);
    p.height = ReadWhole(b, BROWSER_PREF_PREVIEW_HEIGHT, 256, 128, 1024);
    p.jpegQuality = ReadWhole(b, BROWSER_PREF_JPEG_QUALITY, 90, 1, 100);
  }
  std::lock_guard g(g_prefsLock);
  g_prefs = p;
  return p;
}

BackgroundPrefs GetBackgroundPrefs()
{
  std::lock_guard g(g_prefsLock);
  return g_prefs;
}

void InitBackgroundTasks()
{
  g_head = nullptr;
  if (!g_listLock.load(std::memory_order_acquire))
    g_listLock.store(new (std::nothrow) Lock, std::memory_order_release);
  // The settings are read by every Wake, on the main thread, as the user may change them.
  std::lock_guard g(g_prefsLock);
  g_prefs = BackgroundPrefs{};
}

void FreeBackgroundTasks()
{
  Lock* l = g_listLock.load(std::memory_order_acquire);
  if (!l)
    return;
  {
    std::lock_guard g(*l);
    // Windows end their workers before this; whatever is left only forgets the list.
    for (BGThread* t = g_head; t;) {
      BGThread* next = t->next_;
      t->prev_ = t->next_ = nullptr;
      t->linked_ = false;
      t = next;
    }
    g_head = nullptr;
  }
  g_listLock.store(nullptr, std::memory_order_release);
  delete l;
}

Int32 BackgroundTaskCount()
{
  Lock* l = g_listLock.load(std::memory_order_acquire);
  if (!l)
    return 0;
  std::lock_guard g(*l);
  Int32 n = 0;
  for (BGThread* t = g_head; t; t = t->next_)
    ++n;
  return n;
}

Int32 DropVanishedFileRecords(BrowserDatabase* main, Bool onlyWhenCompacting)
{
  if (!main || main->IsReadOnly())
    return 0;
  if (onlyWhenCompacting) {
    const Int64 dead = main->GetDeadBytes();
    if (!main->WantsCompaction() && dead <= main->GetEndOffset() - dead)
      return 0;
  }
  std::vector<BrowserDatabase::ItemInfo> items;
  main->ListItems(&items);
  Int32 dropped = 0;
  for (const BrowserDatabase::ItemInfo& info : items) {
    if (info.id < 1 || !info.path.StartsWith("file:/"))
      continue;
    BrowserURL url(info.path);
    const Filename file = url.GetFilename();
    // A file of a volume that is not mounted now is not gone.
    if (!file.Content() || GeFileExists(file) || GeFileExists(file, true) || !GeFolderExists(file.GetDirectory()))
      continue;
    Bool previewsOnly = false;
    {
      OpenedItem item;
      item.Reset(main->OpenItem(info.path, url.GetHash()));
      if (!item.Get() || item.Get()->IsFolder())
        continue;
      const Int32 flags = item.Get()->GetItemFlags();
      previewsOnly = item.Get()->GetAnnotation().IsEmpty() &&
                     (item.Get()->GetPreviewCount() > 0 ||
                      (flags & (dbitem::kRenderFailedFlag | dbitem::kNoPictureFlag)) != 0);
    }
    if (previewsOnly && main->DeleteItem(info.path))
      ++dropped;
  }
  return dropped;
}

void FitPreviewSize(Int32 width, Int32 height, Int32 boxWidth, Int32 boxHeight, Int32* outWidth, Int32* outHeight)
{
  *outWidth = width;
  *outHeight = height;
  if (width <= 0 || height <= 0 || boxWidth <= 0 || boxHeight <= 0 || (width <= boxWidth && height <= boxHeight))
    return;
  const double s = std::min(double(boxWidth) / width, double(boxHeight) / height);
  *outWidth = std::clamp(Int32(std::lround(width * s)), 1, boxWidth);
  *outHeight = std::clamp(Int32(std::lround(height * s)), 1, boxHeight);
}

BaseBitmap* ScaleToPreview(const BaseBitmap& bitmap, Int32 boxWidth, Int32 boxHeight)
{
  Int32 w = 0, h = 0;
  FitPreviewSize(bitmap.GetWidth(), bitmap.GetHeight(), boxWidth, boxHeight, &w, &h);
  if (w == bitmap.GetWidth() && h == bitmap.GetHeight())
    return bitmap.GetClone();
  return GeScaleBitmap(bitmap, w, h);
}

// --- the worker ---

BGThread::BGThread()
{
  if (Lock* l = g_listLock.load(std::memory_order_acquire)) {
    std::lock_guard g(*l);
    next_ = g_head;
    if (g_head)
      g_head->prev_ = this;
    g_head = this;
    linked_ = true;
  }
}

BGThread::~BGThread()
{
  // The worker reads every member below: it ends before anything goes.
  Stop();
  if (Lock* l = g_listLock.load(std::memory_order_acquire)) {
    std::lock_guard g(*l);
    if (linked_) {
      if (prev_)
        prev_->next_ = next_;
      else
        g_head = next_;
      if (next_)
        next_->prev_ = prev_;
      linked_ = false;
    }
  }
  queue_.Clear();
}

BGThread* BGThread::Current() { return t_current; }

void BGThread::SetTarget(ContentList* list)
{
  std::lock_guard g(lock_);
  if (list == target_)
    return;
  target_ = list;
  targetChanged_ = true;
}

Bool BGThread::PushFolder(const NodeRef& folder, Int32 flags) { return queue_.PushFolder(folder, flags); }
Bool BGThread::PushItem(const NodeRef& node) { return queue_.PushItem(node); }

Bool BGThread::HasWorkLocked()
{
  if (targetChanged_ || !queue_.IsEmpty())
    return true;
  return target_ && target_->GetSnapshot() != snapshot_;
}

void BGThread::Wake()
{
  limitMs_.store(ReadBackgroundPrefs().limitSeconds * 1000, std::memory_order_release);
  std::unique_lock l(lock_);
  stopRequested_.store(0, std::memory_order_release);
  if (!HasWorkLocked())
    return;
  pending_ = true;
  if (alive_) {
    wake_.notify_one();
    return;
  }
  l.unlock();
  // A run that decided to end may not have left its host thread yet; a start now would be refused.
  Wait();
  l.lock();
  alive_ = true;
  idle_.store(0, std::memory_order_release);
  l.unlock();
  if (StartWorker())
    return;
  l.lock();
  // Nothing is left half-started: the next Wake tries again.
  alive_ = false;
  pending_ = false;
  idle_.store(1, std::memory_order_release);
  idleCv_.notify_all();
  l.unlock();
  GePrint(String("Content Browser: the preview thread could not be started"));
}

void BGThread::StopNoWait()
{
  stopRequested_.store(1, std::memory_order_release);
  queue_.Clear();
}

void BGThread::Stop()
{
  stopRequested_.store(1, std::memory_order_release);
  // The break flag first, then the notice under the lock: a worker about to wait sees one of them.
  End(false);
  {
    std::lock_guard g(lock_);
    wake_.notify_all();
  }
  Wait();
  {
    std::lock_guard g(lock_);
    alive_ = false;
    pending_ = false;
  }
  idle_.store(1, std::memory_order_release);
  queue_.Clear();
}

Bool BGThread::StopAsked() const { return stopRequested_.load(std::memory_order_acquire) != 0 || TestBaseBreak(); }

Bool BGThread::TestBreak()
{
  if (StopAsked())
    return true;
  if (!timing_.load(std::memory_order_acquire))
    return false;
  const Int32 elapsed = GeGetTimer() - renderStart_.load(std::memory_order_acquire);
  if (elapsed <= limitMs_.load(std::memory_order_acquire))
    return false;
  timedOut_.store(1, std::memory_order_release);
  return true;
}

void BGThread::BeginTiming()
{
  timedOut_.store(0, std::memory_order_release);
  renderStart_.store(GeGetTimer(), std::memory_order_release);
  timing_.store(1, std::memory_order_release);
}

Bool BGThread::EndTiming()
{
  const Int32 elapsed = GeGetTimer() - renderStart_.load(std::memory_order_acquire);
  timing_.store(0, std::memory_order_release);
  return timedOut_.load(std::memory_order_acquire) != 0 || elapsed > limitMs_.load(std::memory_order_acquire);
}

Bool BGThread::IsIdle() const
{
  std::lock_guard g(lock_);
  return !alive_ || (idle_.load(std::memory_order_acquire) && !pending_);
}

Bool BGThread::WaitIdle(Int32 timeoutMs)
{
  std::unique_lock l(lock_);
  return idleCv_.wait_for(l, std::chrono::milliseconds(timeoutMs),
                          [&] { return !alive_ || (idle_.load(std::memory_order_acquire) && !pending_); });
}

void BGThread::DeliverChanges()
{
  for (const NodeRef& n : changes_.Take())
    NotifyNodeChanged(n);
}

BGThread::Counts BGThread::GetCounts() const
{
  Counts c;
  c.served = served_.load();
  c.rendered = renderedCount_.load();
  c.stored = stored_.load();
  c.failed = failed_.load();
  c.noPicture = noPicture_.load();
  return c;
}

void BGThread::Main()
{
  t_current = this;
  for (;;) {
    {
      std::unique_lock l(lock_);
      while (!pending_ && !TestBaseBreak()) {
        idle_.store(1, std::memory_order_release);
        idleCv_.notify_all();
        wake_.wait(l);
      }
      if (TestBaseBreak()) {
        alive_ = false;
        pending_ = false;
        idle_.store(1, std::memory_order_release);
        idleCv_.notify_all();
        break;
      }
      pending_ = false;
      idle_.store(0, std::memory_order_release);
      rendered_.store(0, std::memory_order_release);
    }
    if (!GetBackgroundPrefs().on)
      continue;
    while (RunPasses() == Outcome::Restart) {
    }
    // A stop abandons the work; the worker then waits for the next Wake.
    stopRequested_.store(0, std::memory_order_release);
  }
  // The fetched references go with the run.
  entries_.clear();
  entryFlags_.clear();
  stamps_.clear();
  t_current = nullptr;
}

Bool BGThread::Fetch()
{
  std::vector<NodeRef, orx::HostAllocator<NodeRef>> old;
  old.swap(entries_);
  entryFlags_.clear();
  std::vector<EntryStamp, orx::HostAllocator<EntryStamp>> oldStamps;
  oldStamps.swap(stamps_);
  std::lock_guard g(lock_);
  targetChanged_ = false;
  fetchedValid_ = false;
  if (!target_) {
    snapshot_ = {};
    return false;
  }
  std::shared_lock rl(target_->GetLock());
  const Int32 n = target_->CountLocked();
  try {
    entries_.reserve(std::size_t(n));
    entryFlags_.reserve(std::size_t(n));
    const ContentListEntry* e = target_->Entries();
    for (Int32 i = 0; i < n; ++i) {
      entries_.push_back(e[i].node);
      entryFlags_.push_back(e[i].flags);
    }
    // old still holds its nodes: the same address is the same node.
    stamps_.resize(std::size_t(n));
    const std::size_t same = std::min(old.size(), oldStamps.size());
    for (std::size_t i = 0; i < same && i < std::size_t(n); ++i)
      if (old[i].Get() == entries_[i].Get())
        stamps_[i] = oldStamps[i];
  } catch (...) {
    entries_.clear();
    entryFlags_.clear();
    stamps_.clear();
  }
  fetched_ = snapshot_ = target_->SnapshotLocked();
  fetchedValid_ = true;
  return true;
}

Bool BGThread::SnapshotChanged() const
{
  std::lock_guard g(lock_);
  if (targetChanged_)
    return true;
  if (!target_)
    return fetchedValid_;
  return target_->GetSnapshot() != fetched_;
}

BackgroundPrefs BGThread::WantedPrefs() const
{
  BackgroundPrefs prefs = GetBackgroundPrefs();
  if (const Int32 w = ownWidth_.load(std::memory_order_acquire), h = ownHeight_.load(std::memory_order_acquire); w > 0 && h > 0) {
    prefs.width = w;
    prefs.height = h;
  }
  return prefs;
}

BGThread::Outcome BGThread::RunPasses()
{
  Fetch();
  passPrefs_ = WantedPrefs();
  const Int32 n = Int32(entries_.size());
  if (n > 0) {
    const ContentListSnapshot s = fetched_;
    // The list may have shrunk below the range the view set last.
    const Bool anyVisible = s.lastVisible >= 0 && s.firstVisible < n;
    const Int32 lo = std::clamp(s.firstVisible, 0, n - 1);
    const Int32 hi = std::clamp(s.lastVisible, 0, n - 1);
    for (Int32 pass = 1; pass <= 3; ++pass) {
      if (pass < 3 && !anyVisible)
        continue;
      const Int32 from = pass < 3 ? lo : 0;
      const Int32 to = pass < 3 ? hi : n - 1;
      for (Int32 i = from; i <= to; ++i) {
        if (pass == 1 && !(entryFlags_[std::size_t(i)] & CONTENTENTRY_SELECTED))
          continue;
        if (StopAsked())
          return Outcome::Stopped;
        if (SnapshotChanged())
          return Outcome::Restart;
        Serve(entries_[std::size_t(i)], forceTarget_.load(std::memory_order_acquire),
              stamps_.size() == entries_.size() ? &stamps_[std::size_t(i)] : nullptr);
      }
    }
  }
  for (;;) {
    if (StopAsked())
      return Outcome::Stopped;
    if (SnapshotChanged())
      return Outcome::Restart;
    BGWork w;
    if (!queue_.Next(&w))
      break;
    Serve(w.node, (w.flags & BGFLAG_FORCED) != 0);
  }
  return SnapshotChanged() ? Outcome::Restart : Outcome::Done;
}

void BGThread::Serve(const NodeRef& node, Bool forced, EntryStamp* stamp)
{
  served_.fetch_add(1, std::memory_order_relaxed);
  if (!node || (node->GetStatus() & (NODESTATUS_FOLDER | NODESTATUS_DELETED | NODESTATUS_NOHANDLER)))
    return;
  // Read before the lookup: a change of a record during it makes the stamp old at once.
  const UInt32 records = BrowserDatabase::GetRecordsGeneration();
  if (stamp && stamp->valid && !forced && stamp->records == records && stamp->width == passPrefs_.width &&
      stamp->height == passPrefs_.height && stamp->highQuality == passPrefs_.highQuality) {
    DateTime t;
    node->GetFileTime(FILETIME_MODIFIED, &t);
    if (stamp->date == dbitem::PackDate(t) && stamp->time == dbitem::PackTime(t))
      return;
  }
  if (stamp)
    stamp->valid = false;
  BrowserURL url;
  if (!node->GetURL(&url, 0))
    return;
  const String& text = url.GetStringRef();
  // Pinned: the main thread may close the library while its preview is made here.
  LibraryPin db = BrowserDatabase::PinLibraryForURL(text);
  if (!db)
    return;
  OpenedItem item;
  item.Reset(db->OpenItem(text, url.GetHash()));
  // Files on disk get a record in the main database once they have a preview; presets have one.
  if (!item.Get() && !text.StartsWith("file:/"))
    return;
  lastCurrent_.valid = false;
  ProcessItem(db.Get(), item.Get(), node, url, forced);
  if (stamp && lastCurrent_.valid) {
    *stamp = lastCurrent_;
    stamp->records = records;
  }
}

Bool BGThread::StorePreview(BrowserDatabase* db, BrowserDatabaseItem*& item, const NodeRef&, const BrowserURL& url,
                            const BaseBitmap& bitmap, Int32 imageId, Int32 quality, const DateTime& time,
                            Int32 jpegQuality)
{
  void* jpeg = nullptr;
  Int64 size = 0;
  if (!EncodeJpeg(bitmap, jpegQuality, &jpeg, &size))
    return false;
  if (!item) {
    BrowserURL u = url;
    item = db->OpenOrCreateItem(u.GetStringRef(), u.GetHash());
  }
  const Bool ok = item && item->AddPreview(imageId, jpeg, size, quality, time, bitmap.GetWidth(), bitmap.GetHeight());
  OrxMemFree(jpeg);
  return ok;
}

Bool BGThread::ProcessItem(BrowserDatabase* db, BrowserDatabaseItem* item, const NodeRef& node, const BrowserURL& url,
                           Bool forced)
{
  if (!db || !node)
    return false;
  const BackgroundPrefs prefs = WantedPrefs();
  DateTime nodeTime;
  node->GetFileTime(FILETIME_MODIFIED, &nodeTime);
  // What the answer "nothing to do" below rests on, besides the record.
  const auto upToDate = [&] {
    lastCurrent_.date = dbitem::PackDate(nodeTime);
    lastCurrent_.time = dbitem::PackTime(nodeTime);
    lastCurrent_.width = prefs.width;
    lastCurrent_.height = prefs.height;
    lastCurrent_.highQuality = prefs.highQuality;
    lastCurrent_.valid = true;
    return false;
  };

  const Int32 flags = item ? item->GetItemFlags() : 0;
  if ((flags & (dbitem::kRenderFailedFlag | dbitem::kRenderPendingFlag)) && !forced)
    return upToDate();
  if (item && (flags & dbitem::kNoPictureFlag) && !forced) {
    DateTime t;
    if (item->GetTime(1, &t) && SameTime(t, nodeTime))
      return upToDate();
  }

  // The picture's own size holds for the state of the content it was taken from.
  PictureInfo own;
  DateTime itemTime;
  const Bool hasOwnRecord = item && item->GetPictureInfo(&own) && own.width > 0 && own.height > 0;
  const Bool hasOwn = hasOwnRecord && item->GetTime(1, &itemTime) && SameTime(itemTime, nodeTime);
  Int32 wantW = prefs.width, wantH = prefs.height;
  if (hasOwn) {
    wantW = std::min(wantW, own.width);
    wantH = std::min(wantH, own.height);
  }
  const Int32 wantQ = hasOwn && own.quality > 0 ? own.quality : (prefs.highQuality ? 4 : 1);

  // Previews of another state of the content are replaced, not dropped: they go only once a new
  // one is stored, so that a failed render leaves the old picture.
  std::vector<Int32> replaced;
  Int32 nextId = 0;
  Int32 storedQualities = 0;
  const Int32 count = item ? item->GetPreviewCount() : 0;
  for (Int32 i = 0; i < count; ++i) {
    PreviewInfo info;
    if (!item->GetPreviewInfo(i, &info))
      continue;
    nextId = std::max(nextId, info.imageId + 1);
    const Bool current = SameTime(info.time, nodeTime);
    const Bool largeEnough = info.a >= wantW || info.b >= wantH;
    if (current && largeEnough) {
      if (!forced && info.quality >= wantQ)
        return upToDate();
      if (!forced)
        storedQualities |= info.quality;
    }
    if (!current || !largeEnough || forced)
      replaced.push_back(info.imageId);
  }
  if (db->IsReadOnly() || db->IsWriteProtectedByDamage())
    return false; // nothing rendered could be kept

  BrowserPluginInterface* handler = node->GetPluginInterface(0);
  if (!handler)
    return false;
  rendered_.store(1, std::memory_order_release);

  OpenedItem made;
  BrowserDatabaseItem* target = item;
  Int32 newFlags = flags & ~(dbitem::kRenderFailedFlag | dbitem::kRenderPendingFlag | dbitem::kNoPictureFlag);
  Bool stored = false, noPicture = false, failed = false;

  Int32 qualities = 0;
  BrowserURL urlCopy = url;
  BeginTiming();
  void* data = handler->OpenPreviewData(0, node, &urlCopy, &qualities);
  if (EndTiming()) {
    failed = true;
  } else if (!data) {
    // Sounds, scripts and the like: nothing to show but their icon, which is not stored.
    noPicture = true;
  } else {
    Int32 q = qualities & 0xF;
    if (!prefs.highQuality && (q & 3))
      q &= 3;
    q &= ~storedQualities;
    for (Int32 code = 1; code <= 8; code <<= 1) {
      if (!(q & code))
        continue;
      renderedCount_.fetch_add(1, std::memory_order_relaxed);
      BeginTiming();
      BaseBitmap* bmp = handler->GetPreviewBitmap(data, wantW, wantH, code);
      const Bool over = EndTiming();
      if (over) {
        delete bmp;
        failed = true;
        break;
      }
      if (!bmp) {
        // The content holds no picture the handler can read (damaged, or a movie of sound alone).
        noPicture = !stored;
        break;
      }
      if (bmp->GetWidth() <= 1 && bmp->GetHeight() <= 1) {
        delete bmp;
        noPicture = true;
        break;
      }
      const Bool small = bmp->GetWidth() < wantW && bmp->GetHeight() < wantH;
      PictureInfo picture;
      const Bool keepOwn = small || (qualities & PREVIEWQUALITY_OWN_SIZE);
      if (keepOwn) {
        picture.width = bmp->GetWidth();
        picture.height = bmp->GetHeight();
        picture.depth = 8;
        picture.alpha = bmp->GetChannels() == 4;
      }
      BaseBitmap* preview = ScaleToPreview(*bmp, wantW, wantH);
      delete bmp;
      if (!preview)
        break;
      if (!StorePreview(db, target, node, url, *preview, nextId, code, nodeTime, prefs.jpegQuality)) {
        delete preview;
        break;
      }
      if (target != item)
        made.Reset(target);
      if (keepOwn || hasOwnRecord)
        target->SetPictureInfo(picture);
      const UInt32 itemId = UInt32(target->GetId());
      db->CacheRemove(itemId, UInt32(nextId));
      if (!db->CacheAddOwned(itemId, UInt32(nextId), preview, false))
        delete preview;
      ++nextId;
      stored = true;
      stored_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  if (data)
    handler->FreePreviewData(data);

  if (stored) {
    for (Int32 id : replaced)
      target->RemovePreview(id);
    // Only the quick match may have guessed the type: the record keeps the one it has.
    if (target->GetType() == 0)
      target->SetType(handler->GetPluginID(nullptr));
    target->SetTime(1, nodeTime);
    if (target->GetItemFlags() != newFlags)
      target->SetItemFlags(newFlags);
    changes_.Add(node);
  } else if (failed) {
    failed_.fetch_add(1, std::memory_order_relaxed);
    if (item)
      item->SetItemFlags(newFlags | dbitem::kRenderFailedFlag);
  } else if (noPicture) {
    noPicture_.fetch_add(1, std::memory_order_relaxed);
    if (item) {
      item->SetItemFlags(newFlags | dbitem::kNoPictureFlag);
      item->SetTime(1, nodeTime);
    }
  }
  return true;
}
