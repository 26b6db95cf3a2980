// Nodes and their handlers: the base type name through the registry, and the handler cache of
// file nodes (name-only matches looked up again, failed full matches remembered).
#include <memory>

#include "handlertest.h"
#include "contenttree/nodehandler.h"

using handlertest::RegistryTest;
using handlertest::TestHandler;
using handlertest::UrlNode;

namespace {

const std::string kPng = "\x89PNG\r\n\x1a\n";
const std::string kScene = "ORXSCENE";

using NodeHandlerTest = RegistryTest;

TEST_F(NodeHandlerTest, BaseTypeNameAsksHandlerThenURL)
{
  TestHandler image(2, "png", kPng), own(9, "own", "");
  ASSERT_TRUE(RegisterPlugin(&image, 1));
  String out("stale");

  // The node's own handler wins, asked for a type name.
  Ref<UrlNode> withHandler = MakeRef<UrlNode>("a.png", BrowserURL(String("catalog://c/a.png")), &own);
  withHandler->GetTypeName(&out, TYPENAME_DETAILED);
  EXPECT_EQ(out, String("own detailed"));
  EXPECT_EQ(withHandler->lastFlags.load(), PLUGINREQUEST_TYPENAME);
  EXPECT_EQ(withHandler->GetReferenceCount(), 1u);

  // Otherwise the handler of the URL, by name only: the file does not even exist.
  Ref<UrlNode> byName = MakeRef<UrlNode>("b.png", BrowserURL(String("file:/no/such/b.png")));
  byName->GetTypeName(&out, 0);
  EXPECT_EQ(out, String("png file"));
  EXPECT_EQ(image.contentCalls.load(), 0);
  EXPECT_EQ(byName->GetReferenceCount(), 1u);

  Ref<UrlNode> none = MakeRef<UrlNode>("c.txt", BrowserURL(String("file:/no/such/c.txt")));
  EXPECT_FALSE(NodeTypeNameFromHandler(none.Get(), &out, 0));
  none->GetTypeName(&out, 0);
  EXPECT_TRUE(out.IsEmpty());
  EXPECT_FALSE(NodeTypeNameFromHandler(nullptr, &out, 0));
}

TEST_F(NodeHandlerTest, CacheLooksUpNameMatchesAgainForFullRequests)
{
  TestHandler image(2, "png", kPng), scene(3, "orx", kScene);
  ASSERT_TRUE(RegisterPlugin(&image, 1));
  ASSERT_TRUE(RegisterPlugin(&scene, 1));
  BrowserURL url = File("d.png", kScene);
  Ref<UrlNode> node = MakeRef<UrlNode>("d.png", url);
  CachedPluginLookup cache;

  EXPECT_EQ(cache.Get(node.Get(), url, PLUGINREQUEST_QUICK), &image);
  EXPECT_TRUE(node->GetStatus() & NODESTATUS_QUICK_MATCH);
  const Int32 quickCalls = image.nameCalls.load();
  EXPECT_EQ(cache.Get(node.Get(), url, PLUGINREQUEST_QUICK), &image);
  EXPECT_EQ(image.nameCalls.load(), quickCalls) << "a cached handler is not looked up again";

  // A full request does not trust a match by name.
  EXPECT_EQ(cache.Get(node.Get(), url, 0), &scene);
  EXPECT_FALSE(node->GetStatus() & NODESTATUS_QUICK_MATCH);
  const Int32 reads = scene.contentCalls.load();
  EXPECT_EQ(cache.Get(node.Get(), url, 0), &scene);
  EXPECT_EQ(cache.Get(node.Get(), url, PLUGINREQUEST_QUICK), &scene);
  EXPECT_EQ(scene.contentCalls.load(), reads);
  EXPECT_EQ(cache.Peek(), &scene);

  // The folder handler is set directly.
  cache.Set(node.Get(), &image);
  EXPECT_EQ(cache.Get(node.Get(), url, 0), &image);
}

TEST_F(NodeHandlerTest, CacheRemembersFailedFullMatch)
{
  TestHandler image(2, "png", kPng);
  ASSERT_TRUE(RegisterPlugin(&image, 1));
  const Filename file = orxtest::TempDir() + String("e.png");
  ASSERT_TRUE(orxtest::WriteFile(file, ""));
  BrowserURL url(file);
  Ref<UrlNode> node = MakeRef<UrlNode>("e.png", url);
  CachedPluginLookup cache;

  EXPECT_EQ(cache.Get(node.Get(), url, PLUGINREQUEST_QUICK), &image);
  EXPECT_EQ(cache.Get(node.Get(), url, 0), nullptr);
  EXPECT_TRUE(node->GetStatus() & NODESTATUS_NOHANDLER);
  EXPECT_FALSE(node->GetStatus() & NODESTATUS_QUICK_MATCH);
  EXPECT_EQ(cache.Peek(), nullptr);

  // Now the file would match, but the failure is remembered for every kind of request.
  ASSERT_TRUE(orxtest::WriteFile(file, kPng));
  const Int32 names = image.nameCalls.load();
  EXPECT_EQ(cache.Get(node.Get(), url, 0), nullptr);
  EXPECT_EQ(cache.Get(node.Get(), url, PLUGINREQUEST_QUICK), nullptr);
  EXPECT_EQ(image.nameCalls.load(), names);
  EXPECT_EQ(image.contentCalls.load(), 0);

  // Until the node forgets it.
  cache.Clear(node.Get());
  EXPECT_FALSE(node->GetStatus() & NODESTATUS_NOHANDLER);
  EXPECT_EQ(cache.Get(node.Get(), url, 0), &image);

  // A name-only miss leaves the cache as it was.
  CachedPluginLookup other;
  BrowserURL txt = File("f.txt", kPng);
  Ref<UrlNode> plain = MakeRef<UrlNode>("f.txt", txt);
  EXPECT_EQ(other.Get(plain.Get(), txt, PLUGINREQUEST_QUICK), nullptr);
  EXPECT_FALSE(plain->GetStatus() & NODESTATUS_NOHANDLER);
  EXPECT_EQ(other.Get(plain.Get(), txt, 0), &image);
}

// Its owner may free a handler as soon as it is unregistered: no cache may hand it out after that,
// while caches of handlers that stay keep them.
TEST_F(NodeHandlerTest, UnregisteringEmptiesEveryCacheThatHoldsTheHandler)
{
  auto image = std::make_unique<TestHandler>(2, "png", kPng);
  TestHandler folder(7, "", "");
  ASSERT_TRUE(RegisterPlugin(image.get(), 1));
  ASSERT_TRUE(RegisterPlugin(&folder, 0));
  BrowserURL url = File("g.png", kPng);
  Ref<UrlNode> node = MakeRef<UrlNode>("g.png", url);
  CachedPluginLookup quick, full, set;
  ASSERT_EQ(quick.Get(node.Get(), url, PLUGINREQUEST_QUICK), image.get());
  ASSERT_EQ(full.Get(node.Get(), url, 0), image.get());
  set.Set(nullptr, &folder);

  ASSERT_TRUE(UnregisterPlugin(image.get()));
  image.reset();
  EXPECT_EQ(quick.Peek(), nullptr);
  EXPECT_EQ(full.Peek(), nullptr);
  EXPECT_EQ(full.Get(node.Get(), url, 0), nullptr);
  EXPECT_EQ(quick.Get(node.Get(), url, PLUGINREQUEST_QUICK), nullptr);
  EXPECT_EQ(set.Peek(), &folder) << "a handler that stays registered stays cached";
  EXPECT_EQ(set.Get(nullptr, url, 0), &folder);
}

} // namespace
