// Lookups in a wide row while another thread adds, renames and removes its children: every answer
// is a child with the URL asked for, or none, and the index never hands out a freed node.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "treetest.h"

namespace {

class NamedNode : public BrowserContentNode
{
public:
  explicit NamedNode(std::string name) : name_(name.c_str()) {}
  Int32 GetNodeType() override { return NODETYPE_CATALOG; }
  String GetName() override
  {
    std::lock_guard l(lock_);
    return name_;
  }
  const String* GetNameRef() override { return nullptr; }
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    out->SetString(String("catalog://row/") + GetName());
    return true;
  }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }
  Bool NotifiesURLChanges() const override { return true; }
  void RenameTo(const std::string& name)
  {
    {
      std::lock_guard l(lock_);
      name_ = String(name.c_str());
    }
    URLChanged();
  }

private:
  SpinLock lock_;
  String name_;
};

class RootNode : public NamedNode
{
public:
  RootNode() : NamedNode("") {}
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    out->SetString(String("catalog://row"));
    return true;
  }
};

TEST(RowIndexThreads, LookupsWhileTheRowChanges)
{
  orxtest::NoLeaks noLeaks;
  Ref<BrowserContentTree> tree = MakeRef<BrowserContentTree>();
  Ref<RootNode> root = MakeRef<RootNode>();
  ASSERT_TRUE(root->InsertUnder(tree.Get()));
  std::vector<Ref<NamedNode>> kids;
  for (int i = 0; i < 200; ++i) {
    kids.push_back(MakeRef<NamedNode>("n" + std::to_string(i)));
    ASSERT_TRUE(kids.back()->InsertUnder(root.Get()));
  }
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0}, found{0}, lookups{0};
  std::thread reader([&] {
    for (int round = 0; !done.load(); ++round) {
      const std::string name = "n" + std::to_string(round % 260);
      const String given(("catalog://row/" + name).c_str());
      Int32 len = 0;
      NodeRef n = root->FindChildForURL(given.ToUpper(), given, &len);
      lookups.fetch_add(1);
      if (!n)
        continue;
      found.fetch_add(1);
      // A node found is one that bore the name at some moment: the writer only renames "nX" to "mX".
      const std::string now = n->GetName().ToUtf8();
      if (now != name && now != "m" + name.substr(1))
        wrong.fetch_add(1);
    }
  });
  // Changes go on until the reader has looked up enough, however the threads are scheduled.
  for (int step = 0; lookups.load() < 5000 && step < 50000000; ++step) {
    const int i = step % 200;
    switch (step % 3) {
      case 0: kids[std::size_t(i)]->RenameTo("m" + std::to_string(i)); break;
      case 1: kids[std::size_t(i)]->RenameTo("n" + std::to_string(i)); break;
      case 2:
        if (kids[std::size_t(i)]->Unlink(true))
          kids[std::size_t(i)]->InsertUnder(root.Get());
        break;
    }
  }
  done = true;
  reader.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(found.load(), 0);
  kids.clear();
  root->Remove();
  root = nullptr;
  tree = nullptr;
}

} // namespace
