// The image service: OpenImageIO for the formats it reads, TurboJPEG for JPEG (scaled in the DCT, so
// a large photo is never decoded whole for a small preview), gdk-pixbuf for the few formats that
// OpenImageIO has no reader for. Every decoder reads outside bytes: sizes are checked against the
// pixel limit before anything is allocated for them, library exceptions are caught here, and each
// call keeps its own decoder objects so that worker threads may call at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "internal.h"
#include "memoryreader.h"
#include "services/host.h"
#include "orx/bitmap.h"
#include "orx/media.h"
#include "orx/memory.h"

namespace OIIO = OIIO_NAMESPACE;

namespace orxhost::detail {

void FitSize(Int32 w, Int32 h, Int32 maxSize, Int32* dw, Int32* dh)
{
  *dw = w;
  *dh = h;
  if (maxSize <= 0 || (w <= maxSize && h <= maxSize))
    return;
  const double s = double(maxSize) / double(std::max(w, h));
  *dw = std::clamp(Int32(std::lround(w * s)), 1, maxSize);
  *dh = std::clamp(Int32(std::lround(h * s)), 1, maxSize);
}

BaseBitmap* NewBitmap()
{
  void* p = OrxMemAlloc(Int64(sizeof(BaseBitmap)), __LINE__, __FILE__, false);
  return p ? new (p) BaseBitmap : nullptr;
}

namespace {
std::atomic<Int64> g_pixelLimit{LOADBITMAP_MAX_PIXELS};
}

Bool TooManyPixels(Int64 w, Int64 h)
{
  return w <= 0 || h <= 0 || w > g_pixelLimit.load(std::memory_order_relaxed) ||
         w * h > g_pixelLimit.load(std::memory_order_relaxed);
}

} // namespace orxhost::detail

namespace orxhost {
void SetPixelLimit(Int64 pixels)
{
  detail::g_pixelLimit.store(pixels > 0 ? std::min(pixels, LOADBITMAP_MAX_PIXELS) : LOADBITMAP_MAX_PIXELS,
                             std::memory_order_relaxed);
}
} // namespace orxhost

namespace orxhost::detail {

} // namespace orxhost::detail

namespace {

using orxhost::detail::FitSize;
using orxhost::detail::TooManyPixels;

// Larger files are not read into memory.
constexpr Int64 kMaxFileBytes = Int64(1) << 30;
// What is read of a JPEG file first when only its size is asked for.
constexpr std::size_t kJpegHeadBytes = 64 * 1024;

// Reads a source image row by row and averages it down into a bitmap of at most maxSize.
class Shrinker
{
public:
  // Answers false when memory runs out.
  bool Init(Int32 sw, Int32 sh, Int32 maxSize, Int32 channels)
  {
    Int32 dw, dh;
    FitSize(sw, sh, maxSize, &dw, &dh);
    return InitTo(sw, sh, dw, dh, channels);
  }
  bool InitTo(Int32 sw, Int32 sh, Int32 dw, Int32 dh, Int32 channels)
  {
    sw_ = sw;
    sh_ = sh;
    ch_ = channels;
    dw_ = std::min(dw, sw);
    dh_ = std::min(dh, sh);
    out_ = orxhost::detail::NewBitmap();
    if (!out_ || !out_->Init(dw_, dh_, ch_))
      return false;
    direct_ = dw_ == sw_ && dh_ == sh_;
    if (!direct_) {
      sum_.assign(std::size_t(dw_) * std::size_t(dh_) * std::size_t(ch_), 0);
      xmap_.resize(std::size_t(sw_));
      for (Int32 x = 0; x < sw_; ++x)
        xmap_[std::size_t(x)] = Int32(Int64(x) * dw_ / sw_);
    }
    return true;
  }

  // row: sw pixels of the output's channels.
  void AddRow(Int32 y, const UChar* row)
  {
    if (y < 0 || y >= sh_)
      return;
    if (direct_) {
      std::memcpy(out_->Pixels() + std::size_t(y) * std::size_t(sw_) * std::size_t(ch_), row,
                  std::size_t(sw_) * std::size_t(ch_));
      return;
    }
    UInt64* line = sum_.data() + std::size_t(Int64(y) * dh_ / sh_) * std::size_t(dw_) * std::size_t(ch_);
    for (Int32 x = 0; x < sw_; ++x) {
      UInt64* d = line + std::size_t(xmap_[std::size_t(x)]) * std::size_t(ch_);
      for (Int32 c = 0; c < ch_; ++c)
        d[c] += row[std::size_t(x) * std::size_t(ch_) + std::size_t(c)];
    }
  }

