// A handler whose pictures are made to order, nodes with a modification time of their own, and a
// content fixture with the background task list.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "contenttest.h"
#include "contenttree/sortby.h"
#include "previews/bgthread.h"

namespace previewtest {

constexpr Int32 kFakeHandlerId = 1099001;

class FakeHandler : public BrowserPluginInterface
{
public:
  Int32 GetPluginID(String* name) override
  {
    if (name)
      *name = String("fake pictures");
    return kFakeHandlerId;
  }
  Bool Identify(BrowserURL&, const void*, Int32, Int32) override { return false; }
  String* GetTypeName(String* out, NodeRef, BrowserURL*, Int32) override
  {
    *out = String("fake");
    return out;
  }
  void* OpenPreviewData(Int32, NodeRef node, BrowserURL*, Int32* qualities) override
  {
    opened.fetch_add(1);
    {
      std::lock_guard g(orderLock);
      order.push_back(node ? node->GetName().ToUtf8() : std::string());
    }
    if (onOpen)
      onOpen(node);
    if (noData.load())
      return nullptr;
    if (qualities)
      *qualities = 1;
    return this;
  }
  void FreePreviewData(void* data) override
  {
    if (data)
      freed.fetch_add(1);
  }
  BaseBitmap* GetPreviewBitmap(void*, Int32 width, Int32 height, Int32) override
  {
    lastBox.store(width * 10000 + height);
    if (slowMs.load() > 0) {
      // A render that polls its worker, as a renderer does.
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(slowMs.load());
      while (std::chrono::steady_clock::now() < until) {
        if (BGThread* t = worker ? worker : BGThread::Current(); t && t->TestBreak()) {
          brokeOff.fetch_add(1);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    if (failBitmap.load())
      return nullptr;
    auto* b = new BaseBitmap;
    if (!b->Init(pictureW.load(), pictureH.load())) {
      delete b;
      return nullptr;
    }
    return b;
  }
  BaseBitmap* GetIcon(NodeRef, BrowserURL*, Int32) override { return nullptr; }
  PreviewDialog* CreatePreviewDialog(NodeRef, Int32) override { return nullptr; }
  String* GetTypeNames(Int32, Int32* count) override { return MakeTypeNames(String("fake"), count); }

  std::vector<std::string> Order()
  {
    std::lock_guard g(orderLock);
    return order;
  }
  void ClearOrder()
  {
    std::lock_guard g(orderLock);
    order.clear();
  }

  std::atomic<Int32> opened{0}, freed{0}, brokeOff{0}, lastBox{0};
  std::atomic<Int32> pictureW{300}, pictureH{200};
  std::atomic<Int32> slowMs{0};
  std::atomic<bool> noData{false}, failBitmap{false};
  BGThread* worker = nullptr; // polled instead of the calling thread's worker
  std::function<void(const NodeRef&)> onOpen;
  std::mutex orderLock;
  std::vector<std::string> order;
};

// A file or preset that is not in any tree: its URL, time and handler are the test's.
class PicNode : public BrowserContentNode
{
public:
  PicNode(std::string name, std::string url, BrowserPluginInterface* handler)
    : name_(name.c_str()), url_(String(url.c_str())), handler_(handler)
  {
    SetTime(1);
  }
  Int32 GetNodeType() override { return NODETYPE_DIRECTORY; }
  BrowserPluginInterface* GetPluginInterface(UInt32) override { return handler_; }
  String GetName() override { return name_; }
  const String* GetNameRef() override { return &name_; }
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    *out = url_;
    return true;
  }
  Bool GetFileTime(Int32 which, DateTime* out) override
  {
    if (which != FILETIME_MODIFIED)
      return false;
    const Int32 m = minute_.load();
    *out = DateTime{2026, 3, 4, 10, UInt16(m / 60), UInt16(m % 60)};
    return true;
  }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }
  // A new modification time (seconds after 10:00).
  void SetTime(Int32 seconds) { minute_.store(seconds); }

private:
  String name_;
  BrowserURL url_;
  BrowserPluginInterface* handler_;
  std::atomic<Int32> minute_{1};
};

inline std::string FileURL(const std::string& name) { return "file:///pictures/" + name; }

inline void SetBrowserPref(Int32 id, const GeData& value)
{
  BaseContainer* prefs = GeGetPrefs();
  BaseContainer* b = prefs->GetContainerInstance(BROWSER_PREFS_ID);
  if (!b)
    b = prefs->SetContainer(BROWSER_PREFS_ID, BaseContainer(BROWSER_PREFS_ID));
  b->SetData(id, value);
}

class PreviewTest : public contenttest::ContentTest
{
protected:
  void SetUp() override
  {
    // The settings live as long as the host: made before the memory count starts.
    GeGetPrefs()->SetContainer(BROWSER_PREFS_ID, BaseContainer(BROWSER_PREFS_ID));
    ContentTest::SetUp();
    InitBackgroundTasks();
    Start();
  }
  void TearDown() override
  {
    FreeBackgroundTasks();
    GeGetPrefs()->SetContainer(BROWSER_PREFS_ID, BaseContainer(BROWSER_PREFS_ID));
    ContentTest::TearDown();
  }
  BrowserDatabase* Main() { return BrowserDatabase::GetLibrary(0); }
  // The stored previews of a URL in its library (empty when it has no record).
  std::vector<PreviewInfo> Previews(const std::string& url, Int32* flags = nullptr, Int32* type = nullptr)
  {
    std::vector<PreviewInfo> out;
    BrowserURL u{String(url.c_str())};
    BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(u.GetStringRef());
    if (flags)
      *flags = -1;
    if (!db)
      return out;
    ItemHandle item(db->OpenItem(u.GetStringRef(), u.GetHash()));
    if (!item)
      return out;
    if (flags)
      *flags = item->GetItemFlags();
    if (type)
      *type = item->GetType();
    for (Int32 i = 0; i < item->GetPreviewCount(); ++i) {
      PreviewInfo p;
      if (item->GetPreviewInfo(i, &p))
        out.push_back(p);
    }
    return out;
  }
  Bool Process(BGThread& t, const NodeRef& node, Bool forced = false)
  {
    BrowserURL u;
    node->GetURL(&u, 0);
    BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(u.GetStringRef());
    BrowserDatabaseItem* item = db ? db->OpenItem(u.GetStringRef(), u.GetHash()) : nullptr;
    const Bool asked = t.ProcessItem(db, item, node, u, forced);
    if (item)
      item->Close();
    return asked;
  }

  FakeHandler handler;
};

} // namespace previewtest
