// The preview renderer: material balls show their colour channels in the right order, object
// thumbnails show their meshes, nothing to show and a renderer that cannot start give no bitmap and
// a reason, and real models that nobody here wrote either render or are refused.
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>

#include "orx/bitmap.h"
#include "orx/hosttable.h"
#include "orx/memory.h"
#include "orxtest.h"
#include "scenetest.h"

namespace sc = orxhost::scene;
namespace fs = std::filesystem;

namespace {
using orxtest::MeshObject;

std::unique_ptr<BaseDocument> MaterialDoc(double r, double g, double b)
{
  auto doc = orxtest::MaterialDocument(r, g, b);
  EXPECT_TRUE(doc);
  return doc;
}

std::unique_ptr<BaseDocument> ObjectDoc(bool cube)
{
  auto doc = orxtest::ObjectDocument(cube);
  EXPECT_TRUE(doc);
  return doc;
}

struct Bitmap
{
  BaseBitmap* b;
  explicit Bitmap(BaseBitmap* b) : b(b) {}
  ~Bitmap()
  {
    if (b)
      OrxDeleteObj(b);
  }
  explicit operator bool() const { return b != nullptr; }
  BaseBitmap* operator->() const { return b; }
};

// The share of the centre square (a quarter of each side) whose pixels have channel `main` well
// above the other two.
double CentreShare(const BaseBitmap& b, int main)
{
  const Int32 w = b.GetWidth(), h = b.GetHeight();
  int hits = 0, all = 0;
  for (Int32 y = h * 3 / 8; y < h * 5 / 8; ++y)
    for (Int32 x = w * 3 / 8; x < w * 5 / 8; ++x) {
      UChar c[3];
      b.GetPixel(x, y, &c[0], &c[1], &c[2]);
      ++all;
      hits += c[main] > 60 && c[main] > 2 * c[(main + 1) % 3] && c[main] > 2 * c[(main + 2) % 3];
    }
  return double(hits) / all;
}

int DistinctColours(const BaseBitmap& b)
{
  std::set<UInt32> seen;
  for (Int32 y = 0; y < b.GetHeight(); ++y)
    for (Int32 x = 0; x < b.GetWidth(); ++x) {
      UChar c[3];
      b.GetPixel(x, y, &c[0], &c[1], &c[2]);
      seen.insert(UInt32(c[0]) << 16 | UInt32(c[1]) << 8 | c[2]);
    }
  return int(seen.size());
}

// Pixels that are not the grey ground (grey: the three channels equal).
int Covered(const BaseBitmap& b)
{
  int n = 0;
  for (Int32 y = 0; y < b.GetHeight(); ++y)
    for (Int32 x = 0; x < b.GetWidth(); ++x) {
      UChar c[3];
      b.GetPixel(x, y, &c[0], &c[1], &c[2]);
      n += !(c[0] == c[1] && c[1] == c[2]);
    }
  return n;
}

// The share of pixels in which two pictures of one size differ visibly.
double Unlike(const BaseBitmap& a, const BaseBitmap& b)
{
  int n = 0;
  for (Int32 y = 0; y < a.GetHeight(); ++y)
    for (Int32 x = 0; x < a.GetWidth(); ++x) {
      UChar p[3], q[3];
      a.GetPixel(x, y, &p[0], &p[1], &p[2]);
      b.GetPixel(x, y, &q[0], &q[1], &q[2]);
      n += std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2]) > 24;
    }
  return double(n) / (a.GetWidth() * a.GetHeight());
}

const OrxSceneDocumentTable* Family() { return OrxGetHostTable()->sceneDocument; }
} // namespace

