// gtest main for every test program: the host table installed, ORXHOST_HOME in a fresh folder.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "orxtest.h"

namespace {
std::string g_home;
int g_counter = 0;
} // namespace

namespace orxtest {

Filename HomeDir() { return Filename(String(g_home)); }

Filename TempDir()
{
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "global";
  for (char& c : name)
    if (c == '/')
      c = '_';
  std::string dir = g_home + "/tmp/" + name + "-" + std::to_string(++g_counter);
  std::filesystem::create_directories(dir);
  return Filename(String(dir));
}

bool WriteFile(const Filename& f, const std::string& bytes)
{
  std::filesystem::path p(f.ToUtf8());
  if (p.has_parent_path())
    std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(out);
}

std::string ReadFile(const Filename& f)
{
  std::ifstream in(f.ToUtf8(), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

NoLeaks::NoLeaks() : before_(orxhost::LiveBlockCount()) {}
NoLeaks::~NoLeaks()
{
  Int64 after = orxhost::LiveBlockCount();
  EXPECT_EQ(after, before_) << "host memory blocks leaked";
  if (after > before_)
    orxhost::PrintLiveBlocks(stderr, 20);
}

} // namespace orxtest

int main(int argc, char** argv)
{
  char tmpl[] = "/tmp/orxtest-XXXXXX";
  const char* dir = ::mkdtemp(tmpl);
  if (!dir)
    return 2;
  g_home = dir;
  ::setenv("ORXHOST_HOME", dir, 1);
  // The module's resource folder, also when a test program is run by hand rather than by ctest.
  ::setenv("ORX_TEST_RES", ORX_TEST_RES_DIR, 0);
  orxhost::InstallForThisProcess();
  ::testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(g_home, ec);
  return rc;
}
