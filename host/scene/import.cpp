// Foreign scene files read through Assimp into the host's documents. Each read is bounded in
// size (the file, and the meshes it gives) and in time, and runs in a child process: what the
// importer throws is caught there, and a crash or a hang ends the child only. A file it cannot
// read is refused with a reason.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <assimp/Importer.hpp>
#include <assimp/ProgressHandler.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "scene/scenedoc.h"
#include "scene/shapes.h"
#include "services/internal.h"

namespace orxhost::scene {
namespace {
using Clock = std::chrono::steady_clock;

class TimeLimit : public Assimp::ProgressHandler
{
public:
  explicit TimeLimit(Clock::time_point end) : end_(end) {}
  bool Update(float) override { return !(expired_ = expired_ || Clock::now() > end_); }
  bool Expired() const { return expired_ || Clock::now() > end_; }

private:
  Clock::time_point end_;
  bool expired_ = false;
};

constexpr int kMaxDepth = 256;

String Text(const aiString& s, const char* fallback)
{
  return s.length ? String(std::string(s.C_Str(), s.length)) : String(fallback);
}

struct Converter
{
  const aiScene* scene;
  Int64 budget; // mesh bytes left
  bool overBudget = false;

  std::unique_ptr<BaseList2D> Object(const aiNode* node, int depth)
  {
    auto o = std::make_unique<BaseList2D>(Obase);
    o->name = Text(node->mName, "Object");
    const aiMatrix4x4& m = node->mTransformation;
    const double cells[12] = {m.a4, m.b4, m.c4, m.a1, m.b1, m.c1, m.a2, m.b2, m.c2, m.a3, m.b3, m.c3};
    for (Int32 i = 0; i < 12; ++i)
      o->data.SetFloat(OBJECT_MATRIX + i, std::isfinite(cells[i]) ? cells[i] : 0.0);
    std::vector<UChar> points, polygons;
    UInt32 base = 0;
    for (unsigned k = 0; k < node->mNumMeshes; ++k) {
      if (node->mMeshes[k] >= scene->mNumMeshes)
        continue;
      const aiMesh* mesh = scene->mMeshes[node->mMeshes[k]];
      if (!mesh || !mesh->mVertices)
        continue;
      const Int64 bytes = Int64(mesh->mNumVertices) * 24 + Int64(mesh->mNumFaces) * 16;
      if ((budget -= bytes) < 0) {
        overBudget = true;
        return nullptr;
      }
      for (unsigned v = 0; v < mesh->mNumVertices; ++v)
        for (float c : {mesh->mVertices[v].x, mesh->mVertices[v].y, mesh->mVertices[v].z})
          PutDouble(&points, std::isfinite(c) ? c : 0.0);
      for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        const aiFace& face = mesh->mFaces[f];
        if (face.mNumIndices < 3 || face.mNumIndices > 4)
          continue; // points and lines; larger polygons are triangulated before
        bool inside = true;
        for (unsigned i = 0; i < face.mNumIndices; ++i)
          inside = inside && face.mIndices[i] < mesh->mNumVertices;
        if (!inside)
          continue;
        for (unsigned i = 0; i < 4; ++i)
          PutInt(&polygons, Int32(base + face.mIndices[i < face.mNumIndices ? i : 2]));
      }
      base += mesh->mNumVertices;
    }
    if (!points.empty()) {
      o->data.SetBytes(OBJECT_POINTS, points.data(), Int64(points.size()));
      o->data.SetBytes(OBJECT_POLYGONS, polygons.data(), Int64(polygons.size()));
    }
    if (depth < kMaxDepth)
      for (unsigned c = 0; c < node->mNumChildren; ++c)
        if (node->mChildren[c]) {
          auto child = Object(node->mChildren[c], depth + 1);
          if (!child)
            return nullptr;
          child->parent = o.get();
          o->children.push_back(std::move(child));
        }
    return o;
  }

