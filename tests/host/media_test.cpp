// The host's image, movie, detection and document services on files made by other tools.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>

#include "mediatest.h"
#include "orx/filesignatures.h"
#include "orx/media.h"
#include "orxtest.h"
#include "services/memoryreader.h"

namespace {

using mediatest::Quoted;
using mediatest::Shell;

struct BitmapDeleter
{
  void operator()(BaseBitmap* b) const { delete b; }
};
using Bitmap = std::unique_ptr<BaseBitmap, BitmapDeleter>;

Bitmap Load(const Filename& f, Int32 maxSize = 0, Int32* result = nullptr)
{
  return Bitmap(GeLoadBitmap(f, maxSize, result));
}

void ExpectMean(const BaseBitmap& bmp, double r, double g, double b, double tolerance)
{
  const mediatest::Mean m = mediatest::MeanColour(bmp);
  EXPECT_NEAR(m.r, r, tolerance);
  EXPECT_NEAR(m.g, g, tolerance);
  EXPECT_NEAR(m.b, b, tolerance);
}

UInt32 Crc32(const std::string& bytes)
{
  UInt32 c = 0xFFFFFFFFu;
  for (unsigned char ch : bytes) {
    c ^= ch;
    for (int k = 0; k < 8; ++k)
      c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

void PutBE32(std::string& s, std::size_t at, UInt32 v)
{
  s[at] = char(v >> 24);
  s[at + 1] = char(v >> 16);
  s[at + 2] = char(v >> 8);
  s[at + 3] = char(v);
}

} // namespace

// Pictures of one known colour in each format, made by ImageMagick and oiiotool: the mean colour of
// the whole image and of a reduced one matches the source's.
TEST(HostImages, FormatsWrittenByOtherToolsKeepTheirColour)
{
  MEDIATEST_NEED("convert");
  MEDIATEST_NEED("oiiotool");
  orxtest::NoLeaks leaks;
  const Filename dir = orxtest::TempDir();
  struct Case
  {
    const char* name;
    std::string command;
  };
  const Filename jpg = dir + String("a.jpg"), png = dir + String("a.png"), tif = dir + String("a.tif"),
                 exr = dir + String("a.exr"), tiled = dir + String("tiled.exr");
  ASSERT_TRUE(Shell("convert -size 640x480 xc:'rgb(200,100,50)' -quality 95 " + Quoted(jpg)));
  ASSERT_TRUE(Shell("convert -size 300x200 xc:'rgb(20,140,230)' " + Quoted(png)));
  ASSERT_TRUE(Shell("oiiotool --create 320x240 3 --fill:color=0.25,0.5,0.75 0,0,320,240 -d uint8 -o " + Quoted(tif)));
  // Linear 0.2 0.5 0.8 shows as sRGB 124 188 231.
  ASSERT_TRUE(Shell("oiiotool --create 200x100 3 --fill:color=0.2,0.5,0.8 0,0,200,100 -d half -o " + Quoted(exr)));
  ASSERT_TRUE(Shell("oiiotool --create 200x100 4 --fill:color=0.2,0.5,0.8,1 0,0,200,100 -d half --tile 64 64 -o " +
                  Quoted(tiled)));

  Int32 rc = -1;
  Bitmap a = Load(jpg, 0, &rc);
  ASSERT_TRUE(a);
  EXPECT_EQ(rc, LOADBITMAP_OK);
  EXPECT_EQ(a->GetWidth(), 640);
  EXPECT_EQ(a->GetHeight(), 480);
  ExpectMean(*a, 200, 100, 50, 3);
  Bitmap small = Load(jpg, 256, &rc);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->GetWidth(), 256);
  EXPECT_EQ(small->GetHeight(), 192);
  ExpectMean(*small, 200, 100, 50, 3);

  Bitmap b = Load(png, 100);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->GetWidth(), 100);
  EXPECT_EQ(b->GetHeight(), 67);
  ExpectMean(*b, 20, 140, 230, 1);

