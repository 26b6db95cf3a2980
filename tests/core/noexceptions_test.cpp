// No exception leaves the module: the published table answers failure when memory runs out or when
// a handler, node or node factory of another plug-in throws.
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "contenttest.h"
#include "core/calltable.h"
#include "handlertest.h"
#include "treetest.h"

using namespace contenttest;

namespace {

OrxBrowserURL* O(BrowserURL& u) { return reinterpret_cast<OrxBrowserURL*>(&u); }
OrxBrowserNode* O(const NodeRef& n) { return reinterpret_cast<OrxBrowserNode*>(n.Get()); }
OrxBrowserHandler* O(BrowserPluginInterface* h) { return reinterpret_cast<OrxBrowserHandler*>(h); }

class NoExceptions : public ContentTest
{
protected:
  void SetUp() override
  {
    ContentTest::SetUp();
    // A preset type without a handler: its type name is found through its URL, which takes memory
    // (the built-in handlers' short names fit in the strings themselves).
    ASSERT_TRUE(MakeLibrary(UserFolder() + String("memory.libqz"), "preset://memory.libqz",
                            {{"Folder", true},
                             {"Folder/Existing preset", false, "bytes", 0x7fffffff, "Shown name", 4244}}));
    Start();
    ASSERT_TRUE(LoadLibraries(true));
    lib_ = GetBrowserLibrary();
    index_ = BrowserDatabase::FindLibraryForURL(String("preset://memory.libqz"))->GetSlot();
  }

