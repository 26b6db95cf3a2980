// Foreign scene files through the importer: real models that nobody here wrote either become
// documents of objects with meshes, or are refused with a reason; damaged, oversized and slow reads
// are refused, never a crash.
#include <filesystem>
#include <cctype>
#include <fstream>

#include "orxtest.h"
#include "scenetest.h"

namespace sc = orxhost::scene;
namespace fs = std::filesystem;

namespace {
const char kModels[] = "/usr/share/assimp/models";

using orxtest::HasMesh;
} // namespace

TEST(Import, RealModelsOfEachKindImportWithMeshesOrAreRefusedWithAReason)
{
  if (!fs::is_directory(kModels))
    GTEST_SKIP() << "the importer's test models are not installed (scripts/setup)";
  for (const char* kind : {"FBX", "3DS", "STL", "LWO", "LWS", "OBJ"}) {
    SCOPED_TRACE(kind);
    int imported = 0, refused = 0;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(kModels) / kind, ec)) {
      if (!entry.is_regular_file(ec) || entry.is_symlink(ec))
        continue;
      std::string ext = entry.path().extension().string();
      for (char& c : ext)
        c = char(std::tolower(static_cast<unsigned char>(c)));
      // The models, not their pictures and material files.
      if (ext != ".fbx" && ext != ".3ds" && ext != ".stl" && ext != ".lwo" && ext != ".lws" && ext != ".obj")
        continue;
      SCOPED_TRACE(entry.path().string());
      std::string error;
      auto doc = sc::ImportFile(entry.path().string(), Int64(64) << 20, 20000, &error);
      if (doc) {
        ++imported;
        EXPECT_TRUE(HasMesh(doc->roots[SCENELIST_OBJECTS])) << "imported without a mesh";
        std::vector<UChar> bytes;
        EXPECT_TRUE(sc::SaveToMemory(*doc, &bytes));
      } else {
        ++refused;
        EXPECT_FALSE(error.empty());
      }
    }
    EXPECT_GT(imported, 0) << refused << " refused, none imported";
  }
}

TEST(Import, DamagedOversizedAndMissingFilesAreRefused)
{
  const Filename dir = orxtest::TempDir();
  const std::string base = dir.ToUtf8();
  std::string error;
  EXPECT_FALSE(sc::ImportFile(base + "/missing.obj", 1 << 20, 5000, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(sc::ImportFile(base, 1 << 20, 5000, &error)) << "a folder";
  ASSERT_TRUE(orxtest::WriteFile(dir + String("cut.stl"), "solid x\n facet normal 0 0 1\n  outer loop\n   vertex 0 0"));
  error.clear();
  EXPECT_FALSE(sc::ImportFile(base + "/cut.stl", 1 << 20, 5000, &error));
  EXPECT_FALSE(error.empty());
  ASSERT_TRUE(orxtest::WriteFile(dir + String("noise.fbx"), std::string(4096, '\x5a')));
  EXPECT_FALSE(sc::ImportFile(base + "/noise.fbx", 1 << 20, 5000, &error));
  // A good file beyond the size bound.
  ASSERT_TRUE(orxtest::WriteFile(dir + String("tri.obj"), orxtest::kTriangleObj));
  auto doc = sc::ImportFile(base + "/tri.obj", 1 << 20, 5000, &error);
  ASSERT_TRUE(doc) << error;
  EXPECT_TRUE(HasMesh(doc->roots[SCENELIST_OBJECTS]));
  error.clear();
  EXPECT_FALSE(sc::ImportFile(base + "/tri.obj", 8, 5000, &error));
  EXPECT_NE(error.find("larger"), std::string::npos) << error;
}
