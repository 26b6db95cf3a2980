// Test support: every test program runs with the host table installed and ORXHOST_HOME pointing at
// a fresh temporary folder, so nothing outside it is touched.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "orx/orx.h"
#include "services/host.h"

namespace orxtest {

// A fresh, empty folder for the calling test (removed when the program ends).
Filename TempDir();
// The ORXHOST_HOME of this test program.
Filename HomeDir();
// Writes bytes to a file (creating parent folders); false on failure.
bool WriteFile(const Filename& f, const std::string& bytes);
std::string ReadFile(const Filename& f);

// Expects, when it goes out of scope, exactly as many live host blocks as when it was made.
class NoLeaks
{
public:
  NoLeaks();
  ~NoLeaks();

private:
  Int64 before_;
};

// While it lives, host allocations fail from the nth one on (1 = the next), on every thread. Blocks
// taken before are freed as usual. Only one at a time.
class HostMemoryFails
{
public:
  explicit HostMemoryFails(Int64 fromNth = 1);
  ~HostMemoryFails();
  HostMemoryFails(const HostMemoryFails&) = delete;
  HostMemoryFails& operator=(const HostMemoryFails&) = delete;
  // Allocations refused so far.
  Int64 Refused() const;
};

} // namespace orxtest

// gtest printing of host strings.
inline void PrintTo(const String& s, std::ostream* os) { *os << '"' << s.ToUtf8() << '"'; }