  Bitmap c = Load(tif);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->GetWidth(), 320);
  ExpectMean(*c, 64, 128, 191, 1.5);

  for (const Filename& f : {exr, tiled}) {
    Bitmap d = Load(f, 64);
    ASSERT_TRUE(d) << f.ToUtf8();
    EXPECT_EQ(d->GetWidth(), 64);
    EXPECT_EQ(d->GetHeight(), 32);
    ExpectMean(*d, 124, 188, 231, 2);
  }
  Int32 w = 0, h = 0;
  EXPECT_TRUE(GeGetBitmapInfo(tiled, &w, &h));
  EXPECT_EQ(w, 200);
  EXPECT_EQ(h, 100);
}

// A picture is never enlarged, and reduced pictures keep the aspect of the source.
TEST(HostImages, ReducedLoadsFitTheBoxWithoutEnlarging)
{
  MEDIATEST_NEED("convert");
  const Filename dir = orxtest::TempDir();
  const Filename tall = dir + String("tall.jpg"), tiny = dir + String("tiny.png");
  ASSERT_TRUE(Shell("convert -size 300x1200 gradient:white-black " + Quoted(tall)));
  ASSERT_TRUE(Shell("convert -size 16x10 xc:red " + Quoted(tiny)));
  Bitmap t = Load(tall, 256);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->GetHeight(), 256);
  EXPECT_EQ(t->GetWidth(), 64);
  Bitmap s = Load(tiny, 256);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->GetWidth(), 16);
  EXPECT_EQ(s->GetHeight(), 10);
}

// Outside input that is not a whole picture: a clear failure, never a crash or a wait.
TEST(HostImages, DamagedAndSpecialFilesFailClearly)
{
  MEDIATEST_NEED("convert");
  const Filename dir = orxtest::TempDir();
  const Filename jpg = dir + String("whole.jpg");
  ASSERT_TRUE(Shell("convert -size 400x300 plasma:fractal -quality 90 " + Quoted(jpg)));
  const std::string bytes = orxtest::ReadFile(jpg);
  ASSERT_GT(bytes.size(), 2000u);

  const Filename cut = dir + String("cut.jpg");
  ASSERT_TRUE(orxtest::WriteFile(cut, bytes.substr(0, bytes.size() / 2)));
  Int32 rc = -1;
  EXPECT_FALSE(Load(cut, 0, &rc));
  EXPECT_EQ(rc, LOADBITMAP_FAILED);
  EXPECT_FALSE(Load(cut, 64, &rc));

  const Filename empty = dir + String("empty.png");
  ASSERT_TRUE(orxtest::WriteFile(empty, ""));
  EXPECT_FALSE(Load(empty, 0, &rc));
  EXPECT_EQ(rc, LOADBITMAP_FAILED);

  const Filename garbage = dir + String("garbage.png");
  ASSERT_TRUE(orxtest::WriteFile(garbage, std::string("\x89PNG\r\n\x1a\n", 8) + std::string(300, '\x7f')));
  EXPECT_FALSE(Load(garbage, 0, &rc));
  EXPECT_EQ(rc, LOADBITMAP_FAILED);

  // A pipe would block a reader that opened it; it is not a regular file and is not opened.
  const Filename fifo = dir + String("pipe.jpg");
  ASSERT_EQ(::mkfifo(fifo.ToUtf8().c_str(), 0644), 0);
  EXPECT_FALSE(Load(fifo, 0, &rc));
  EXPECT_EQ(rc, LOADBITMAP_NOTFOUND);
  EXPECT_FALSE(Load(Filename("/dev/zero"), 0, &rc));
  EXPECT_EQ(rc, LOADBITMAP_NOTFOUND);
  EXPECT_FALSE(Load(Filename(""), 0, &rc));

  EXPECT_FALSE(GeLoadBitmapFromMemory(bytes.data(), Int64(bytes.size() / 3)));
  Bitmap whole(GeLoadBitmapFromMemory(bytes.data(), Int64(bytes.size()), 100));
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->GetWidth(), 100);
}

