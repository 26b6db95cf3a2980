#include "orx/bitmap.h"

Bool BaseBitmap::Init(Int32 width, Int32 height, Int32 channels)
{
  if (width < 0 || height < 0 || (channels != 3 && channels != 4))
    return false;
  width_ = width;
  height_ = height;
  channels_ = channels;
  pixels_.assign(std::size_t(width) * std::size_t(height) * std::size_t(channels), 0);
  return true;
}

void BaseBitmap::SetPixel(Int32 x, Int32 y, UChar r, UChar g, UChar b)
{
  if (x < 0 || y < 0 || x >= width_ || y >= height_)
    return;
  UChar* p = &pixels_[(std::size_t(y) * std::size_t(width_) + std::size_t(x)) * std::size_t(channels_)];
  p[0] = r;
  p[1] = g;
  p[2] = b;
}

void BaseBitmap::GetPixel(Int32 x, Int32 y, UChar* r, UChar* g, UChar* b) const
{
  *r = *g = *b = 0;
  if (x < 0 || y < 0 || x >= width_ || y >= height_)
    return;
  const UChar* p = &pixels_[(std::size_t(y) * std::size_t(width_) + std::size_t(x)) * std::size_t(channels_)];
  *r = p[0];
  *g = p[1];
  *b = p[2];
}

BaseBitmap* BaseBitmap::GetClone() const { return new BaseBitmap(*this); }