  std::unique_ptr<BaseList2D> Material(const aiMaterial* mat, const std::filesystem::path& folder)
  {
    auto m = std::make_unique<BaseList2D>(Mbase);
    aiString name;
    m->name = mat->Get(AI_MATKEY_NAME, name) == AI_SUCCESS ? Text(name, "Material") : String("Material");
    aiColor3D c(0.8f, 0.8f, 0.8f);
    mat->Get(AI_MATKEY_COLOR_DIFFUSE, c);
    const float rgb[3] = {c.r, c.g, c.b};
    for (Int32 i = 0; i < 3; ++i)
      m->data.SetFloat(MATERIAL_COLOR + i, std::isfinite(rgb[i]) ? std::clamp(double(rgb[i]), 0.0, 1.0) : 0.8);
    float reflect = 0;
    if (mat->Get(AI_MATKEY_REFLECTIVITY, reflect) == AI_SUCCESS && std::isfinite(reflect))
      m->data.SetFloat(MATERIAL_REFLECTANCE, std::clamp(double(reflect), 0.0, 1.0));
    aiString tex;
    if (mat->GetTexture(aiTextureType_DIFFUSE, 0, &tex) == AI_SUCCESS && tex.length && tex.C_Str()[0] != '*') {
      std::filesystem::path p(std::string(tex.C_Str(), tex.length));
      if (p.is_relative())
        p = folder / p;
      m->data.SetFilename(MATERIAL_TEXTURE, Filename(String::FromBytes(p.string(), StringEncoding::System)));
    }
    return m;
  }
};

std::unique_ptr<BaseDocument> Convert(const aiScene* scene, const std::string& path, Int64 maxBytes,
                                      std::string* error)
{
  auto doc = std::make_unique<BaseDocument>();
  Converter conv{scene, maxBytes * 4};
  auto root = scene->mRootNode ? conv.Object(scene->mRootNode, 0) : nullptr;
  if (!root) {
    *error = conv.overBudget ? "its meshes are larger than the import allows" : "it holds no objects";
    return nullptr;
  }
  // An unnamed root that only holds the file's objects is left out.
  std::vector<std::unique_ptr<BaseList2D>> tops;
  const bool keepRoot = root->data.Has(OBJECT_POINTS) || root->children.empty();
  if (keepRoot)
    tops.push_back(std::move(root));
  else
    for (auto& c : root->children)
      tops.push_back(std::move(c));
  BaseList2D* pred = nullptr;
  for (auto& o : tops) {
    o->parent = nullptr;
    BaseList2D* raw = o.get();
    if (!Insert(doc.get(), std::move(o), nullptr, pred))
      continue;
    pred = raw;
  }
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  pred = nullptr;
  for (unsigned i = 0; i < scene->mNumMaterials; ++i)
    if (scene->mMaterials[i]) {
      auto m = conv.Material(scene->mMaterials[i], folder);
      BaseList2D* raw = m.get();
      if (Insert(doc.get(), std::move(m), nullptr, pred))
        pred = raw;
    }
  if (!doc->roots[SCENELIST_OBJECTS].children.empty())
    SetActive(doc.get(), ACTIVE_OBJECT, doc->roots[SCENELIST_OBJECTS].children.front().get());
  return doc;
}
} // namespace

namespace {
// The import itself, in the process that runs it: the document or a reason.
std::unique_ptr<BaseDocument> ImportHere(const std::string& path, Int64 maxBytes, Int32 maxMillis, std::string* error)
{
  try {
    Assimp::Importer importer;
    auto* limit = new TimeLimit(Clock::now() + std::chrono::milliseconds(maxMillis));
    importer.SetProgressHandler(limit); // the importer owns it
    importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
    const aiScene* scene = importer.ReadFile(path, aiProcess_Triangulate | aiProcess_SortByPType |
                                                       aiProcess_ValidateDataStructure);
    if (!scene || limit->Expired()) {
      *error = limit->Expired() ? "reading took longer than " + std::to_string(maxMillis) + " ms"
                                : std::string("the importer refused it: ") + importer.GetErrorString();
      return nullptr;
    }
    return Convert(scene, path, maxBytes, error);
  } catch (const std::exception& e) {
    *error = std::string("the importer failed: ") + e.what();
  } catch (...) {
    *error = "the importer failed";
  }
  return nullptr;
}

bool WriteAll(int fd, const void* data, std::size_t size)
{
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    p += n;
    size -= std::size_t(n);
  }
  return true;
}