TEST(Render, AMaterialBallShowsItsColourChannelsInOrder)
{
  std::string error;
  auto red = MaterialDoc(0.9, 0.05, 0.05), blue = MaterialDoc(0.05, 0.1, 0.9), green = MaterialDoc(0.05, 0.85, 0.1);
  Bitmap r(sc::RenderPreview(red.get(), nullptr, 64, 48, SCENEPREVIEW_MATERIAL, &error));
  ASSERT_TRUE(r) << error;
  EXPECT_EQ(r->GetWidth(), 64);
  EXPECT_EQ(r->GetHeight(), 48);
  EXPECT_EQ(r->GetChannels(), 3);
  EXPECT_GT(CentreShare(*r.b, 0), 0.75);
  // The ground around the ball is grey.
  UChar c[3];
  r->GetPixel(0, 0, &c[0], &c[1], &c[2]);
  EXPECT_TRUE(c[0] == c[1] && c[1] == c[2]);
  // The other channels land where they belong (a swap of red and blue fails here).
  Bitmap b(sc::RenderPreview(blue.get(), nullptr, 64, 64, SCENEPREVIEW_MATERIAL, &error));
  ASSERT_TRUE(b) << error;
  EXPECT_GT(CentreShare(*b.b, 2), 0.75);
  Bitmap g(sc::RenderPreview(green.get(), nullptr, 64, 64, SCENEPREVIEW_MATERIAL, &error));
  ASSERT_TRUE(g) << error;
  EXPECT_GT(CentreShare(*g.b, 1), 0.75);
  // The element given, through the table: the same picture.
  ASSERT_GE(Family()->version, 2);
  ASSERT_TRUE(ORX_HAS_ENTRY(Family(), renderPreview));
  String reason;
  Bitmap t(Family()->renderPreview(blue.get(), blue->roots[SCENELIST_MATERIALS].children[0].get(), 64, 64, 0, &reason));
  ASSERT_TRUE(t) << reason.ToUtf8();
  EXPECT_TRUE(*t.b == *b.b);
}

TEST(Render, AMaterialBallShowsItsTextureAndItsHighlight)
{
  // A texture that is blue above and red below: the ball's top is blue, its bottom red.
  const Filename tex = orxtest::TempDir() + String("tex.ppm");
  std::string ppm = "P6\n8 8\n255\n";
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      ppm += y < 4 ? std::string("\x10\x10\xe0", 3) : std::string("\xe0\x10\x10", 3);
  ASSERT_TRUE(orxtest::WriteFile(tex, ppm));
  auto doc = MaterialDoc(0.2, 0.9, 0.2);
  BaseList2D* m = doc->roots[SCENELIST_MATERIALS].children[0].get();
  m->data.SetFilename(MATERIAL_TEXTURE, tex);
  std::string error;
  Bitmap b(sc::RenderPreview(doc.get(), m, 64, 64, 0, &error));
  ASSERT_TRUE(b) << error;
  UChar top[3], bottom[3];
  b->GetPixel(32, 20, &top[0], &top[1], &top[2]);
  b->GetPixel(32, 44, &bottom[0], &bottom[1], &bottom[2]);
  EXPECT_GT(top[2], 2 * top[0]);
  EXPECT_GT(bottom[0], 2 * bottom[2]);
  EXPECT_LT(top[1], 100) << "the texture takes the colour channel's place";
  // A texture that does not load leaves the colour.
  m->data.SetFilename(MATERIAL_TEXTURE, orxtest::TempDir() + String("missing.png"));
  Bitmap c(sc::RenderPreview(doc.get(), m, 64, 64, 0, &error));
  ASSERT_TRUE(c) << error;
  EXPECT_GT(CentreShare(*c.b, 1), 0.75);
  // More reflectance, a brighter highlight.
  m->data.SetFloat(MATERIAL_REFLECTANCE, 0.0);
  Bitmap dull(sc::RenderPreview(doc.get(), m, 64, 64, 0, &error));
  m->data.SetFloat(MATERIAL_REFLECTANCE, 1.0);
  Bitmap shiny(sc::RenderPreview(doc.get(), m, 64, 64, 0, &error));
  ASSERT_TRUE(dull && shiny) << error;
  auto brightest = [](const BaseBitmap& bm) {
    int best = 0;
    for (Int32 y = 0; y < bm.GetHeight(); ++y)
      for (Int32 x = 0; x < bm.GetWidth(); ++x) {
        UChar p[3];
        bm.GetPixel(x, y, &p[0], &p[1], &p[2]);
        best = std::max(best, int(p[0]) + p[1] + p[2]);
      }
    return best;
  };
  EXPECT_GT(brightest(*shiny.b), brightest(*dull.b) + 60);
}

