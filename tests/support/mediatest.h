// Pictures and movies made for tests by the command-line tools of the field (ImageMagick,
// OpenImageIO's oiiotool, FFmpeg), and what tests measure on the bitmaps they give.
#pragma once

#include <cstdlib>
#include <string>

#include "orx/bitmap.h"
#include "orx/filename.h"

namespace mediatest {

inline bool HaveTool(const char* tool)
{
  return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command quietly; true when it succeeded.
inline bool Shell(const std::string& command)
{
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string Quoted(const Filename& f) { return "'" + f.ToUtf8() + "'"; }

struct Mean
{
  double r = 0, g = 0, b = 0;
};

inline Mean MeanColour(const BaseBitmap& bmp)
{
  Mean m;
  const Int64 n = Int64(bmp.GetWidth()) * bmp.GetHeight();
  if (n <= 0)
    return m;
  for (Int32 y = 0; y < bmp.GetHeight(); ++y)
    for (Int32 x = 0; x < bmp.GetWidth(); ++x) {
      UChar r, g, b;
      bmp.GetPixel(x, y, &r, &g, &b);
      m.r += r;
      m.g += g;
      m.b += b;
    }
  m.r /= double(n);
  m.g /= double(n);
  m.b /= double(n);
  return m;
}

} // namespace mediatest

#define MEDIATEST_NEED(tool)                                                                                          \
  do {                                                                                                                 \
    if (!mediatest::HaveTool(tool))                                                                                    \
      GTEST_SKIP() << tool << " is not installed";                                                                     \
  } while (0)
