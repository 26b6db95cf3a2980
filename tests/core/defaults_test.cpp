// Default settings: kept per element kind in the default-object library, shown as nodes under the
// default-object node, read and written through the published table, deleted through their nodes.
#include "contenttest.h"
#include "core/calltable.h"
#include "orx/scenedoc.h"
#include "presets/defaultsnode.h"

using namespace contenttest;

namespace {
class Defaults : public ContentTest
{
protected:
  void SetUp() override
  {
    ContentTest::SetUp();
    Start();
    lib_ = GetBrowserLibrary();
  }
  static BaseContainer Settings(Int32 id, const char* text)
  {
    BaseContainer bc(id);
    bc.SetString(1, String(text));
    bc.SetFloat(2, 0.5);
    return bc;
  }
  bool Stored(Int32 kind, BaseContainer* out = nullptr)
  {
    BaseContainer got;
    const bool ok = lib_->main->GetDefaultObject(kind, &got);
    if (out)
      *out = got;
    return ok;
  }
  static BrowserDatabase* Library()
  {
    return BrowserDatabase::FindLibraryForURL(String("preset://defaultobject.libqz/5702"));
  }

  const OrxBrowserLibrary* lib_ = nullptr;
};
} // namespace

TEST_F(Defaults, ASettingIsKeptPerKindShownAsANodeAndThereAgainAtTheNextStart)
{
  const BaseContainer red = Settings(9, "red");
  EXPECT_FALSE(Stored(Mbase));
  ASSERT_TRUE(lib_->main->SetDefaultObject(Mbase, &red));
  ASSERT_TRUE(lib_->main->SetDefaultObject(Obase, &red));
  const BaseContainer blue = Settings(9, "blue");
  ASSERT_TRUE(lib_->main->SetDefaultObject(Mbase, &blue)); // replaces
  BaseContainer got;
  ASSERT_TRUE(Stored(Mbase, &got));
  EXPECT_TRUE(got == blue);
  EXPECT_FALSE(Stored(Tbase));
  EXPECT_FALSE(lib_->main->SetDefaultObject(Tbase, nullptr));

  NodeRef node = Find("preset://defaultobject.libqz/5702");
  ASSERT_TRUE(node);
  EXPECT_TRUE(dynamic_cast<DefaultsNode*>(node.Get()));
  EXPECT_EQ(node->GetNodeType(), NODETYPE_PRESET);
  EXPECT_EQ(node->GetName().ToUtf8(), "Material");
  EXPECT_EQ(URLOf(node.Get()), "preset://defaultobject.libqz/5702");
  EXPECT_TRUE(node->GetInfo(nullptr) & 0x80);
  BrowserPluginInterface* h = node->GetPluginInterface(0);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->GetPluginID(nullptr), HANDLER_ID_DEFAULTS);
  EXPECT_FALSE(h->Execute(node, nullptr, 0)) << "applying a default does nothing";
  EXPECT_EQ(ChildNames(GetDefaultObjectNode()).size(), 2u);

  node = nullptr;
  Stop();
  Start();
  ASSERT_TRUE(Stored(Mbase, &got));
  EXPECT_TRUE(got == blue);
  node = Find("preset://defaultobject.libqz/5702");
  ASSERT_TRUE(node);
  EXPECT_TRUE(dynamic_cast<DefaultsNode*>(node.Get())) << "listed at start as a default, not as a preset";
  EXPECT_EQ(node->GetName().ToUtf8(), "Material");
}

TEST_F(Defaults, DeletingADefaultWhoseSettingStaysKeepsItsNode)
{
  const BaseContainer red = Settings(9, "red");
  ASSERT_TRUE(lib_->main->SetDefaultObject(Mbase, &red));
  NodeRef node = Find("preset://defaultobject.libqz/5702");
  ASSERT_TRUE(node);
  BrowserDatabase* db = Library();
  ASSERT_TRUE(db);
  // A library that cannot be written keeps the setting: the node stays, unmarked.
  ASSERT_TRUE(db->Protect(false));
  EXPECT_NE(node->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  EXPECT_TRUE(Stored(Mbase));
  EXPECT_FALSE(node->GetStatus() & NODESTATUS_DELETED);
  EXPECT_EQ(Find("preset://defaultobject.libqz/5702"), node) << "the node went while its setting stayed";
  db->Unprotect();
  // Once deletable, both go, and for good.
  Int64 reported = -1;
  auto callback = [](void* data, Int32, Int32, Int64 size, Int32) -> Int32 {
    *static_cast<Int64*>(data) = size;
    return 0;
  };
  EXPECT_EQ(node->Delete(EDITPHASE_DO, callback, &reported), EDIT_OK);
  EXPECT_EQ(reported, 0);
  EXPECT_FALSE(Stored(Mbase));
  EXPECT_FALSE(Find("preset://defaultobject.libqz/5702"));
  node = nullptr;
  Stop();
  Start();
  EXPECT_FALSE(Stored(Mbase));
  EXPECT_FALSE(Find("preset://defaultobject.libqz/5702"));
}