  BaseBitmap* Finish()
  {
    if (!direct_) {
      // Source pixels per destination column and row.
      std::vector<UInt64> xs(std::size_t(dw_), 0), ys(std::size_t(dh_), 0);
      for (Int32 x = 0; x < sw_; ++x)
        ++xs[std::size_t(xmap_[std::size_t(x)])];
      for (Int32 y = 0; y < sh_; ++y)
        ++ys[std::size_t(Int64(y) * dh_ / sh_)];
      UChar* p = out_->Pixels();
      for (Int32 y = 0; y < dh_; ++y)
        for (Int32 x = 0; x < dw_; ++x) {
          const UInt64 n = std::max<UInt64>(1, xs[std::size_t(x)] * ys[std::size_t(y)]);
          const std::size_t i = (std::size_t(y) * std::size_t(dw_) + std::size_t(x)) * std::size_t(ch_);
          for (Int32 c = 0; c < ch_; ++c)
            p[i + std::size_t(c)] = UChar((sum_[i + std::size_t(c)] + n / 2) / n);
        }
    }
    return std::exchange(out_, nullptr);
  }

  ~Shrinker() { delete out_; }

private:
  Int32 sw_ = 0, sh_ = 0, dw_ = 0, dh_ = 0, ch_ = 3;
  bool direct_ = true;
  BaseBitmap* out_ = nullptr;
  std::vector<UInt64> sum_;
  std::vector<Int32> xmap_;
};

// Converts one row of n source channels (gray, gray and alpha, RGB, RGBA or more) to 3 or 4.
void ToOutput(const UChar* src, Int32 n, Int32 width, UChar* dst, Int32 outChannels)
{
  for (Int32 x = 0; x < width; ++x, src += n, dst += outChannels) {
    if (n >= 3) {
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[2];
    } else {
      dst[0] = dst[1] = dst[2] = src[0];
    }
    if (outChannels == 4)
      dst[3] = n == 2 ? src[1] : n >= 4 ? src[3] : 255;
  }
}

// ---------------------------------------------------------------------------------------------
// Sources: a file opened as a regular file, or bytes in memory.

struct Source
{
  int fd = -1;
  std::string name;            // for the suffix
  const UChar* data = nullptr; // memory source, or the file's bytes once read
  Int64 size = 0;
  std::vector<UChar> bytes;

