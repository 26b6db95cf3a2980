// Bytes in memory as a stream for OpenImageIO's readers. The library's own memory reader trusts the
// offsets it is given, and readers take offsets from the file: a negative one made it copy from before
// the buffer. Here every offset outside the bytes reads nothing and a seek before the start fails.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <OpenImageIO/filesystem.h>

namespace orxhost::detail {

class BoundedMemoryReader final : public OIIO_NAMESPACE::Filesystem::IOMemReader
{
public:
  BoundedMemoryReader(const void* bytes, size_t size) : IOMemReader(bytes, size) {}
  using IOProxy::seek; // from the end or the current place, through the checked seek below

  bool seek(int64_t offset) override
  {
    if (offset < 0)
      return false;
    m_pos = offset;
    return true;
  }
  size_t pread(void* buf, size_t size, int64_t offset) override
  {
    if (offset < 0 || uint64_t(offset) >= uint64_t(m_buf.size()) || !buf)
      return 0;
    const size_t n = std::min(size, m_buf.size() - size_t(offset));
    std::memcpy(buf, m_buf.data() + offset, n);
    return n;
  }
  size_t read(void* buf, size_t size) override
  {
    const size_t n = pread(buf, size, m_pos);
    m_pos += int64_t(n);
    return n;
  }
};

} // namespace orxhost::detail