// Offsets inside a picture are the file's word: one that points before the first byte must make the
// reader fail, whether the bytes come from a file or from memory (where a reader that trusted it would
// copy from before the buffer).
TEST(HostImages, OffsetsBeforeTheStartOfThePictureAreDamage)
{
  MEDIATEST_NEED("convert");
  const Filename dir = orxtest::TempDir();
  const Filename bmp = dir + String("whole.bmp");
  ASSERT_TRUE(Shell("convert -size 6x6 xc:red -type TrueColor BMP3:" + Quoted(bmp)));
  std::string bytes = orxtest::ReadFile(bmp);
  ASSERT_GT(bytes.size(), 54u);
  Bitmap good(GeLoadBitmapFromMemory(bytes.data(), Int64(bytes.size())));
  ASSERT_TRUE(good);

  for (const Int32 offset : {-1, -16, -4096, -0x7fffffff}) {
    SCOPED_TRACE(offset);
    // The pixel data offset of the file header.
    for (int i = 0; i < 4; ++i)
      bytes[std::size_t(10 + i)] = char(UChar(UInt32(offset) >> (8 * i)));
    Int32 rc = -1;
    Bitmap fromMemory(GeLoadBitmapFromMemory(bytes.data(), Int64(bytes.size()), 0, &rc));
    EXPECT_FALSE(fromMemory);
    EXPECT_NE(rc, LOADBITMAP_OK);
    const Filename damaged = dir + String("damaged.bmp");
    ASSERT_TRUE(orxtest::WriteFile(damaged, bytes));
    EXPECT_FALSE(Load(damaged, 0, &rc));
    EXPECT_NE(rc, LOADBITMAP_OK);
  }
}

// Whatever offset a reader takes from a damaged picture, the stream of bytes in memory answers only
// from within them.
TEST(HostImages, PicturesInMemoryAreNeverReadOutsideTheirBytes)
{
  const std::string bytes = "0123456789";
  orxhost::detail::BoundedMemoryReader in(bytes.data(), bytes.size());
  char buf[16] = {};
  EXPECT_EQ(in.pread(buf, 4, -2), 0u);
  EXPECT_EQ(in.pread(buf, 8, -1), 0u);
  EXPECT_EQ(in.pread(buf, 4, 10), 0u);
  EXPECT_EQ(in.pread(buf, 4, INT64_MAX), 0u);
  ASSERT_EQ(in.pread(buf, 16, 7), 3u);
  EXPECT_EQ(std::string(buf, 3), "789");
  EXPECT_FALSE(in.seek(-3));
  EXPECT_EQ(in.tell(), 0);
  EXPECT_FALSE(in.seek(-20, SEEK_END));
  ASSERT_TRUE(in.seek(-4, SEEK_END));
  ASSERT_EQ(in.read(buf, 16), 4u);
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_EQ(in.read(buf, 16), 0u);
}

// Headers that claim more pixels than the limit are refused before the decoder allocates for them.
TEST(HostImages, HeadersClaimingHugeSizesAreRefused)
{
  MEDIATEST_NEED("convert");
  const Filename dir = orxtest::TempDir();
  const Filename jpg = dir + String("s.jpg"), png = dir + String("s.png");
  ASSERT_TRUE(Shell("convert -size 8x8 xc:blue " + Quoted(jpg)));
  ASSERT_TRUE(Shell("convert -size 8x8 xc:blue " + Quoted(png)));

  std::string j = orxtest::ReadFile(jpg);
  const std::size_t sof = j.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  j[sof + 5] = j[sof + 7] = char(0xEA); // 60000 x 60000
  j[sof + 6] = j[sof + 8] = char(0x60);
  std::string p = orxtest::ReadFile(png);
  ASSERT_EQ(p.substr(12, 4), "IHDR");
  PutBE32(p, 16, 100000);
  PutBE32(p, 20, 100000);
  PutBE32(p, 29, Crc32(p.substr(12, 17)));

  // A GIF reader makes its whole canvas while opening; an EXR reader each header attribute at the
  // size the file claims.
  const Filename gif = dir + String("s.gif"), exr = dir + String("s.exr");
  ASSERT_TRUE(Shell("convert -size 8x8 xc:blue " + Quoted(gif)));
  std::string g = orxtest::ReadFile(gif);
  ASSERT_EQ(g.substr(0, 4), "GIF8");
  g[6] = g[7] = g[8] = g[9] = char(0xFF);
  std::string e;
  if (mediatest::HaveTool("oiiotool") &&
      Shell("oiiotool --create 8x8 3 -d half -o " + Quoted(exr))) {
    e = orxtest::ReadFile(exr);
    const std::size_t at = e.find(std::string("channels\0chlist\0", 16));
    ASSERT_NE(at, std::string::npos);
    e[at + 16] = e[at + 17] = e[at + 18] = char(0xFF);
    e[at + 19] = char(0x7F);
    Int32 rc = -1;
    EXPECT_FALSE(GeLoadBitmapFromMemory(e.data(), Int64(e.size()), 0, &rc));
    EXPECT_EQ(rc, LOADBITMAP_FAILED);
  }

  orxhost::ResetPeakBytes();
  const Int64 before = orxhost::PeakBytes();
  for (const std::string& bytes : {j, p, g}) {
    Int32 rc = -1;
    EXPECT_FALSE(GeLoadBitmapFromMemory(bytes.data(), Int64(bytes.size()), 0, &rc));
    EXPECT_EQ(rc, LOADBITMAP_TOOLARGE);
    EXPECT_FALSE(GeLoadBitmapFromMemory(bytes.data(), Int64(bytes.size()), 256, &rc));
    EXPECT_EQ(rc, LOADBITMAP_TOOLARGE);
  }
  EXPECT_LT(orxhost::PeakBytes() - before, 1 << 20);
}