TEST(Render, ObjectThumbnailsShowTheirMeshesWithChildrenAndMatrices)
{
  std::string error;
  auto cube = ObjectDoc(true), sphere = ObjectDoc(false);
  Bitmap c(sc::RenderPreview(cube.get(), nullptr, 64, 64, 0, &error));
  ASSERT_TRUE(c) << error;
  Bitmap s(sc::RenderPreview(sphere.get(), nullptr, 64, 64, 0, &error));
  ASSERT_TRUE(s) << error;
  EXPECT_GT(DistinctColours(*c.b), 8);
  EXPECT_GT(Covered(*c.b), 64 * 64 / 4);
  EXPECT_GT(Unlike(*c.b, *s.b), 0.05) << "a cube and a sphere look alike";
  // A child moved far to the right is framed with its parent: the picture holds two shapes side by
  // side, each smaller than the cube alone.
  auto pair = ObjectDoc(true);
  ASSERT_TRUE(sc::Insert(pair.get(), MeshObject("Far", true, 6.0), pair->roots[SCENELIST_OBJECTS].children[0].get(), nullptr));
  Bitmap p(sc::RenderPreview(pair.get(), nullptr, 64, 64, 0, &error));
  ASSERT_TRUE(p) << error;
  EXPECT_LT(Covered(*p.b), Covered(*c.b));
  // The child alone is placed by its parent's matrix, and framed alone: it looks like the cube.
  BaseList2D* far = pair->roots[SCENELIST_OBJECTS].children[0]->children[0].get();
  Bitmap f(sc::RenderPreview(pair.get(), far, 64, 64, 0, &error));
  ASSERT_TRUE(f) << error;
  EXPECT_LT(Unlike(*f.b, *c.b), 0.01);
  // Polygons that name missing points, and points that are not places, are left out.
  auto bad = ObjectDoc(true);
  BaseList2D* o = bad->roots[SCENELIST_OBJECTS].children[0].get();
  std::vector<UChar> polys(o->data.GetData(OBJECT_POLYGONS)->GetBytes()->begin(), o->data.GetData(OBJECT_POLYGONS)->GetBytes()->end());
  for (Int32 v : {0, 1, 99, 2})
    sc::PutInt(&polys, v);
  o->data.SetBytes(OBJECT_POLYGONS, polys.data(), Int64(polys.size()));
  Bitmap bb(sc::RenderPreview(bad.get(), nullptr, 64, 64, 0, &error));
  ASSERT_TRUE(bb) << error;
  EXPECT_TRUE(*bb.b == *c.b);
}

