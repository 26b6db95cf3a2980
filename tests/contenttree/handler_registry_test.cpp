// The handler registry: order and blocks, matching files by name and by content, re-entrant
// handlers, unregistering, the end of the registry; the shared defaults of handlers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "handlertest.h"
#include "watchdog.h"

using handlertest::RegistryTest;
using handlertest::TestHandler;
using handlertest::UrlNode;

namespace {

const std::string kPng = "\x89PNG\r\n\x1a\n";
const std::string kScene = "ORXSCENE";

TEST_F(RegistryTest, KeepsRegistrationOrderAcrossBlocks)
{
  constexpr Int32 n = 2500; // three blocks of 1024
  std::vector<std::unique_ptr<TestHandler>> hs;
  for (Int32 i = 0; i < n; ++i) {
    hs.push_back(std::make_unique<TestHandler>(i, "", ""));
    ASSERT_TRUE(RegisterPlugin(hs.back().get(), i % 2));
  }
  EXPECT_FALSE(RegisterPlugin(nullptr, 1));
  ASSERT_EQ(GetPluginCount(), n);
  for (Int32 i = 0; i < n; ++i)
    ASSERT_EQ(GetPlugin(i), hs[std::size_t(i)].get()) << i;
  EXPECT_EQ(GetPlugin(n), nullptr);
  EXPECT_EQ(GetPlugin(-1), nullptr);

  // Removing entries on both sides of a block edge closes the gap in order.
  for (Int32 i : {1024, 1023, 0, n - 1})
    EXPECT_TRUE(UnregisterPlugin(hs[std::size_t(i)].get()));
  EXPECT_FALSE(UnregisterPlugin(hs[0].get()));
  ASSERT_EQ(GetPluginCount(), n - 4);
  std::vector<TestHandler*> expected;
  for (Int32 i = 0; i < n; ++i)
    if (i != 0 && i != 1023 && i != 1024 && i != n - 1)
      expected.push_back(hs[std::size_t(i)].get());
  for (Int32 i = 0; i < n - 4; ++i)
    ASSERT_EQ(GetPlugin(i), expected[std::size_t(i)]) << i;
  EXPECT_EQ(GetPlugin(n - 4), nullptr);
  EXPECT_EQ(FindPluginByID(1500), hs[1500].get());
  EXPECT_EQ(FindPluginByID(1023), nullptr);
}

TEST_F(RegistryTest, QuickMatchByNameFullMatchByContent)
{
  TestHandler all(1, "png", kPng), image(2, "png", kPng), scene(3, "orx", kScene);
  // A handler that does not identify files is never asked, even though it would claim the file.
  ASSERT_TRUE(RegisterPlugin(&all, 0));
  ASSERT_TRUE(RegisterPlugin(&image, 1));
  ASSERT_TRUE(RegisterPlugin(&scene, 1));

  // Named as an image, holding a scene.
  BrowserURL disguised = File("picture.png", kScene + std::string(100, 'x'));
  BrowserPluginInterface* h = &all;
  EXPECT_TRUE(FindPluginForURL(disguised, false, &h));
  EXPECT_EQ(h, &image);
  EXPECT_TRUE(FindPluginForURL(disguised, true, &h));
  EXPECT_EQ(h, &scene);
  EXPECT_EQ(all.nameCalls.load() + all.contentCalls.load(), 0);
  // The candidate that rejected the bytes is not asked a second time.
  EXPECT_EQ(image.contentCalls.load(), 1);

  // A real image stays with the candidate; the others never see its bytes.
  scene.contentCalls = 0;
  BrowserURL real = File("real.png", kPng + std::string(2000, 'y'));
  EXPECT_TRUE(FindPluginForURL(real, true, &h));
  EXPECT_EQ(h, &image);
  EXPECT_EQ(scene.contentCalls.load(), 0);
  EXPECT_EQ(image.lastSize.load(), HANDLER_HEADER_SIZE);

  // Upper-case suffix: not by name, but by content.
  BrowserURL upper = File("PICTURE.PNG", kPng);
  EXPECT_FALSE(FindPluginForURL(upper, false, &h));
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(FindPluginForURL(upper, true, &h));
  EXPECT_EQ(h, &image);
  EXPECT_EQ(image.lastSize.load(), Int32(kPng.size()));

  // Content that nobody claims.
  BrowserURL junk = File("junk.png", "nothing to see");
  EXPECT_FALSE(FindPluginForURL(junk, true, &h));
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(FindPluginForURL(junk, false, nullptr));
}

TEST_F(RegistryTest, FullMatchNeedsBytes)
{
  TestHandler image(2, "png", kPng);
  ASSERT_TRUE(RegisterPlugin(&image, 1));
  BrowserPluginInterface* h = nullptr;

  BrowserURL empty = File("empty.png", "");
  EXPECT_TRUE(FindPluginForURL(empty, false, &h));
  EXPECT_EQ(h, &image);
  EXPECT_FALSE(FindPluginForURL(empty, true, &h));
  EXPECT_EQ(h, nullptr);

  BrowserURL missing(orxtest::TempDir() + String("gone.png"));
  EXPECT_FALSE(FindPluginForURL(missing, true, &h));
  // A folder has no bytes either.
  BrowserURL folder(orxtest::TempDir());
  EXPECT_FALSE(FindPluginForURL(folder, true, &h));
  // A URL that is not a file, without a main database, has none.
  EXPECT_FALSE(FindPluginForURL(BrowserURL(String("catalog://nowhere/x.png")), true, &h));
  EXPECT_EQ(image.contentCalls.load(), 0);
}

TEST_F(RegistryTest, HandlersMayUseTheRegistryFromIdentify)
{
  TestHandler image(2, "png", kPng), scene(3, "orx", kScene), late(4, "png", "");
  ASSERT_TRUE(RegisterPlugin(&image, 1));
  ASSERT_TRUE(RegisterPlugin(&scene, 1));
  thread_local Int32 depth = 0;
  Int32 inner = 0;
  image.onIdentify = [&](Bool) {
    if (depth)
      return;
    ++depth;
    BrowserPluginInterface* h = nullptr;
    FindPluginForURL(BrowserURL(String("file:/x/y.orx")), false, &h);
    inner += h == &scene;
    inner += GetPlugin(1) == &scene;
    inner += FindPluginByID(3) == &scene;
    inner += RegisterPlugin(&late, 1);
    inner += UnregisterPlugin(&late);
    --depth;
  };
  // Unregistering oneself from inside a lookup must not wait for that very lookup.
  scene.onIdentify = [&](Bool header) {
    if (header)
      inner += UnregisterPlugin(&scene);
  };
  BrowserURL disguised = File("a.png", kScene);
  BrowserPluginInterface* h = nullptr;
  EXPECT_TRUE(FindPluginForURL(disguised, true, &h));
  EXPECT_EQ(h, &scene);
  EXPECT_EQ(inner, 2 * 5 + 1);
  EXPECT_EQ(GetPluginCount(), 1);
}

TEST_F(RegistryTest, RemovalDuringAWalkDoesNotHideALaterHandler)
{
  // While the walk asks the second handler, the first is unregistered: the third moves down onto
  // the index the walk has just passed, and must still be found.
  TestHandler first(10, "png", ""), second(11, "png", ""), third(12, "tga", "TGA!");
  ASSERT_TRUE(RegisterPlugin(&first, 1));
  ASSERT_TRUE(RegisterPlugin(&second, 1));
  ASSERT_TRUE(RegisterPlugin(&third, 1));
  second.onIdentify = [&](Bool) { UnregisterPlugin(&first); };
  BrowserPluginInterface* h = nullptr;
  EXPECT_TRUE(FindPluginForURL(BrowserURL(String("file:/x/a.tga")), false, &h));
  EXPECT_EQ(h, &third);
}

TEST_F(RegistryTest, UnregisterWaitsForRunningCalls)
{
  TestHandler slow(5, "png", kPng);
  ASSERT_TRUE(RegisterPlugin(&slow, 1));
  std::atomic<Bool> inside{false}, release{false}, unregistered{false};
  slow.onIdentify = [&](Bool) {
    inside = true;
    while (!release)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  std::thread lookup([&] { FindPluginForURL(BrowserURL(String("file:/a/b.png")), false, nullptr); });
  while (!inside)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread remover([&] {
    EXPECT_TRUE(UnregisterPlugin(&slow));
    unregistered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(unregistered.load()) << "the handler could have been deleted while in use";
  EXPECT_EQ(GetPluginCount(), 0); // the entry itself is gone at once
  release = true;
  lookup.join();
  remover.join();
  EXPECT_TRUE(unregistered.load());
}

TEST_F(RegistryTest, ReleaseDeletesOnlyOwnedHandlers)
{
  orxtest::NoLeaks noLeaks;
  const Int32 before = TestHandler::Destroyed().load();
  TestHandler kept(1, "a", "");
  auto* owned = new TestHandler(2, "b", "");
  auto* twice = new TestHandler(3, "c", "");
  ASSERT_TRUE(RegisterPlugin(owned, 1, true));
  ASSERT_TRUE(RegisterPlugin(&kept, 1));
  ASSERT_TRUE(RegisterPlugin(twice, 0, true));
  ASSERT_TRUE(RegisterPlugin(twice, 0, true));
  ReleasePluginRegistry();
  EXPECT_EQ(TestHandler::Destroyed().load() - before, 2);
  EXPECT_EQ(GetPluginCount(), 0);
  EXPECT_EQ(GetPlugin(0), nullptr);
  // Usable again after the end.
  EXPECT_TRUE(RegisterPlugin(&kept, 1));
  EXPECT_EQ(GetPlugin(0), &kept);
  ReleasePluginRegistry();
}

// Only the operations without a default.
class BareHandler : public BrowserPluginInterface
{
public:
  Int32 GetPluginID(String*) override { return 7; }
  Bool Identify(BrowserURL&, const void*, Int32, Int32) override { return false; }
  String* GetTypeName(String* out, NodeRef, BrowserURL*, Int32) override { return out; }
  BaseBitmap* GetIcon(NodeRef, BrowserURL*, Int32) override { return nullptr; }
  PreviewDialog* CreatePreviewDialog(NodeRef, Int32) override { return nullptr; }
  String* GetTypeNames(Int32, Int32* count) override
  {
    *count = 0;
    return nullptr;
  }
};

struct DialogLog
{
  static inline Int32 destroyed = 0, closed = 0, stored = 0;
  static Int32 Destroy(PreviewDialog*)
  {
    ++destroyed;
    return 2;
  }
  static Int32 Close(PreviewDialog*, Bool store)
  {
    ++closed;
    stored += store;
    return PREVIEWPAGE_EXTRA + 1;
  }
};

TEST(HandlerDefaultsTest, AnswerNothingAndReleaseNodes)
{
  orxtest::NoLeaks noLeaks;
  BareHandler h;
  Ref<UrlNode> node = MakeRef<UrlNode>("n", BrowserURL(String("catalog://x/n")));
  ASSERT_TRUE(node);
  Int32 q = 99;
  EXPECT_EQ(h.OpenPreviewData(0, NodeRef(node), nullptr, &q), nullptr);
  EXPECT_EQ(q, 0);
  EXPECT_FALSE(h.Execute(NodeRef(node), nullptr, EXECUTE_MERGE));
  auto* fake = reinterpret_cast<PreviewDialog*>(&q);
  // Without the user interface nothing touches the dialog.
  EXPECT_EQ(h.DestroyPreviewDialog(NodeRef(node), fake), 0);
  EXPECT_EQ(h.ClosePreviewDialog(NodeRef(node), fake), 0);

  static const PreviewDialogOps ops{&DialogLog::Destroy, &DialogLog::Close, nullptr, nullptr, nullptr, nullptr};
  SetPreviewDialogOps(&ops);
  EXPECT_EQ(h.DestroyPreviewDialog(NodeRef(node), fake), 2);
  EXPECT_EQ(h.ClosePreviewDialog(NodeRef(node), fake), PREVIEWPAGE_EXTRA + 1);
  EXPECT_EQ(h.ClosePreviewDialog(NodeRef(node), nullptr), 0);
  SetPreviewDialogOps(nullptr);
  EXPECT_EQ(DialogLog::destroyed, 1);
  EXPECT_EQ(DialogLog::closed, 1);
  EXPECT_EQ(DialogLog::stored, 0) << "the default drops the dialog's edits";
  EXPECT_EQ(node->GetReferenceCount(), 1u);
}

TEST(TypeNamesTest, CountedArrayInHostMemory)
{
  orxtest::NoLeaks noLeaks;
  String* names = AllocTypeNames(3);
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(TypeNamesCount(names), 3);
  names[2] = String("a name long enough to live on the heap of the string");
  FreeTypeNames(names);
  EXPECT_EQ(names, nullptr);
  EXPECT_EQ(AllocTypeNames(0), nullptr);

  Int32 count = -1;
  String* one = MakeTypeNames("Scene", &count);
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(count, TypeNamesCount(one));
  EXPECT_EQ(one[0], String("Scene"));
  FreeTypeNames(one);
}

} // namespace

TEST_F(RegistryTest, ContentMatchOnAPipeDoesNotWait)
{
  TestHandler image(2, "png", kPng);
  ASSERT_TRUE(RegisterPlugin(&image, 1));
  const Filename pipe = orxtest::TempDir() + String("stream.png");
  ASSERT_EQ(::mkfifo(pipe.ToUtf8().c_str(), 0644), 0);
  BrowserPluginInterface* h = &image;
  Bool found = true;
  EXPECT_TRUE(orxtest::FinishesWithin([&] { found = FindPluginForURL(BrowserURL(pipe), true, &h); },
                                      std::chrono::seconds(30), [&] {
                                        int fd = ::open(pipe.ToUtf8().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                                        if (fd >= 0)
                                          ::close(fd);
                                      }));
  EXPECT_FALSE(found);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(image.contentCalls.load(), 0) << "nothing was read, so there is nothing to match";
}