TEST(HostImages, SavedPicturesLoadBack)
{
  orxtest::NoLeaks leaks;
  BaseBitmap bmp;
  ASSERT_TRUE(bmp.Init(40, 30, 3));
  for (Int32 y = 0; y < 30; ++y)
    for (Int32 x = 0; x < 40; ++x)
      bmp.SetPixel(x, y, 10, 200, 90);
  const Filename dir = orxtest::TempDir();
  for (Int32 format : {SAVEBITMAP_PNG, SAVEBITMAP_JPEG}) {
    const Filename f = dir + String(format == SAVEBITMAP_PNG ? "s.png" : "s.jpg");
    ASSERT_TRUE(GeSaveBitmap(bmp, f, format, 95));
    Bitmap back = Load(f);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->GetWidth(), 40);
    ExpectMean(*back, 10, 200, 90, format == SAVEBITMAP_PNG ? 0 : 3);
  }
  Bitmap scaled(GeScaleBitmap(bmp, 20, 15));
  ASSERT_TRUE(scaled);
  EXPECT_EQ(scaled->GetHeight(), 15);
  ExpectMean(*scaled, 10, 200, 90, 1);
  EXPECT_FALSE(GeSaveBitmap(bmp, dir + String("no") + String("such") + String("x.png"), SAVEBITMAP_PNG));
}

// The size of a JPEG comes from the segments before its picture data, whether they sit within the
// first bytes of the file or further on, behind large application segments.
TEST(HostImages, TheSizeOfAJpegIsFoundBehindLargeSegments)
{
  BaseBitmap bmp;
  ASSERT_TRUE(bmp.Init(40, 30, 3));
  const Filename dir = orxtest::TempDir();
  const Filename plain = dir + String("plain.jpg"), padded = dir + String("padded.jpg");
  ASSERT_TRUE(GeSaveBitmap(bmp, plain, SAVEBITMAP_JPEG, 90));
  const std::string bytes = orxtest::ReadFile(plain);
  ASSERT_GT(bytes.size(), 4u);
  // Three application segments of 40 000 bytes each after the start marker.
  std::string segments;
  for (int i = 0; i < 3; ++i)
    segments += std::string("\xFF\xEF\x9C\x40", 4) + std::string(39998, char('a' + i));
  ASSERT_TRUE(orxtest::WriteFile(padded, bytes.substr(0, 2) + segments + bytes.substr(2)));
  for (const Filename& f : {plain, padded}) {
    SCOPED_TRACE(f.ToUtf8());
    Int32 w = 0, h = 0;
    EXPECT_TRUE(GeGetBitmapInfo(f, &w, &h));
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 30);
    Bitmap back = Load(f);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->GetWidth(), 40);
  }
  // Cut inside the segments: no size.
  const Filename cut = dir + String("cut.jpg");
  ASSERT_TRUE(orxtest::WriteFile(cut, bytes.substr(0, 2) + segments.substr(0, 100000)));
  Int32 w = 0, h = 0;
  EXPECT_FALSE(GeGetBitmapInfo(cut, &w, &h));
}

