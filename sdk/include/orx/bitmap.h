// BaseBitmap: an image in memory (RGB or RGBA, 8 bits per channel). Loading, saving and scaling
// go through the host's image service.
#pragma once

#include "orx/container.h"

class BaseBitmap
{
public:
  ORX_HOST_ALLOCATED

  BaseBitmap() = default;
  Bool Init(Int32 width, Int32 height, Int32 channels = 3);
  Int32 GetWidth() const { return width_; }
  Int32 GetHeight() const { return height_; }
  Int32 GetChannels() const { return channels_; }
  Bool IsEmpty() const { return width_ == 0 || height_ == 0; }
  UChar* Pixels() { return pixels_.data(); }
  const UChar* Pixels() const { return pixels_.data(); }
  void SetPixel(Int32 x, Int32 y, UChar r, UChar g, UChar b);
  void GetPixel(Int32 x, Int32 y, UChar* r, UChar* g, UChar* b) const;
  // A copy owned by the caller (host memory); null when out of memory.
  BaseBitmap* GetClone() const;
  Bool operator==(const BaseBitmap& o) const = default;

private:
  Int32 width_ = 0, height_ = 0, channels_ = 0;
  ByteArray pixels_;
};