TEST(Render, NothingToShowGivesNoBitmapAndAReason)
{
  std::string error;
  auto empty = std::make_unique<BaseDocument>();
  EXPECT_EQ(sc::RenderPreview(empty.get(), nullptr, 32, 32, 0, &error), nullptr);
  EXPECT_NE(error.find("no object"), std::string::npos) << error;
  EXPECT_EQ(sc::RenderPreview(empty.get(), nullptr, 32, 32, SCENEPREVIEW_MATERIAL, &error), nullptr);
  EXPECT_NE(error.find("no material"), std::string::npos) << error;
  EXPECT_EQ(sc::RenderPreview(nullptr, nullptr, 32, 32, 0, &error), nullptr);
  EXPECT_FALSE(error.empty());
  // Objects without a mesh, and elements that are neither materials nor objects.
  auto doc = std::make_unique<BaseDocument>();
  auto null = std::make_unique<BaseList2D>(Onull);
  BaseList2D* n = null.get();
  ASSERT_TRUE(sc::Insert(doc.get(), std::move(null), nullptr, nullptr));
  auto tag = std::make_unique<BaseList2D>(Tbase);
  BaseList2D* t = tag.get();
  ASSERT_TRUE(sc::Insert(doc.get(), std::move(tag), n, nullptr));
  EXPECT_EQ(sc::RenderPreview(doc.get(), n, 32, 32, 0, &error), nullptr);
  EXPECT_NE(error.find("no mesh"), std::string::npos) << error;
  EXPECT_EQ(sc::RenderPreview(doc.get(), t, 32, 32, 0, &error), nullptr);
  EXPECT_FALSE(error.empty());
  auto cube = ObjectDoc(true);
  for (auto [w, h] : {std::pair{0, 32}, std::pair{32, -1}, std::pair{4097, 32}}) {
    error.clear();
    EXPECT_EQ(sc::RenderPreview(cube.get(), nullptr, w, h, 0, &error), nullptr);
    EXPECT_FALSE(error.empty());
  }
  // Through the table: the reason comes as text.
  String reason;
  EXPECT_EQ(Family()->renderPreview(empty.get(), nullptr, 32, 32, 0, &reason), nullptr);
  EXPECT_NE(reason.ToUtf8().find("no object"), std::string::npos) << reason.ToUtf8();
  EXPECT_EQ(Family()->renderPreview(empty.get(), nullptr, 32, 32, 0, nullptr), nullptr);
}

TEST(Render, ARendererThatCannotStartGivesNoBitmap)
{
  auto doc = MaterialDoc(0.9, 0.1, 0.1);
  std::string error;
  sc::ForcePreviewRendererFailure(true);
  EXPECT_EQ(sc::RenderPreview(doc.get(), nullptr, 32, 32, SCENEPREVIEW_MATERIAL, &error), nullptr);
  EXPECT_NE(error.find("OpenGL"), std::string::npos) << error;
  String reason;
  EXPECT_EQ(Family()->renderPreview(doc.get(), nullptr, 32, 32, SCENEPREVIEW_MATERIAL, &reason), nullptr);
  EXPECT_FALSE(reason.IsEmpty());
  sc::ForcePreviewRendererFailure(false);
  // It starts again once it can.
  Bitmap b(sc::RenderPreview(doc.get(), nullptr, 32, 32, SCENEPREVIEW_MATERIAL, &error));
  ASSERT_TRUE(b) << error;
  EXPECT_GT(CentreShare(*b.b, 0), 0.75);
}

TEST(Render, RealModelsRenderAThumbnailOrAreRefusedWithAReason)
{
  const char kModels[] = "/usr/share/assimp/models";
  if (!fs::is_directory(kModels))
    GTEST_SKIP() << "the importer's test models are not installed (scripts/setup)";
  for (const char* kind : {"FBX", "3DS", "STL", "LWO", "LWS", "OBJ"}) {
    SCOPED_TRACE(kind);
    int rendered = 0, refused = 0;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(kModels) / kind, ec)) {
      if (!entry.is_regular_file(ec) || entry.is_symlink(ec))
        continue;
      std::string ext = entry.path().extension().string();
      for (char& c : ext)
        c = char(std::tolower(static_cast<unsigned char>(c)));
      if (ext != ".fbx" && ext != ".3ds" && ext != ".stl" && ext != ".lwo" && ext != ".lws" && ext != ".obj")
        continue;
      SCOPED_TRACE(entry.path().string());
      std::string error;
      auto doc = sc::ImportFile(entry.path().string(), Int64(64) << 20, 20000, &error);
      if (!doc) {
        ++refused;
        EXPECT_FALSE(error.empty());
        continue;
      }
      Bitmap b(sc::RenderPreview(doc.get(), nullptr, 48, 48, 0, &error));
      if (!b) {
        // A model of points or lines only has no faces to show.
        ++refused;
        EXPECT_NE(error.find("no mesh"), std::string::npos) << error;
        continue;
      }
      ++rendered;
      EXPECT_GT(DistinctColours(*b.b), 2) << "one flat colour";
      EXPECT_GT(Covered(*b.b), 0) << "nothing drawn";
    }
    EXPECT_GT(rendered, 0) << refused << " refused, none rendered";
  }
}
