#include <new>
#include <random>

#include "orxtest.h"

namespace {
BaseContainer Sample()
{
  BaseContainer bc(7);
  bc.SetInt32(1, -5);
  bc.SetInt64(2, 1LL << 40);
  bc.SetFloat(3, 0.1);
  bc.SetBool(4, true);
  bc.SetString(5, String("Grüße"));
  bc.SetFilename(6, Filename(String("/a b/c.d")));
  BaseContainer sub(3);
  sub.SetString(0, String("preset://user.libqz/x"));
  sub.SetInt32(2, Int32(0x80000001u));
  bc.SetContainer(8, sub);
  const UChar raw[] = {0, 1, 2, 255};
  bc.SetBytes(9, raw, 4);
  bc.SetPointer(10, &bc);
  return bc;
}
} // namespace

TEST(Container, InsertionOrderReplaceAndRemove)
{
  BaseContainer bc;
  bc.SetInt32(30, 1);
  bc.SetInt32(10, 2);
  bc.SetInt32(20, 3);
  bc.SetInt32(10, 4); // replaced in place
  bc.RemoveData(30);
  std::vector<Int32> ids;
  for (const auto& e : bc)
    ids.push_back(e.id);
  EXPECT_EQ(ids, (std::vector<Int32>{10, 20}));
  EXPECT_EQ(bc.GetInt32(10), 4);
  EXPECT_EQ(bc.GetInt32(30, -1), -1);
  EXPECT_EQ(bc.GetCount(), 2);
  EXPECT_FALSE(bc.RemoveData(30));
}

TEST(Container, LargeContainerLookupAfterManyRemovals)
{
  BaseContainer bc;
  constexpr Int32 n = 100000;
  for (Int32 i = 1; i <= n; ++i)
    bc.SetInt32(i * 3, i);
  for (Int32 i = 1; i <= n; i += 2)
    ASSERT_TRUE(bc.RemoveData(i * 3));
  EXPECT_EQ(bc.GetCount(), n / 2);
  for (Int32 i = 1; i <= n; ++i) {
    const GeData* d = bc.GetData(i * 3);
    if (i % 2)
      ASSERT_EQ(d, nullptr) << i;
    else
      ASSERT_TRUE(d && d->GetInt32() == i) << i;
  }
  // Re-adding a removed id appends it at the end.
  bc.SetInt32(3, -1);
  Int32 last = 0;
  for (const auto& e : bc)
    last = e.id;
  EXPECT_EQ(last, 3);
  EXPECT_EQ(bc.GetInt32(3), -1);
}

TEST(Container, SubContainerAddressIsStable)
{
  BaseContainer items;
  BaseContainer* first = items.SetContainer(1, BaseContainer(1));
  first->SetString(0, String("kept"));
  for (Int32 i = 2; i < 5000; ++i)
    items.SetContainer(i, BaseContainer(i));
  for (Int32 i = 2; i < 4000; ++i)
    items.RemoveData(i);
  EXPECT_EQ(items.GetContainerInstance(1), first);
  EXPECT_EQ(first->GetString(0).ToUtf8(), "kept");
}

TEST(Container, ImageRoundTripsEveryType)
{
  orxtest::NoLeaks noLeaks;
  BaseContainer bc = Sample();
  ByteArray image;
  ASSERT_TRUE(HyperFile::ContainerToImage(bc, FourCC("brow"), &image));
  BaseContainer back;
  ASSERT_TRUE(HyperFile::ImageToContainer(image.data(), Int64(image.size()), FourCC("brow"), &back));
  EXPECT_EQ(back.GetId(), 7);
  bc.RemoveData(10);  // pointers do not survive an image
  back.RemoveData(10);
  EXPECT_TRUE(back == bc);
  EXPECT_EQ(back.GetString(5).ToUtf8(), "Grüße");
  EXPECT_EQ(back.GetContainer(8).GetInt32(2), Int32(0x80000001u));
  // Big-endian words: the ident reads as text.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()) + 4, 4), "brow");
  // A wrong ident is refused.
  EXPECT_FALSE(HyperFile::ImageToContainer(image.data(), Int64(image.size()), FourCC("xxxx"), &back));
}

TEST(Container, ImageWithoutSomeIdsEqualsTheImageOfACopyWithoutThem)
{
  orxtest::NoLeaks noLeaks;
  BaseContainer bc = Sample();
  BaseContainer copy = bc;
  copy.RemoveData(4);
  copy.RemoveData(10);
  ByteArray expected;
  ASSERT_TRUE(HyperFile::ContainerToImage(copy, FourCC("brow"), &expected));
  // Old bytes in the buffer are replaced; an id named twice or absent changes nothing.
  ByteArray image(1000, UChar(0xAB));
  const Int32 skip[] = {10, 4, 10, 99};
  ASSERT_TRUE(HyperFile::ContainerToImage(bc, FourCC("brow"), &image, skip, 4));
  EXPECT_TRUE(image == expected);
  // Only the outermost container loses them.
  BaseContainer nested(1);
  nested.SetContainer(4, bc);
  nested.SetInt32(10, 1);
  ASSERT_TRUE(HyperFile::ContainerToImage(nested, FourCC("brow"), &image, skip, 4));
  BaseContainer back;
  ASSERT_TRUE(HyperFile::ImageToContainer(image.data(), Int64(image.size()), FourCC("brow"), &back));
  EXPECT_EQ(back.GetCount(), 0);
  nested.RemoveData(10);
  ASSERT_TRUE(HyperFile::ContainerToImage(nested, FourCC("brow"), &image, skip + 1, 1));
  ASSERT_TRUE(HyperFile::ImageToContainer(image.data(), Int64(image.size()), FourCC("brow"), &back));
  EXPECT_EQ(back.GetCount(), 0);
  ASSERT_TRUE(HyperFile::ContainerToImage(nested, FourCC("brow"), &image, skip, 1));
  ASSERT_TRUE(HyperFile::ImageToContainer(image.data(), Int64(image.size()), FourCC("brow"), &back));
  ASSERT_NE(back.GetContainerInstance(4), nullptr);
  const GeData* pointer = back.GetContainerInstance(4)->GetData(10);
  ASSERT_NE(pointer, nullptr); // kept (as nil): only the outer entry 10 was left out
  EXPECT_TRUE(pointer->IsNil());
  EXPECT_EQ(back.GetContainerInstance(4)->GetCount(), bc.GetCount());
}