  ~Source()
  {
    if (fd >= 0)
      ::close(fd);
  }
  std::string ProcPath() const { return "/proc/self/fd/" + std::to_string(fd); }
  // The whole size of the bytes or of the file; -1 when the file cannot tell.
  Int64 FileSize() const
  {
    if (fd < 0)
      return size;
    struct stat st;
    return ::fstat(fd, &st) == 0 ? Int64(st.st_size) : -1;
  }
  std::string Suffix() const
  {
    const std::size_t slash = name.rfind('/');
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
      return std::string();
    std::string s = name.substr(dot + 1);
    for (char& c : s)
      c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  // The first bytes, for telling formats apart.
  std::string Head(std::size_t n) const
  {
    if (data)
      return std::string(reinterpret_cast<const char*>(data), std::size_t(std::min<Int64>(size, Int64(n))));
    std::string s(n, '\0');
    const ssize_t r = ::pread(fd, s.data(), n, 0);
    s.resize(r > 0 ? std::size_t(r) : 0);
    return s;
  }
  // Reads the whole file into memory; false when it is too large or cannot be read.
  bool ReadAll()
  {
    if (data)
      return true;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size > kMaxFileBytes)
      return false;
    bytes.resize(std::size_t(st.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t r = ::pread(fd, bytes.data() + got, bytes.size() - got, off_t(got));
      if (r < 0 && errno == EINTR)
        continue;
      if (r <= 0)
        break;
      got += std::size_t(r);
    }
    bytes.resize(got);
    data = bytes.data();
    size = Int64(got);
    return true;
  }
};

enum class Reader { None, Jpeg, Oiio, Pixbuf };

struct Format
{
  Reader reader = Reader::None;
  const char* name = ""; // OpenImageIO format or gdk-pixbuf loader
};

bool Starts(const std::string& h, const char* magic, std::size_t n, std::size_t at = 0)
{
  return h.size() >= at + n && std::memcmp(h.data() + at, magic, n) == 0;
}

// The format by content first, then by suffix for formats without a signature. OpenImageIO's movie
// reader is never chosen: movies go to the movie service with its bounds.
Format Detect(const Source& s)
{
  const std::string h = s.Head(64);
  if (Starts(h, "\xFF\xD8\xFF", 3))
    return {Reader::Jpeg, "jpeg"};
  if (Starts(h, "\x89PNG\r\n\x1a\n", 8))
    return {Reader::Oiio, "png"};
  if (Starts(h, "II*\0", 4) || Starts(h, "MM\0*", 4) || Starts(h, "II+\0", 4) || Starts(h, "MM\0+", 4))
    return {Reader::Oiio, "tiff"};
  if (Starts(h, "\x76\x2f\x31\x01", 4))
    return {Reader::Oiio, "openexr"};
  if (Starts(h, "BM", 2))
    return {Reader::Oiio, "bmp"};
  if (Starts(h, "GIF8", 4))
    return {Reader::Oiio, "gif"};
  if (Starts(h, "8BPS", 4))
    return {Reader::Oiio, "psd"};
  if (Starts(h, "\x01\xDA", 2))
    return {Reader::Oiio, "sgi"};
  if (Starts(h, "FOR4", 4) || Starts(h, "FOR8", 4))
    return {Reader::Oiio, "iff"};
  if (Starts(h, "\0\0\0\x0CjP  ", 8) || Starts(h, "\xFF\x4F\xFF\x51", 4))
    return {Reader::Oiio, "jpeg2000"};
  if (Starts(h, "RIFF", 4) && Starts(h, "WEBP", 4, 8))
    return {Reader::Oiio, "webp"};
  if (Starts(h, "#?RADIANCE", 10) || Starts(h, "#?RGBE", 6))
    return {Reader::Oiio, "hdr"};
  if (Starts(h, "\x53\x80\xF6\x34", 4))
    return {Reader::Oiio, "softimage"};
  if (Starts(h, "/* XPM */", 9))
    return {Reader::Pixbuf, "xpm"};
  if (Starts(h, "idsc", 4, 4) || Starts(h, "idat", 4, 4))
    return {Reader::Pixbuf, "qtif"};
  const std::string x = s.Suffix();
  if (x == "tga" || x == "targa")
    return {Reader::Oiio, "targa"};
  if (x == "xbm" && Starts(h, "#define", 7))
    return {Reader::Pixbuf, "xbm"};
  if (x == "pbm" || x == "pgm" || x == "ppm" || x == "pnm")
    return {Reader::Oiio, "pnm"};
  if (x == "ico" && Starts(h, "\0\0\1\0", 4))
    return {Reader::Oiio, "ico"};
  return {};
}

// ---------------------------------------------------------------------------------------------
// TurboJPEG

struct TjHandle
{
  tjhandle h;
  explicit TjHandle(tjhandle handle) : h(handle) {}
  ~TjHandle()
  {
    if (h)
      tjDestroy(h);
  }
};

// Answers null with *fallBack set for colour models that TurboJPEG does not turn into RGB.
BaseBitmap* LoadJpeg(Source& s, Int32 maxSize, Int32* result, bool* fallBack, Int32* infoW = nullptr,
                     Int32* infoH = nullptr)
{
  *fallBack = false;
  TjHandle tj(tjInitDecompress());
  if (!tj.h)
    return nullptr;
  int w = 0, h = 0, subsamp = 0, colorspace = 0;
  // The size is in the segments before the picture data, almost always within the first bytes: the
  // whole file (megabytes of a photo) is read only when they do not hold it.
  if (infoW && !s.data) {
    // A handle of its own: one that failed on the head is not used again.
    TjHandle first(tjInitDecompress());
    const std::string head = s.Head(kJpegHeadBytes);
    if (first.h && tjDecompressHeader3(first.h, reinterpret_cast<const unsigned char*>(head.data()),
                            static_cast<unsigned long>(head.size()), &w, &h, &subsamp, &colorspace) == 0 &&
        w > 0 && h > 0) { // tables alone, without a frame, give no size
      if (TooManyPixels(w, h)) {
        *result = LOADBITMAP_TOOLARGE;
        return nullptr;
      }
      *infoW = w;
      *infoH = h;
      *result = LOADBITMAP_OK;
      return nullptr;
    }
  }
  if (!s.ReadAll() || s.size > 0xFFFFFFFFll)
    return nullptr;
  if (tjDecompressHeader3(tj.h, s.data, static_cast<unsigned long>(s.size), &w, &h, &subsamp, &colorspace) != 0)
    return nullptr;
  if (TooManyPixels(w, h)) {
    *result = LOADBITMAP_TOOLARGE;
    return nullptr;
  }
  if (infoW) {
    *infoW = w;
    *infoH = h;
    *result = LOADBITMAP_OK;
    return nullptr;
  }
  if (colorspace == TJCS_CMYK || colorspace == TJCS_YCCK) {
    *fallBack = true;
    return nullptr;
  }
  Int32 dw, dh;
  FitSize(w, h, maxSize, &dw, &dh);
  // The smallest DCT scaling that still gives at least the wanted size; the rest is averaged.
  int count = 0;
  tjscalingfactor* factors = tjGetScalingFactors(&count);
  int sw = w, sh = h;
  for (int i = 0; factors && i < count; ++i) {
    const tjscalingfactor f = factors[i];
    if (f.num > f.denom)
      continue;
    const int fw = TJSCALED(w, f), fh = TJSCALED(h, f);
    if (fw >= dw && fh >= dh && Int64(fw) * fh < Int64(sw) * sh) {
      sw = fw;
      sh = fh;
    }
  }
  std::vector<UChar> rgb;
  rgb.resize(std::size_t(sw) * std::size_t(sh) * 3);
  // A warning (a truncated file above all) is a failure: a half-grey picture is no preview.
  if (tjDecompress2(tj.h, s.data, static_cast<unsigned long>(s.size), rgb.data(), sw, 0, sh, TJPF_RGB,
                    TJFLAG_STOPONWARNING) != 0)
    return nullptr;
  Shrinker shrink;
  if (!shrink.InitTo(sw, sh, dw, dh, 3))
    return nullptr;
  for (int y = 0; y < sh; ++y)
    shrink.AddRow(y, rgb.data() + std::size_t(y) * std::size_t(sw) * 3);
  *result = LOADBITMAP_OK;
  return shrink.Finish();
}

// ---------------------------------------------------------------------------------------------
// OpenImageIO

// Readers that allocate their whole canvas while opening (GIF), or may: the size their header claims,
// checked before they are opened.
bool HeaderClaimsTooMuch(const Source& s, const char* format)
{
  const std::string h = s.Head(32);
  auto u8 = [&](std::size_t i) { return Int64(UChar(h[i])); };
  // Empty sizes are the reader's to refuse as damage.
  auto TooManyPixels = [](Int64 w, Int64 hh) { return w > 0 && hh > 0 && orxhost::detail::TooManyPixels(w, hh); };
  if (std::strcmp(format, "gif") == 0 && h.size() >= 10)
    return TooManyPixels(u8(6) | (u8(7) << 8), u8(8) | (u8(9) << 8));
  if (std::strcmp(format, "psd") == 0 && h.size() >= 22)
    return TooManyPixels((u8(18) << 24) | (u8(19) << 16) | (u8(20) << 8) | u8(21),
                         (u8(14) << 24) | (u8(15) << 16) | (u8(16) << 8) | u8(17));
  if (std::strcmp(format, "bmp") == 0 && h.size() >= 26) {
    const Int64 w = Int32(UInt32(u8(18) | (u8(19) << 8) | (u8(20) << 16) | (u8(21) << 24)));
    const Int64 hh = Int32(UInt32(u8(22) | (u8(23) << 8) | (u8(24) << 16) | (u8(25) << 24)));
    return TooManyPixels(w < 0 ? -w : w, hh < 0 ? -hh : hh);
  }
  return false;
}

// The BMP reader seeks to the pixel offset of the file header and reads from wherever it lands when
// the seek fails: an offset inside the headers or outside the file is damage, not a picture.
bool BmpPixelsWithinFile(const Source& s)
{
  const Int64 fileSize = s.FileSize();
  if (fileSize < 0)
    return false;
  const std::string h = s.Head(18);
  if (h.size() < 18)
    return false;
  auto u32 = [&](std::size_t i) {
    return Int64(UChar(h[i])) | (Int64(UChar(h[i + 1])) << 8) | (Int64(UChar(h[i + 2])) << 16) |
           (Int64(UChar(h[i + 3])) << 24);
  };
  const Int64 pixels = u32(10), infoHeader = u32(14);
  return pixels >= 14 + infoHeader && pixels < fileSize;
}

// OpenEXR allocates each header attribute at the size the file claims before reading it: a few bytes
// claiming gigabytes would take them. The headers are walked here first; every attribute must lie
// within the file.
bool ExrHeadersFit(const Source& s)
{
  const Int64 fileSize = s.FileSize();
  if (fileSize < 0)
    return false;
  const std::string h = s.Head(std::size_t(std::min<Int64>(fileSize, 4 << 20)));
  if (h.size() < 8)
    return false;
  const bool multipart = (UChar(h[5]) & 0x10) != 0;
  // Without the long-names flag the library stops a name after 31 characters and reads on from there
  // as if the rest were the type and size: a longer name is damage, never a different walk.
  const std::size_t longestName = (UChar(h[5]) & 0x04) != 0 ? 255 : 31;
  std::size_t at = 8;
  auto cstring = [&](std::string* out) {
    const std::size_t end = h.find('\0', at);
    if (end == std::string::npos || end - at > longestName)
      return false;
    *out = h.substr(at, end - at);
    at = end + 1;
    return true;
  };
  for (int headers = 0; headers < 1000; ++headers) {
    int attributes = 0;
    for (;;) {
      std::string name, type;
      if (!cstring(&name))
        return false;
      if (name.empty())
        break; // end of this header
      if (!cstring(&type) || at + 4 > h.size())
        return false;
      const UInt32 size = UInt32(UChar(h[at])) | (UInt32(UChar(h[at + 1])) << 8) | (UInt32(UChar(h[at + 2])) << 16) |
                          (UInt32(UChar(h[at + 3])) << 24);
      at += 4;
      if (Int64(size) > fileSize - Int64(at) || at + size > h.size())
        return false;
      at += size;
      ++attributes;
    }
    if (!multipart || attributes == 0)
      return attributes > 0 || headers > 0;
  }
  return false;
}

// Linear light to 8-bit sRGB through a table of 4096 steps: finer than the 8-bit result needs where
// the curve is steep, and no power function per value.
struct SrgbTable
{
  static constexpr int kSteps = 4096;
  UChar v[kSteps + 1];
  SrgbTable()
  {
    for (int i = 0; i <= kSteps; ++i) {
      const float x = float(i) / kSteps;
      const float s = x <= 0.0031308f ? x * 12.92f : 1.055f * std::pow(x, 1.0f / 2.4f) - 0.055f;
      v[i] = UChar(std::lround(s * 255.0f));
    }
  }
};

UChar LinearToSrgb(float x)
{
  static const SrgbTable table;
  if (!(x > 0.0f))
    return 0;
  if (x >= 1.0f)
    return 255;
  return table.v[int(x * SrgbTable::kSteps + 0.5f)];
}

// The callers are worker threads already (one per browser window, the search): a decode runs on the
// thread that asks for it, without pools of the library's own.
void SingleThreadedLibraries()
{
  static std::once_flag once;
  std::call_once(once, [] {
    OIIO::attribute("threads", 1);
    OIIO::attribute("exr_threads", 1);
  });
}

BaseBitmap* LoadOiio(Source& s, const char* format, Int32 maxSize, Int32* result, Int32* infoW = nullptr,
                     Int32* infoH = nullptr)
{
  SingleThreadedLibraries();
  if (std::strcmp(format, "openexr") == 0 && !ExrHeadersFit(s))
    return nullptr;
  if (HeaderClaimsTooMuch(s, format)) {
    *result = LOADBITMAP_TOOLARGE;
    return nullptr;
  }
  if (std::strcmp(format, "bmp") == 0 && !BmpPixelsWithinFile(s))
    return nullptr;
  auto in = OIIO::ImageInput::create(format);
  // The library keeps every error message of a thread until it is asked for them: unasked, damaged
  // files would make them grow without end.
  struct ClearErrors
  {
    OIIO::ImageInput* in;
    ~ClearErrors()
    {
      if (in)
        (void)in->geterror();
      (void)OIIO::geterror();
    }
  } clearErrors{in.get()};
  if (!in)
    return nullptr;
  std::unique_ptr<orxhost::detail::BoundedMemoryReader> proxy;
  std::string path;
  if (s.fd < 0) {
    if (!in->supports("ioproxy"))
      return nullptr;
    proxy = std::make_unique<orxhost::detail::BoundedMemoryReader>(s.data, std::size_t(s.size));
    if (!in->set_ioproxy(proxy.get()))
      return nullptr;
    path = std::string("memory.") + format;
  } else {
    // The descriptor names the file that was checked to be a regular one.
    path = s.ProcPath();
  }
  OIIO::ImageSpec header;
  if (!in->open(path, header)) {
    (void)in->geterror();
    return nullptr;
  }
  const Int32 nc = header.nchannels;
  // A tile is decoded whole by the reader: its claimed size counts as much as the picture's.
  const bool hugeTile = header.tile_width > 0 && TooManyPixels(header.tile_width, std::max(1, header.tile_height));
  if (header.depth > 1 || nc <= 0 || nc > 64 || TooManyPixels(header.width, header.height) || hugeTile) {
    if (nc > 0 && header.width > 0 && header.height > 0 && (TooManyPixels(header.width, header.height) || hugeTile))
      *result = LOADBITMAP_TOOLARGE;
    in->close();
    return nullptr;
  }
  if (infoW) {
    *infoW = header.width;
    *infoH = header.height;
    *result = LOADBITMAP_OK;
    in->close();
    return nullptr;
  }
  const bool floating = header.format.basetype == OIIO::TypeDesc::FLOAT || header.format.basetype == OIIO::TypeDesc::HALF;
  const Int32 outChannels = (header.alpha_channel >= 0 || nc == 2 || nc == 4) ? 4 : 3;
  Shrinker shrink;
  if (!shrink.Init(header.width, header.height, maxSize, outChannels))
    return nullptr;
  // Strips of whole tiles or of scanlines, so that only a strip is held besides the result.
  const Int32 stripH = std::min(header.height, header.tile_width > 0 ? std::max(1, header.tile_height) : 64);
  const std::size_t rowValues = std::size_t(header.width) * std::size_t(nc);
  std::vector<float> fstrip;
  std::vector<UChar> strip, row8, out(std::size_t(header.width) * std::size_t(outChannels));
  if (floating) {
    fstrip.resize(rowValues * std::size_t(stripH));
    row8.resize(rowValues);
  } else {
    strip.resize(rowValues * std::size_t(stripH));
  }
  const OIIO::TypeDesc type = floating ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8;
  void* buffer = floating ? static_cast<void*>(fstrip.data()) : static_cast<void*>(strip.data());
  for (Int32 y0 = 0; y0 < header.height; y0 += stripH) {
    const Int32 y1 = std::min(header.height, y0 + stripH);
    const bool ok = header.tile_width > 0
                        ? in->read_tiles(0, 0, header.x, header.x + header.width, header.y + y0, header.y + y1, header.z,
                                         header.z + 1, 0, nc, type, buffer)
                        : in->read_scanlines(0, 0, header.y + y0, header.y + y1, header.z, 0, nc, type, buffer);
    if (!ok) {
      (void)in->geterror();
      return nullptr;
    }
    for (Int32 y = y0; y < y1; ++y) {
      const UChar* src;
      if (floating) {
        const float* f = fstrip.data() + std::size_t(y - y0) * rowValues;
        for (std::size_t i = 0; i < rowValues; ++i) {
          // Alpha stays linear; colours are encoded for showing.
          const bool alpha = Int32(i % std::size_t(nc)) == header.alpha_channel;
          row8[i] = alpha ? UChar(std::lround(std::clamp(f[i], 0.0f, 1.0f) * 255.0f)) : LinearToSrgb(f[i]);
        }
        src = row8.data();
      } else {
        src = strip.data() + std::size_t(y - y0) * rowValues;
      }
      ToOutput(src, nc, header.width, out.data(), outChannels);
      shrink.AddRow(y, out.data());
    }
  }
  in->close();
  *result = LOADBITMAP_OK;
  return shrink.Finish();
}

// ---------------------------------------------------------------------------------------------
// gdk-pixbuf, for X pixmaps and bitmaps and QuickTime images

struct PixbufSize
{
  bool tooLarge = false;
  int w = 0, h = 0;
};

void OnSizePrepared(GdkPixbufLoader* loader, int w, int h, gpointer data)
{
  auto* size = static_cast<PixbufSize*>(data);
  size->w = w;
  size->h = h;
  if (TooManyPixels(w, h)) {
    size->tooLarge = true;
    // Nothing of the claimed size is allocated.
    gdk_pixbuf_loader_set_size(loader, 1, 1);
  }
}

BaseBitmap* LoadPixbuf(Source& s, const char* type, Int32 maxSize, Int32* result, Int32* infoW = nullptr,
                       Int32* infoH = nullptr)
{
  if (!s.ReadAll())
    return nullptr;
  GError* err = nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(type, &err);
  if (!loader) {
    g_clear_error(&err);
    return nullptr;
  }
  PixbufSize size;
  g_signal_connect(loader, "size-prepared", G_CALLBACK(OnSizePrepared), &size);
  const bool wrote = gdk_pixbuf_loader_write(loader, s.data, gsize(s.size), &err);
  g_clear_error(&err);
  const bool closed = gdk_pixbuf_loader_close(loader, &err);
  g_clear_error(&err);
  GdkPixbuf* pb = wrote && closed && !size.tooLarge ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
  BaseBitmap* bmp = nullptr;
  if (size.tooLarge) {
    *result = LOADBITMAP_TOOLARGE;
  } else if (pb && gdk_pixbuf_get_bits_per_sample(pb) == 8) {
    const int w = gdk_pixbuf_get_width(pb), h = gdk_pixbuf_get_height(pb);
    const int n = gdk_pixbuf_get_n_channels(pb), stride = gdk_pixbuf_get_rowstride(pb);
    if (infoW) {
      *infoW = w;
      *infoH = h;
      *result = LOADBITMAP_OK;
    } else {
      const Int32 outChannels = gdk_pixbuf_get_has_alpha(pb) ? 4 : 3;
      Shrinker shrink;
      if (shrink.Init(w, h, maxSize, outChannels)) {
        std::vector<UChar> out(std::size_t(w) * std::size_t(outChannels));
        const guchar* px = gdk_pixbuf_read_pixels(pb);
        for (int y = 0; y < h; ++y) {
          ToOutput(px + std::size_t(y) * std::size_t(stride), n, w, out.data(), outChannels);
          shrink.AddRow(y, out.data());
        }
        bmp = shrink.Finish();
        *result = LOADBITMAP_OK;
      }
    }
  }
  g_object_unref(loader);
  return bmp;
}

// ---------------------------------------------------------------------------------------------

BaseBitmap* LoadSource(Source& s, Int32 maxSize, Int32* result, Int32* infoW = nullptr, Int32* infoH = nullptr)
{
  Int32 code = LOADBITMAP_FAILED;
  BaseBitmap* bmp = nullptr;
  try {
    const Format f = Detect(s);
    switch (f.reader) {
      case Reader::Jpeg: {
        bool fallBack = false;
        bmp = LoadJpeg(s, maxSize, &code, &fallBack, infoW, infoH);
        if (fallBack)
          bmp = LoadOiio(s, "jpeg", maxSize, &code, infoW, infoH);
        break;
      }
      case Reader::Oiio: bmp = LoadOiio(s, f.name, maxSize, &code, infoW, infoH); break;
      case Reader::Pixbuf: bmp = LoadPixbuf(s, f.name, maxSize, &code, infoW, infoH); break;
      case Reader::None:
        // No picture format: a movie gives its representative frame.
        if (s.fd >= 0)
          bmp = orxhost::detail::MovieFrameOfFile(s.fd, s.name, maxSize, &code, infoW, infoH);
        break;
    }
  } catch (...) {
    delete bmp;
    bmp = nullptr;
    code = LOADBITMAP_FAILED;
  }
  if (!bmp && code == LOADBITMAP_OK && !infoW)
    code = LOADBITMAP_FAILED;
  if (result)
    *result = code;
  return bmp;
}

bool OpenSource(const Filename* name, Source* s)
{
  if (!name)
    return false;
  s->name = orxhost::detail::SystemPath(name);
  if (s->name.empty())
    return false;
  s->fd = orxhost::detail::OpenRegularFile(s->name, O_RDONLY);
  return s->fd >= 0;
}

BaseBitmap* Load(const Filename* name, Int32 maxSize, Int32* result)
{
  Source s;
  if (!OpenSource(name, &s)) {
    if (result)
      *result = LOADBITMAP_NOTFOUND;
    return nullptr;
  }
  return LoadSource(s, maxSize, result);
}

BaseBitmap* LoadMemory(const void* data, Int64 size, Int32 maxSize, Int32* result)
{
  if (!data || size <= 0) {
    if (result)
      *result = LOADBITMAP_FAILED;
    return nullptr;
  }
  Source s;
  s.data = static_cast<const UChar*>(data);
  s.size = size;
  return LoadSource(s, maxSize, result);
}

Bool Info(const Filename* name, Int32* width, Int32* height)
{
  Source s;
  if (!OpenSource(name, &s))
    return false;
  Int32 w = 0, h = 0, code = LOADBITMAP_FAILED;
  LoadSource(s, 0, &code, &w, &h);
  if (code != LOADBITMAP_OK || w <= 0 || h <= 0)
    return false;
  if (width)
    *width = w;
  if (height)
    *height = h;
  return true;
}

BaseBitmap* Scale(const BaseBitmap* src, Int32 width, Int32 height)
{
  if (!src || src->IsEmpty() || width <= 0 || height <= 0 || TooManyPixels(width, height))
    return nullptr;
  try {
    SingleThreadedLibraries();
    const int ch = src->GetChannels();
    OIIO::ImageSpec inLayout(src->GetWidth(), src->GetHeight(), ch, OIIO::TypeDesc::UINT8);
    OIIO::ImageBuf in(inLayout, const_cast<UChar*>(src->Pixels()));
    OIIO::ImageBuf out(OIIO::ImageSpec(width, height, ch, OIIO::TypeDesc::UINT8));
    if (!OIIO::ImageBufAlgo::resize(out, in)) {
      (void)out.geterror();
      (void)OIIO::geterror();
      return nullptr;
    }
    std::unique_ptr<BaseBitmap> bmp(orxhost::detail::NewBitmap());
    if (!bmp || !bmp->Init(width, height, ch))
      return nullptr;
    if (!out.get_pixels(OIIO::ROI(0, width, 0, height, 0, 1, 0, ch), OIIO::TypeDesc::UINT8, bmp->Pixels()))
      return nullptr;
    return bmp.release();
  } catch (...) {
    return nullptr;
  }
}

// Writes bytes to a regular file (made when missing), replacing its content.
bool WriteBytes(const Filename* name, const std::vector<UChar>& bytes)
{
  const std::string path = orxhost::detail::SystemPath(name);
  if (path.empty())
    return false;
  const int fd = orxhost::detail::OpenRegularFile(path, O_WRONLY | O_CREAT);
  if (fd < 0)
    return false;
  bool ok = ::ftruncate(fd, 0) == 0;
  std::size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (w < 0 && errno == EINTR)
      continue;
    ok = w > 0;
    done += ok ? std::size_t(w) : 0;
  }
  return ::close(fd) == 0 && ok;
}

Bool Save(const BaseBitmap* bmp, const Filename* name, Int32 format, Int32 quality)
{
  if (!bmp || bmp->IsEmpty() || !name)
    return false;
  try {
    std::vector<UChar> bytes;
    const int w = bmp->GetWidth(), h = bmp->GetHeight(), ch = bmp->GetChannels();
    if (format == SAVEBITMAP_JPEG) {
      TjHandle tj(tjInitCompress());
      unsigned char* jpeg = nullptr;
      unsigned long size = 0;
      if (!tj.h || tjCompress2(tj.h, bmp->Pixels(), w, 0, h, ch == 4 ? TJPF_RGBX : TJPF_RGB, &jpeg, &size,
                               TJSAMP_420, std::clamp(quality, 1, 100), 0) != 0) {
        tjFree(jpeg);
        return false;
      }
      bytes.assign(jpeg, jpeg + size);
      tjFree(jpeg);
    } else if (format == SAVEBITMAP_PNG) {
      auto out = OIIO::ImageOutput::create("png");
      if (!out || !out->supports("ioproxy"))
        return false;
      OIIO::Filesystem::IOVecOutput proxy(bytes);
      if (!out->set_ioproxy(&proxy))
        return false;
      OIIO::ImageSpec header(w, h, ch, OIIO::TypeDesc::UINT8);
      const bool written =
          out->open("memory.png", header) && out->write_image(OIIO::TypeDesc::UINT8, bmp->Pixels()) && out->close();
      (void)out->geterror();
      (void)OIIO::geterror();
      if (!written)
        return false;
    } else {
      return false;
    }
    return WriteBytes(name, bytes);
  } catch (...) {
    return false;
  }
}

} // namespace

namespace orxhost::detail {
const OrxImageTable kImageTable = {1, sizeof(OrxImageTable), Load, LoadMemory, Info, Scale, Save};
} // namespace orxhost::detail
