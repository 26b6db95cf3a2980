// Fixture of the item progress tests: folders on disk shown by directory nodes, the user-interface
// model run headless on this thread, and the module's resource strings.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "contenttest.h"
#include "nodes/directorynode.h"
#include "progress/itemprogressdialog.h"
#include "progress/itemprogressthread.h"
#include "services/host.h"
#include "core/libraryregistry.h"
#include "ui/uimodel.h"

namespace progresstest {

namespace fs = std::filesystem;
namespace ui = orxhost::ui;

inline std::string P(const Filename& f) { return f.ToUtf8(); }

inline NodeRef ChildNamed(const NodeRef& dir, const std::string& name)
{
  dir->LoadChildren();
  for (NodeRef c = dir->GetDownNode(); c; c = c->GetNextNode())
    if (c->GetName().ToUtf8() == name)
      return c;
  return nullptr;
}

// Every file below root with its bytes, hidden names included: what a comparison of trees sees.
inline std::vector<std::pair<std::string, std::string>> Tree(const std::string& root)
{
  std::vector<std::pair<std::string, std::string>> out;
  std::error_code ec;
  if (!fs::exists(root, ec))
    return out;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it) {
    const std::string rel = it->path().string().substr(root.size());
    out.emplace_back(rel, it->is_regular_file() ? orxtest::ReadFile(Filename(String(it->path().string()))) : "/");
  }
  std::sort(out.begin(), out.end());
  return out;
}

class ProgressTest : public contenttest::ContentTest
{
protected:
  void SetUp() override
  {
    root_ = orxtest::TempDir();
    ui::BindMainThread();
    ui::Reset();
    ui::HeadlessScript() = ui::Script();
    const char* res = std::getenv("ORX_TEST_RES");
    ASSERT_TRUE(res && GeOpenResource(Filename(String(res)) + String("strings.txt")));
    ContentTest::SetUp();
  }
  void TearDown() override
  {
    orxhost::ClearFaults();
    orxhost::SetListingHook(nullptr, nullptr);
    ui::HeadlessScript() = ui::Script();
    ui::Reset();
    for (NodeRef& n : made_)
      n->Remove();
    made_.clear();
    ContentTest::TearDown();
  }
  NodeRef Folder(const std::string& rel)
  {
    const Filename f = rel.empty() ? root_ : root_ + String(rel.c_str());
    fs::create_directories(P(f));
    Ref<DirectoryNode> d = DirectoryNode::MakeForPath(f);
    made_.push_back(NodeRef(d.Get()));
    return NodeRef(d.Get());
  }
  std::string Path(const std::string& rel) const { return P(root_) + "/" + rel; }
  void Write(const std::string& rel, const std::string& bytes)
  {
    ASSERT_TRUE(orxtest::WriteFile(Filename(String(Path(rel).c_str())), bytes));
  }
  Filename root_;
  std::vector<NodeRef> made_;
};

} // namespace progresstest