  const OrxBrowserLibrary* lib_ = nullptr;
  Int32 index_ = -1;
};

// Host allocations throw bad_alloc from inside the host's strings and the module's containers.
TEST_F(NoExceptions, EntriesAnswerFailureWhenMemoryRunsOut)
{
  BrowserURL existing(String("preset://memory.libqz/Folder/Existing preset"));
  BrowserURL fresh(String("preset://memory.libqz/Folder/A preset made while memory ran out"));
  NodeRef preset = Find("preset://memory.libqz/Folder/Existing preset");
  ASSERT_TRUE(preset);
  // Made before memory runs out: only the entries are to meet it.
  const String name("A name longer than the short-string buffer");
  struct Case
  {
    const char* entry;
    std::function<bool()> failed; // calls the entry; true when it answered failure
  };
  const std::vector<Case> cases = {
      {"SetItem", [&] { return !lib_->main->SetItem(index_, O(fresh), 1018031, nullptr, "data", 4); }},
      {"SetItemName", [&] { return !lib_->main->SetItemName(index_, O(existing), 0, &name); }},
      {"GetItemName",
       [&] {
         String out;
         return !lib_->main->GetItemName(index_, O(existing), 0, &out);
       }},
      {"GetNode", [&] { return lib_->main->GetNode(O(existing), BROWSER_GETNODE_EXACT, nullptr) == nullptr; }},
      {"CreateItemIterator",
       [&] {
         OrxBrowserItemIterator* it = lib_->main->CreateItemIterator(index_);
         lib_->main->FreeItemIterator(it);
         return it == nullptr;
       }},
      {"LibraryItemExists", [&] { return !lib_->main->LibraryItemExists(O(fresh)); }},
      {"content GetName",
       [&] {
         String out;
         return !lib_->content->GetName(O(preset), &out);
       }},
      {"content GetTypeName",
       [&] {
         String out;
         return !lib_->content->GetTypeName(O(preset), &out, 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    bool failed = false;
    Int64 refused = 0;
    {
      orxtest::HostMemoryFails noMemory;
      EXPECT_NO_THROW(failed = c.failed());
      refused = noMemory.Refused();
    }
    EXPECT_GT(refused, 0) << "the entry never asked for memory";
    EXPECT_TRUE(failed) << "answered success without memory";
  }
  // The module goes on once memory is back.
  EXPECT_TRUE(lib_->main->SetItem(index_, O(fresh), 1018031, nullptr, "data", 4));
  EXPECT_TRUE(Find("preset://memory.libqz/Folder/A preset made while memory ran out"));
}

// Memory running out at every single allocation of an entry in turn: never an exception, and the
// library still reads and writes afterwards.
TEST_F(NoExceptions, EveryAllocationOfAnEntryMayFail)
{
  BrowserURL existing(String("preset://memory.libqz/Folder/Existing preset"));
  BrowserURL below(String("PRESET://MEMORY.LIBQZ/folder/existing preset/below"));
  // Each call gets a URL of its own, made before memory runs out.
  const std::vector<std::pair<const char*, std::function<void(BrowserURL&)>>> entries = {
      {"SetItem", [&](BrowserURL& url) { lib_->main->SetItem(index_, O(url), 1018031, nullptr, "data", 4); }},
      {"CopyItem", [&](BrowserURL& url) { lib_->main->CopyItem(O(existing), O(url)); }},
      {"GetNode",
       [&](BrowserURL&) {
         if (OrxBrowserNode* n = lib_->main->GetNode(O(below), BROWSER_GETNODE_DEEPEST, nullptr))
           lib_->header.releaseNode(n);
       }},
  };
  for (const auto& [entry, call] : entries) {
    SCOPED_TRACE(entry);
    Int32 n = 1;
    for (; n < 500; ++n) {
      BrowserURL url(String(("preset://memory.libqz/Folder/" + std::string(entry) + " at allocation " +
                             std::to_string(n)).c_str()));
      Int64 refused = 0;
      {
        orxtest::HostMemoryFails noMemory(n);
        EXPECT_NO_THROW(call(url)) << "allocation " << n;
        refused = noMemory.Refused();
      }
      if (refused == 0)
        break;
    }
    EXPECT_GT(n, 1) << "the entry never asked for memory";
    EXPECT_LT(n, 500);
  }
  BrowserURL url(String("preset://memory.libqz/Folder/After the faults"));
  EXPECT_TRUE(lib_->main->SetItem(index_, O(url), 1018031, nullptr, "data", 4));
  EXPECT_TRUE(Find("preset://memory.libqz/Folder/After the faults"));
}

// A handler of another plug-in that throws from every operation.
class ThrowingHandler : public handlertest::TestHandler
{
public:
  ThrowingHandler() : TestHandler(77, "throw", "THROW") {}
  Int32 GetPluginID(String*) override { throw std::bad_alloc(); }
  Bool Identify(BrowserURL&, const void*, Int32, Int32) override { throw std::bad_alloc(); }
  String* GetTypeName(String*, NodeRef, BrowserURL*, Int32) override { throw std::bad_alloc(); }
  void* OpenPreviewData(Int32, NodeRef, BrowserURL*, Int32*) override { throw std::bad_alloc(); }
  void FreePreviewData(void*) override { throw std::bad_alloc(); }
  BaseBitmap* GetPreviewBitmap(void*, Int32, Int32, Int32) override { throw std::bad_alloc(); }
  BaseBitmap* GetIcon(NodeRef, BrowserURL*, Int32) override { throw std::bad_alloc(); }
  PreviewDialog* CreatePreviewDialog(NodeRef, Int32) override { throw std::bad_alloc(); }
  Int32 DestroyPreviewDialog(NodeRef, PreviewDialog*) override { throw std::bad_alloc(); }
  Bool Execute(NodeRef, BrowserURL*, Int32) override { throw std::runtime_error("from a handler"); }
  String* GetTypeNames(Int32, Int32*) override { throw std::bad_alloc(); }
};

TEST_F(NoExceptions, ThrowingHandlerGetsFailureAnswers)
{
  ThrowingHandler handler;
  OrxBrowserHandler* h = O(&handler);
  const OrxBrowserHandlerTable* t = lib_->handler;
  BrowserURL url(String("file:///somewhere/file.throw"));
  NodeRef folder = Find("preset://memory.libqz/Folder");
  OrxBrowserNode* node = O(folder);
  String text;
  Int32 count = -1;
  EXPECT_NO_THROW(EXPECT_EQ(t->GetPluginID(h, &text), 0));
  EXPECT_NO_THROW(EXPECT_FALSE(t->Identify(h, O(url), "THROW", 5, 0)));
  EXPECT_NO_THROW(EXPECT_FALSE(t->GetTypeName(h, &text, node, O(url), 0)));
  EXPECT_NO_THROW(EXPECT_EQ(t->GetTypeNames(h, 0, &count), nullptr));
  EXPECT_EQ(count, 0);
  EXPECT_NO_THROW(EXPECT_EQ(t->OpenPreviewData(h, 0, node, O(url), nullptr), nullptr));
  EXPECT_NO_THROW(t->FreePreviewData(h, nullptr));
  EXPECT_NO_THROW(EXPECT_EQ(t->GetPreviewBitmap(h, nullptr, 16, 16, 0), nullptr));
  EXPECT_NO_THROW(EXPECT_EQ(t->GetIcon(h, node, O(url), 16), nullptr));
  EXPECT_NO_THROW(EXPECT_EQ(t->CreatePreviewDialog(h, node, 0), nullptr));
  EXPECT_NO_THROW(EXPECT_EQ(t->DestroyPreviewDialog(h, node, nullptr), 0));
  EXPECT_NO_THROW(EXPECT_FALSE(t->Execute(h, node, O(url), 0)));

  // Registered, it throws from inside the module's own matching.
  ASSERT_TRUE(lib_->main->RegisterPlugin(h, 1));
  OrxBrowserHandler* found = h;
  EXPECT_NO_THROW(EXPECT_FALSE(lib_->main->FindPluginForURL(O(url), true, &found)));
  EXPECT_EQ(found, nullptr);
  EXPECT_TRUE(lib_->main->UnregisterPlugin(h));
}

// A node whose every operation throws.
class ThrowingNode : public treetest::TestNode
{
public:
  ThrowingNode() : TestNode("thrower", NODESTATUS_FOLDER) {}
  Int32 GetNodeType() override { throw std::bad_alloc(); }
  BrowserPluginInterface* GetPluginInterface(UInt32) override { throw std::bad_alloc(); }
  String GetName() override { throw std::bad_alloc(); }
  Bool GetURL(BrowserURL*, UInt32) override { throw std::bad_alloc(); }
  Bool GetFileTime(Int32, DateTime*) override { throw std::bad_alloc(); }
  UInt32 GetInfo(Int64*) override { throw std::bad_alloc(); }
  BaseBitmap* GetIcon(UInt32, Int32) override { throw std::bad_alloc(); }
  Bool LoadChildren() override { throw std::bad_alloc(); }
  Int32 Message(Int32, Int32, Int32, void*) override { throw std::bad_alloc(); }
  Int32 Rename(Int32, const String&) override { throw std::bad_alloc(); }
  Int32 NewFolder(Int32, const String&, NodeRef*) override { throw std::bad_alloc(); }
  Int32 MoveHere(NodeRef, Int32, EditCallback, void*) override { throw std::bad_alloc(); }
  Int32 CopyHere(NodeRef, Int32, const String*, EditCallback, void*) override { throw std::bad_alloc(); }
  Int32 Delete(Int32, EditCallback, void*) override { throw std::bad_alloc(); }
  String* GetTypeName(String*, Int32) override { throw std::bad_alloc(); }
};

TEST_F(NoExceptions, ThrowingNodeGetsFailureAnswers)
{
  Ref<ThrowingNode> thrower = MakeRef<ThrowingNode>();
  NodeRef folder = Find("preset://memory.libqz/Folder");
  ASSERT_TRUE(thrower->InsertUnder(folder.Get()));
  OrxBrowserNode* n = reinterpret_cast<OrxBrowserNode*>(static_cast<BrowserContentNode*>(thrower.Get()));
  const OrxBrowserContentTable* t = lib_->content;
  String text("name");
  BrowserURL url;
  DateTime time{};
  Int64 size = -1;
  OrxBrowserNode* made = n;
  EXPECT_NO_THROW(EXPECT_EQ(t->GetNodeType(n), 0));
  EXPECT_NO_THROW(EXPECT_EQ(t->GetPluginInterface(n, 0), nullptr));
  EXPECT_NO_THROW(EXPECT_FALSE(t->GetName(n, &text)));
  EXPECT_NO_THROW(EXPECT_FALSE(t->GetURL(n, O(url), 0)));
  EXPECT_NO_THROW(EXPECT_FALSE(t->GetFileTime(n, FILETIME_MODIFIED, &time)));
  EXPECT_NO_THROW(EXPECT_EQ(t->GetInfo(n, &size), 0u));
  EXPECT_NO_THROW(EXPECT_EQ(t->GetIcon(n, 0, 16), nullptr));
  EXPECT_NO_THROW(EXPECT_FALSE(t->LoadChildren(n)));
  EXPECT_NO_THROW(EXPECT_EQ(t->Message(n, 1, 0, 0, nullptr), MESSAGE_NOT_HANDLED));
  EXPECT_NO_THROW(EXPECT_EQ(t->Rename(n, EDITPHASE_DO, &text), EDIT_RENAME_REFUSED));
  EXPECT_NO_THROW(EXPECT_EQ(t->NewFolder(n, EDITPHASE_DO, &text, &made), EDIT_NEWFOLDER_REFUSED));
  EXPECT_EQ(made, nullptr);
  lib_->header.addNodeReference(O(folder));
  EXPECT_NO_THROW(EXPECT_EQ(t->MoveHere(n, O(folder), EDITPHASE_DO, nullptr, nullptr), EDIT_MOVE_FAILED));
  lib_->header.addNodeReference(O(folder));
  EXPECT_NO_THROW(EXPECT_EQ(t->CopyHere(n, O(folder), EDITPHASE_DO, nullptr, nullptr, nullptr), EDIT_COPY_FAILED));
  EXPECT_NO_THROW(EXPECT_EQ(t->Delete(n, EDITPHASE_DO, nullptr, nullptr), EDIT_DELETE_REFUSED));
  EXPECT_NO_THROW(EXPECT_FALSE(t->GetTypeName(n, &text, 0)));

  // Nodes of the main table's walks and moves throw too.
  NodeRef preset = Find("preset://memory.libqz/Folder/Existing preset");
  OrxBrowserNode* moved[] = {O(preset)};
  EXPECT_NO_THROW(EXPECT_FALSE(lib_->main->MoveNodes(1, moved, n)));
  EXPECT_NO_THROW(lib_->main->NotifyNodeChanged(n));
  thrower->Remove();
}

TEST_F(NoExceptions, ThrowingNodeFactoryFailsAddLibraryNodes)
{
  static Int32 calls = 0;
  calls = 0;
  OrxBrowserNodeFactory factory = [](OrxBrowserNode*, OrxBrowserNode*, OrxBrowserURL*, Int32, Bool,
                                     void*) -> OrxBrowserNode* {
    ++calls;
    throw std::runtime_error("from a node factory");
  };
  NodeRef parent = Find("preset://memory.libqz");
  const String prefix("preset://memory.libqz");
  bool ok = true;
  EXPECT_NO_THROW(ok = lib_->main->AddLibraryNodes(index_, &prefix, O(parent), factory, nullptr));
  EXPECT_FALSE(ok);
  EXPECT_GT(calls, 0);
}

} // namespace
