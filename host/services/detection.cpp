// Detection of a file's kind from its first bytes and its name: the host's own formats by their
// signatures, foreign scene formats by theirs, and common media by libmagic.
#include <fcntl.h>
#include <magic.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "orx/filesignatures.h"
#include "orx/media.h"

namespace {

// Bytes looked at beyond the given header when the caller allows reading the file.
constexpr std::size_t kMoreBytes = 64 << 10;

bool Starts(const UChar* h, Int32 size, const char* magic, std::size_t n, std::size_t at = 0)
{
  return size >= 0 && std::size_t(size) >= at + n && std::memcmp(h + at, magic, n) == 0;
}

UInt32 Code(const UChar* h, Int32 size)
{
  return size >= 4 ? (UInt32(h[0]) << 24) | (UInt32(h[1]) << 16) | (UInt32(h[2]) << 8) | UInt32(h[3]) : 0;
}

std::string LowerSuffix(const Filename* name)
{
  std::string s = name ? name->GetSuffix().ToUtf8() : std::string();
  for (char& c : s)
    c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Text of a script: no NUL and no other control bytes than white space.
bool LooksLikeText(const UChar* h, Int32 size)
{
  for (Int32 i = 0; i < size; ++i) {
    const UChar c = h[i];
    if (c == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f'))
      return false;
  }
  return true;
}

// The host's own formats and the foreign scene formats that the host imports.
Int32 BySignature(const Filename* name, const UChar* h, Int32 size)
{
  switch (Code(h, size)) {
    case FILESIG_SCENE: return DETECT_SCENE;
    case FILESIG_KORVEX: return DETECT_KORVEX;
    case FILESIG_LAYOUT: return DETECT_LAYOUT;
    case FILESIG_LIBRARY: return DETECT_LIBRARY;
    default: break;
  }
  if (Starts(h, size, "Kaydara FBX Binary", 18) || Starts(h, size, "; FBX ", 6))
    return DETECT_SCENE;
  if (Starts(h, size, "FORM", 4) && (Starts(h, size, "LWO2", 4, 8) || Starts(h, size, "LWOB", 4, 8)))
    return DETECT_SCENE;
  if (Starts(h, size, "LWSC", 4) || Starts(h, size, "#VRML", 5))
    return DETECT_SCENE;
  const std::string suffix = LowerSuffix(name);
  // 3D Studio: a main chunk 0x4D4D whose length is plausible; STL text starts with "solid".
  if (suffix == "3ds" && Starts(h, size, "\x4D\x4D", 2))
    return DETECT_SCENE;
  if (suffix == "stl" && (Starts(h, size, "solid", 5) || size >= 84))
    return DETECT_SCENE;
  if (suffix == "osc" && size > 0 && LooksLikeText(h, size))
    return DETECT_SCRIPT;
  return 0;
}

// One libmagic handle per thread: a handle must not be used by two threads at once.
struct Magic
{
  magic_t cookie = nullptr;
  bool tried = false;
  ~Magic()
  {
    if (cookie)
      magic_close(cookie);
  }
  magic_t Get()
  {
    if (!tried) {
      tried = true;
      cookie = magic_open(MAGIC_MIME_TYPE | MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_CHECK_TAR | MAGIC_NO_CHECK_ENCODING |
                          MAGIC_NO_CHECK_CDF | MAGIC_NO_CHECK_ELF);
      if (cookie && magic_load(cookie, nullptr) != 0) {
        magic_close(cookie);
        cookie = nullptr;
      }
    }
    return cookie;
  }
};

std::string MimeOf(const UChar* h, std::size_t size)
{
  thread_local Magic magic;
  magic_t m = magic.Get();
  if (!m || size == 0)
    return std::string();
  const char* type = magic_buffer(m, h, size);
  return type ? std::string(type) : std::string();
}

Int32 ByMime(const std::string& mime)
{
  auto starts = [&](const char* p) { return mime.rfind(p, 0) == 0; };
  if (starts("image/"))
    return DETECT_IMAGE;
  if (starts("video/") || mime == "application/x-shockwave-flash" || mime == "application/vnd.adobe.flash.movie")
    return DETECT_MOVIE;
  if (starts("audio/"))
    return DETECT_SOUND;
  return 0;
}

Int32 Identify(const Filename* name, const void* header, Int32 size, Int32 mask)
{
  try {
    const auto* h = static_cast<const UChar*>(header);
    if (!h || size <= 0)
      return 0;
    Int32 kind = BySignature(name, h, size);
    if (!kind)
      kind = ByMime(MimeOf(h, std::size_t(size)));
    if (!kind && !(mask & DETECT_QUICK) && name) {
      // Some containers say what they hold only further in.
      const std::string path = orxhost::detail::SystemPath(name);
      const int fd = path.empty() ? -1 : orxhost::detail::OpenRegularFile(path, O_RDONLY);
      if (fd >= 0) {
        std::vector<UChar> more(kMoreBytes);
        const ssize_t r = ::pread(fd, more.data(), more.size(), 0);
        ::close(fd);
        if (r > size)
          kind = ByMime(MimeOf(more.data(), std::size_t(r)));
      }
    }
    return kind & mask & ~DETECT_QUICK;
  } catch (...) {
    return 0;
  }
}

} // namespace

namespace orxhost::detail {
const OrxDetectTable kDetectTable = {1, sizeof(OrxDetectTable), Identify};
} // namespace orxhost::detail