// The child's side: 'D' and the document in the native format, or 'E' and the reason.
[[noreturn]] void RunChild(int out, const std::string& path, Int64 maxBytes, Int32 maxMillis)
{
  // A fault in the importer ends this process only, by its signal, and nothing else runs.
  for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL})
    ::signal(sig, SIG_DFL);
  std::string error;
  std::vector<UChar> bytes;
  auto doc = ImportHere(path, maxBytes, maxMillis, &error);
  bool ok;
  if (doc && SaveToMemory(*doc, &bytes)) {
    ok = WriteAll(out, "D", 1) && WriteAll(out, bytes.data(), bytes.size());
  } else {
    if (error.empty())
      error = "the document could not be made";
    ok = WriteAll(out, "E", 1) && WriteAll(out, error.data(), error.size());
  }
  ::_exit(ok ? 0 : 1);
}
} // namespace

// The importer runs in a child process: a file that makes it crash, or run on past the time limit
// in a step that never reports progress, costs that child, never the host, and the time limit is
// kept by the clock rather than by the importer's progress calls.
std::unique_ptr<BaseDocument> ImportFile(const std::string& path, Int64 maxBytes, Int32 maxMillis, std::string* error)
{
  std::string ignored;
  if (!error)
    error = &ignored;
  if (maxMillis <= 0)
    maxMillis = 10000;
  if (maxBytes <= 0)
    maxBytes = Int64(64) << 20;
  const int fd = detail::OpenRegularFile(path, O_RDONLY);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0)
      ::close(fd);
    *error = "not a file that can be read";
    return nullptr;
  }
  ::close(fd);
  if (st.st_size > maxBytes) {
    *error = "larger than " + std::to_string(maxBytes) + " bytes";
    return nullptr;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    *error = "no pipe for the importer";
    return nullptr;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    *error = "the importer could not be started";
    return nullptr;
  }
  if (pid == 0) {
    ::close(pipeFds[0]);
    RunChild(pipeFds[1], path, maxBytes, maxMillis);
  }
  ::close(pipeFds[1]);
  // The child's document is at most a few times the meshes it was allowed.
  const std::size_t cap = std::size_t(maxBytes) * 8 + 4096;
  std::vector<UChar> got;
  const auto end = Clock::now() + std::chrono::milliseconds(maxMillis) + std::chrono::seconds(2);
  bool late = false, tooBig = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) {
      late = true;
      break;
    }
    pollfd p{pipeFds[0], POLLIN, 0};
    const int r = ::poll(&p, 1, int(std::min<long long>(left, 1000)));
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      continue;
    UChar buf[65536];
    const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    if (got.size() + std::size_t(n) > cap) {
      tooBig = true;
      break;
    }
    got.insert(got.end(), buf, buf + n);
  }
  ::close(pipeFds[0]);
  if (late || tooBig)
    ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (late) {
    *error = "reading took longer than " + std::to_string(maxMillis) + " ms";
    return nullptr;
  }
  if (tooBig) {
    *error = "its meshes are larger than the import allows";
    return nullptr;
  }
  if (WIFSIGNALED(status)) {
    *error = "the importer crashed on it (signal " + std::to_string(WTERMSIG(status)) + ")";
    return nullptr;
  }
  if (got.empty() || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = "the importer ended without an answer";
    return nullptr;
  }
  if (got[0] == 'E') {
    error->assign(got.begin() + 1, got.end());
    return nullptr;
  }
  std::string loadError;
  auto doc = got[0] == 'D' ? LoadFromMemory(got.data() + 1, Int64(got.size() - 1), &loadError) : nullptr;
  if (!doc)
    *error = "the importer's answer was damaged" + (loadError.empty() ? std::string() : ": " + loadError);
  return doc;
}

} // namespace orxhost::scene