TEST(Container, DamagedImagesFailCleanly)
{
  orxtest::NoLeaks noLeaks;
  ByteArray image;
  ASSERT_TRUE(HyperFile::ContainerToImage(Sample(), FourCC("brow"), &image));
  BaseContainer out;
  for (std::size_t cut = 0; cut < image.size(); ++cut)
    EXPECT_FALSE(HyperFile::ImageToContainer(image.data(), Int64(cut), FourCC("brow"), &out)) << cut;
  std::mt19937 rng(5);
  int accepted = 0;
  for (std::size_t i = 8; i < image.size(); ++i) {
    ByteArray bad = image;
    bad[i] ^= UChar(1 + rng() % 255);
    accepted += HyperFile::ImageToContainer(bad.data(), Int64(bad.size()), FourCC("brow"), &out);
  }
  EXPECT_LT(accepted, Int32(image.size())); // many flips are caught; none crashes
  // A length that lies far beyond the data never allocates it.
  ByteArray lie = {'O', 'R', 'X', 'H', 'b', 'r', 'o', 'w', UChar(DataType::Bytes), 0x7f, 0xff, 0xff, 0xff,
                   0xff, 0xff, 0xff, 0xff};
  GeData d;
  HyperFile hf;
  ASSERT_TRUE(hf.OpenMemoryRead(FourCC("brow"), lie.data(), Int64(lie.size())));
  EXPECT_FALSE(hf.ReadData(&d));
  // Nesting deeper than the reader allows is refused, not recursed into.
  ByteArray deep = {'O', 'R', 'X', 'H', 'b', 'r', 'o', 'w'};
  for (int i = 0; i < 10000; ++i) {
    const UChar level[] = {UChar(DataType::Container), 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    deep.insert(deep.end(), level, level + sizeof level);
  }
  EXPECT_FALSE(HyperFile::ImageToContainer(deep.data(), Int64(deep.size()), FourCC("brow"), &out));
}

TEST(Container, HyperFileStreamOnAFile)
{
  Filename f = orxtest::TempDir() + String("values.bin");
  {
    HyperFile hf;
    ASSERT_TRUE(hf.OpenFileWrite(FourCC("test"), f));
    EXPECT_TRUE(hf.WriteInt32(-3) && hf.WriteString(String("x")) && hf.WriteFloat(2.5) && hf.WriteBool(false));
    EXPECT_TRUE(hf.Close());
  }
  HyperFile hf;
  ASSERT_TRUE(hf.OpenFileRead(FourCC("test"), f));
  Int32 i = 0;
  String s;
  Float fl = 0;
  Bool b = true;
  Int64 wrongType = 0;
  EXPECT_TRUE(hf.ReadInt32(&i) && hf.ReadString(&s));
  EXPECT_FALSE(hf.ReadInt64(&wrongType)); // a Float is next: typed reads refuse other types
  EXPECT_FALSE(hf.ReadFloat(&fl));        // and the stream stays failed
  EXPECT_EQ(i, -3);
  EXPECT_EQ(s.ToUtf8(), "x");
  (void)b;
}

// A value that cannot be copied for lack of memory fails as a standard container does; the GeData
// keeps what it held, and nothing is left allocated.
TEST(Container, ValueOutOfMemoryKeepsTheOldValue)
{
  orxtest::NoLeaks noLeaks;
  const String longText("a text longer than the short-string buffer");
  const UChar raw[] = {1, 2, 3};
  BaseContainer sub;
  sub.SetString(1, longText);
  // The first allocation is the value's own block, the second its text.
  for (Int64 n = 1; n <= 2; ++n) {
    SCOPED_TRACE(n);
    GeData d(Int32(7));
    {
      orxtest::HostMemoryFails noMemory(n);
      EXPECT_THROW(d.SetString(longText), std::bad_alloc);
      EXPECT_EQ(d.GetInt32(), 7);
      EXPECT_THROW(d.SetBytes(raw, 3), std::bad_alloc);
      EXPECT_EQ(d.GetType(), DataType::Int32);
      EXPECT_THROW(d.SetContainer(sub), std::bad_alloc);
      EXPECT_EQ(d.GetType(), DataType::Int32);
    }
  }
}