// A movie made by ffmpeg: its count, rate and frames; the representative frame skips a black start;
// a file of sound alone holds no picture, which is not a failure.
TEST(HostMovies, CountRateAndFramesOfAMovieMadeByFfmpeg)
{
  MEDIATEST_NEED("ffmpeg");
  orxtest::NoLeaks leaks;
  const Filename dir = orxtest::TempDir();
  const Filename mp4 = dir + String("clip.mp4"), dark = dir + String("dark.avi"), mp2 = dir + String("tone.mp2");
  ASSERT_TRUE(Shell("ffmpeg -nostdin -y -f lavfi -i testsrc=size=160x120:rate=25:duration=2 -pix_fmt yuv420p " +
                  Quoted(mp4)));
  ASSERT_TRUE(Shell("ffmpeg -nostdin -y -f lavfi -i color=c=black:s=96x64:r=10:d=3 -f lavfi -i "
                  "color=c=white:s=96x64:r=10:d=1 -filter_complex '[0][1]concat=n=2:v=1' -c:v mjpeg " +
                  Quoted(dark)));
  ASSERT_TRUE(Shell("ffmpeg -nostdin -y -f lavfi -i sine=frequency=440:duration=1 -c:a mp2 " + Quoted(mp2)));

  {
    MovieReader movie;
    ASSERT_TRUE(movie.Open(mp4));
    MovieInfo info;
    ASSERT_TRUE(movie.GetInfo(&info));
    EXPECT_TRUE(info.hasVideo);
    EXPECT_EQ(info.frames, 50);
    EXPECT_NEAR(info.rate, 25.0, 1e-6);
    EXPECT_EQ(info.width, 160);
    Bitmap f10(movie.GetFrame(10));
    ASSERT_TRUE(f10);
    EXPECT_EQ(f10->GetWidth(), 160);
    EXPECT_EQ(f10->GetHeight(), 120);
    Bitmap small(movie.GetFrame(-1, 80));
    ASSERT_TRUE(small);
    EXPECT_EQ(small->GetWidth(), 80);
  }
  Int32 rc = -1;
  Bitmap frame = Load(dark, 0, &rc);
  ASSERT_TRUE(frame);
  EXPECT_EQ(rc, LOADBITMAP_OK);
  EXPECT_GT(mediatest::MeanColour(*frame).g, 200);

  orxhost::ClearConsole();
  EXPECT_FALSE(Load(mp2, 64, &rc));
  EXPECT_EQ(rc, LOADBITMAP_NOPICTURE);
  MovieReader sound;
  ASSERT_TRUE(sound.Open(mp2));
  MovieInfo info;
  EXPECT_TRUE(sound.GetInfo(&info));
  EXPECT_FALSE(info.hasVideo);
  EXPECT_FALSE(sound.GetFrame(-1));
  EXPECT_TRUE(orxhost::ConsoleLines().empty());

  // Cut in half, the container is damaged: a failure or fewer frames, never a crash.
  const std::string bytes = orxtest::ReadFile(mp4);
  const Filename cut = dir + String("cut.mp4");
  ASSERT_TRUE(orxtest::WriteFile(cut, bytes.substr(0, bytes.size() / 2)));
  Bitmap partial = Load(cut, 64, &rc);
  EXPECT_TRUE(partial ? rc == LOADBITMAP_OK : rc == LOADBITMAP_FAILED);
}

