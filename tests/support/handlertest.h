// Small content handlers and nodes for the tests of the handler registry.
#pragma once

#include <atomic>
#include <cstring>
#include <functional>
#include <string>

#include "contenttree/browserinterface.h"
#include "orxtest.h"
#include "contenttree/rtreenode.h"

namespace handlertest {

// Claims URLs with its suffix (exact) by name, and content that begins with its magic bytes.
class TestHandler : public BrowserPluginInterface
{
public:
  static std::atomic<Int32>& Destroyed()
  {
    static std::atomic<Int32> n{0};
    return n;
  }

  TestHandler(Int32 id, std::string suffix, std::string magic)
    : id_(id), suffix_(std::move(suffix)), magic_(std::move(magic))
  {
  }
  ~TestHandler() override { Destroyed().fetch_add(1); }

  Int32 GetPluginID(String* name) override
  {
    if (name)
      *name = String(("handler " + std::to_string(id_)).c_str());
    return id_;
  }
  Bool Identify(BrowserURL& url, const void* header, Int32 size, Int32) override
  {
    if (onIdentify)
      onIdentify(header != nullptr);
    if (!header) {
      nameCalls.fetch_add(1);
      return !suffix_.empty() && url.GetSuffix() == String(suffix_.c_str());
    }
    contentCalls.fetch_add(1);
    lastSize.store(size);
    return !magic_.empty() && size >= Int32(magic_.size()) && std::memcmp(header, magic_.data(), magic_.size()) == 0;
  }
  String* GetTypeName(String* out, NodeRef, BrowserURL*, Int32 mode) override
  {
    *out = String((suffix_ + (mode == TYPENAME_DETAILED ? " detailed" : " file")).c_str());
    return out;
  }
  BaseBitmap* GetIcon(NodeRef, BrowserURL*, Int32) override { return nullptr; }
  PreviewDialog* CreatePreviewDialog(NodeRef, Int32) override { return nullptr; }
  String* GetTypeNames(Int32, Int32* count) override
  {
    return MakeTypeNames(String(suffix_.c_str()), count);
  }

  std::atomic<Int32> nameCalls{0};
  std::atomic<Int32> contentCalls{0};
  std::atomic<Int32> lastSize{-1};
  // Runs at the start of every Identify (argument: header given).
  std::function<void(Bool)> onIdentify;

private:
  Int32 id_;
  std::string suffix_;
  std::string magic_;
};

// A node at a URL, with an optional fixed handler and a handler cache as file nodes keep it.
class UrlNode : public BrowserContentNode
{
public:
  UrlNode(std::string name, BrowserURL url, BrowserPluginInterface* handler = nullptr)
    : name_(name.c_str()), url_(std::move(url)), handler_(handler)
  {
  }
  Int32 GetNodeType() override { return NODETYPE_DIRECTORY; }
  BrowserPluginInterface* GetPluginInterface(UInt32 flags) override
  {
    asked.fetch_add(1);
    lastFlags.store(flags);
    return handler_;
  }
  String GetName() override { return name_; }
  const String* GetNameRef() override { return &name_; }
  Bool GetURL(BrowserURL* out, UInt32) override
  {
    *out = url_;
    return true;
  }
  BaseBitmap* GetIcon(UInt32, Int32) override { return nullptr; }

  std::atomic<Int32> asked{0};
  std::atomic<UInt32> lastFlags{0};

private:
  String name_;
  BrowserURL url_;
  BrowserPluginInterface* handler_;
};

// Every test starts and ends with an empty registry.
class RegistryTest : public ::testing::Test
{
protected:
  void SetUp() override { ReleasePluginRegistry(); }
  void TearDown() override { ReleasePluginRegistry(); }

  // A file in a fresh folder, as a URL.
  BrowserURL File(const std::string& name, const std::string& bytes)
  {
    const Filename f = orxtest::TempDir() + String(name.c_str());
    EXPECT_TRUE(orxtest::WriteFile(f, bytes));
    return BrowserURL(f);
  }
};

} // namespace handlertest