TEST(HostDetection, KindsFromFirstBytesAndName)
{
  MEDIATEST_NEED("convert");
  MEDIATEST_NEED("ffmpeg");
  const Filename dir = orxtest::TempDir();
  const Filename png = dir + String("picture.PNG"), mp2 = dir + String("a.mp2"), mpg = dir + String("a.mpg");
  ASSERT_TRUE(Shell("convert -size 8x8 xc:blue png:" + Quoted(png)));
  ASSERT_TRUE(Shell("ffmpeg -nostdin -y -f lavfi -i sine=duration=1 -c:a mp2 " + Quoted(mp2)));
  ASSERT_TRUE(Shell("ffmpeg -nostdin -y -f lavfi -i testsrc=size=64x48:duration=1 -c:v mpeg1video -f mpeg " +
                  Quoted(mpg)));
  auto kind = [&](const Filename& f, Int32 mask) {
    const std::string h = orxtest::ReadFile(f).substr(0, 512);
    return GeIdentifyFile(f, h.data(), Int32(h.size()), mask);
  };
  EXPECT_EQ(kind(png, DETECT_IMAGE | DETECT_QUICK), DETECT_IMAGE);
  EXPECT_EQ(kind(png, DETECT_MOVIE | DETECT_QUICK), 0);
  // MPEG audio named like a movie is sound.
  EXPECT_EQ(kind(mp2, DETECT_MOVIE), 0);
  EXPECT_EQ(kind(mp2, DETECT_SOUND | DETECT_QUICK), DETECT_SOUND);
  EXPECT_EQ(kind(mpg, DETECT_MOVIE | DETECT_QUICK), DETECT_MOVIE);

  auto code = [](UInt32 c) {
    std::string s(4, '\0');
    PutBE32(s, 0, c);
    return s + std::string(60, '\1');
  };
  const std::string scene = code(FILESIG_SCENE), layout = code(FILESIG_LAYOUT), korvex = code(FILESIG_KORVEX);
  EXPECT_EQ(GeIdentifyFile(Filename("/x/a.orx"), scene.data(), 64, DETECT_SCENE | DETECT_QUICK), DETECT_SCENE);
  EXPECT_EQ(GeIdentifyFile(Filename("/x/a.lqz"), layout.data(), 64, DETECT_LAYOUT), DETECT_LAYOUT);
  EXPECT_EQ(GeIdentifyFile(Filename("/x/a.kvb"), korvex.data(), 64, DETECT_KORVEX), DETECT_KORVEX);
  EXPECT_EQ(GeIdentifyFile(Filename("/x/a.lqz"), scene.data(), 64, DETECT_LAYOUT), 0);
  const std::string script = "// moves the cube\nvar x = 1;\n";
  EXPECT_EQ(GeIdentifyFile(Filename("/x/a.osc"), script.data(), Int32(script.size()), DETECT_SCRIPT | DETECT_QUICK),
            DETECT_SCRIPT);
  EXPECT_EQ(GeIdentifyFile(Filename("/x/a.txt"), script.data(), Int32(script.size()), DETECT_SCRIPT), 0);
  EXPECT_EQ(GeIdentifyFile(Filename("/x/a.osc"), scene.data(), 64, DETECT_SCRIPT), 0);
  EXPECT_EQ(GeIdentifyFile(Filename("/x/a.osc"), nullptr, 0, DETECT_SCRIPT), 0);
}

// Opening with the system's program never runs a program itself, and is only recorded under
// ORXHOST_HOME.
TEST(HostDocuments, OpenWithTheSystemRefusesProgramsAndIsRecorded)
{
  const Filename dir = orxtest::TempDir();
  const Filename doc = dir + String("notes.txt"), tool = dir + String("tool.sh"), launcher = dir + String("a.Desktop");
  ASSERT_TRUE(orxtest::WriteFile(doc, "text"));
  ASSERT_TRUE(orxtest::WriteFile(tool, "#!/bin/sh\n"));
  ASSERT_TRUE(orxtest::WriteFile(launcher, "[Desktop Entry]\n"));
  ASSERT_EQ(::chmod(tool.ToUtf8().c_str(), 0755), 0);
  orxhost::ClearHostRequests();
  EXPECT_FALSE(GeOpenWithSystem(Filename()));
  EXPECT_FALSE(GeOpenWithSystem(tool));
  EXPECT_FALSE(GeOpenWithSystem(launcher));
  EXPECT_FALSE(GeOpenWithSystem(Filename("relative.txt")));
  EXPECT_FALSE(GeOpenWithSystem(dir + String("missing.txt")));
  for (const orxhost::HostRequest& r : orxhost::HostRequests())
    EXPECT_FALSE(r.done) << r.path;
  orxhost::ClearHostRequests();
  EXPECT_TRUE(GeOpenWithSystem(doc));
  EXPECT_TRUE(GeLoadFile(doc));
  EXPECT_TRUE(GeMergeFile(doc, SCENEFILTER_MERGE_ALL));
  EXPECT_FALSE(GeLoadFile(Filename()));
  auto requests = orxhost::HostRequests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_FALSE(requests[3].done);
  requests.pop_back();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].kind, "open");
  EXPECT_EQ(requests[0].path, doc.ToUtf8());
  EXPECT_EQ(requests[1].kind, "load");
  EXPECT_EQ(requests[2].kind, "merge");
  EXPECT_EQ(requests[2].value, 59);
}
