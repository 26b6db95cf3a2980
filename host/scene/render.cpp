// The preview renderer: material balls and object thumbnails drawn with OpenGL in an offscreen
// context of EGL (no window, no display server; Mesa's software renderer where there is no GPU).
// There is one context for the process and a lock around it, so any thread may ask; a context that
// cannot start is reported as a reason, and the caller gets no bitmap.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "orx/bitmap.h"
#include "orx/media.h"
#include "orx/memory.h"
#include "scene/scenedoc.h"
#include "services/internal.h"

namespace orxhost::scene {
namespace {

// ---- geometry ----

using Vec3 = std::array<double, 3>;
// Offset, then the x, y and z axes (the layout of OBJECT_MATRIX).
using Mat = std::array<double, 12>;

constexpr Mat kIdentity = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};

Vec3 Sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 Cross(const Vec3& a, const Vec3& b)
{
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 Normalized(const Vec3& a)
{
  const double n = std::sqrt(Dot(a, a));
  return n > 0 ? Vec3{a[0] / n, a[1] / n, a[2] / n} : Vec3{0, 0, 1};
}

Vec3 Apply(const Mat& m, const Vec3& p)
{
  Vec3 r;
  for (int i = 0; i < 3; ++i)
    r[i] = m[i] + p[0] * m[3 + i] + p[1] * m[6 + i] + p[2] * m[9 + i];
  return r;
}

// parent * child: the child's offset is placed by the parent, its axes turned by the parent's.
Mat Compose(const Mat& parent, const Mat& child)
{
  Mat r;
  const Vec3 off = Apply(parent, {child[0], child[1], child[2]});
  for (int i = 0; i < 3; ++i)
    r[i] = off[i];
  for (int axis = 0; axis < 3; ++axis)
    for (int i = 0; i < 3; ++i) {
      const int b = 3 + axis * 3;
      r[b + i] = child[b] * parent[3 + i] + child[b + 1] * parent[6 + i] + child[b + 2] * parent[9 + i];
    }
  return r;
}

Mat MatrixOf(const BaseList2D& o)
{
  if (!o.data.Has(OBJECT_MATRIX))
    return kIdentity;
  Mat m;
  for (Int32 i = 0; i < 12; ++i) {
    m[i] = o.data.GetFloat(OBJECT_MATRIX + i);
    if (!std::isfinite(m[i]))
      return kIdentity;
  }
  return m;
}

double BigEndianDouble(const UChar* p)
{
  UInt64 bits = 0;
  for (int i = 0; i < 8; ++i)
    bits = bits << 8 | p[i];
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

UInt32 BigEndianWord(const UChar* p) { return UInt32(p[0]) << 24 | UInt32(p[1]) << 16 | UInt32(p[2]) << 8 | p[3]; }

// Triangles ready for drawing: per vertex a position, a normal and a picture coordinate.
struct Mesh
{
  std::vector<float> pos, normal, uv;
  double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
  std::size_t Vertices() const { return pos.size() / 3; }
  void Add(const Vec3& p, const Vec3& n, double u = 0, double v = 0)
  {
    for (int i = 0; i < 3; ++i) {
      pos.push_back(float(p[i]));
      normal.push_back(float(n[i]));
      lo[i] = std::min(lo[i], p[i]);
      hi[i] = std::max(hi[i], p[i]);
    }
    uv.push_back(float(u));
    uv.push_back(float(v));
  }
};

// Bounds what one thumbnail draws, so that a huge model costs a bounded time.
constexpr std::size_t kMaxTriangles = std::size_t(4) << 20;

bool Finite(const Vec3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

void AddTriangle(Mesh* mesh, const Vec3& a, const Vec3& b, const Vec3& c)
{
  const Vec3 n = Cross(Sub(b, a), Sub(c, a));
  if (!Finite(a) || !Finite(b) || !Finite(c) || !(Dot(n, n) > 0) || !std::isfinite(Dot(n, n)))
    return; // no area, or not a place in space
  const Vec3 nn = Normalized(n);
  mesh->Add(a, nn);
  mesh->Add(b, nn);
  mesh->Add(c, nn);
}

// The mesh of an object in world space (flat faces), and those of its children.
void CollectObject(const BaseList2D& o, const Mat& parent, Mesh* mesh, int depth)
{
  if (depth > 256)
    return;
  const Mat world = Compose(parent, MatrixOf(o));
  const ByteArray* pts = o.kind == Obase ? (o.data.GetData(OBJECT_POINTS) ? o.data.GetData(OBJECT_POINTS)->GetBytes() : nullptr) : nullptr;
  const ByteArray* polys = pts && o.data.GetData(OBJECT_POLYGONS) ? o.data.GetData(OBJECT_POLYGONS)->GetBytes() : nullptr;
  if (pts && polys) {
    const std::size_t count = pts->size() / 24;
    std::vector<Vec3> w(count);
    for (std::size_t i = 0; i < count; ++i) {
      const UChar* p = pts->data() + i * 24;
      w[i] = Apply(world, {BigEndianDouble(p), BigEndianDouble(p + 8), BigEndianDouble(p + 16)});
    }
    for (std::size_t f = 0; f + 16 <= polys->size() && mesh->Vertices() / 3 < kMaxTriangles; f += 16) {
      UInt32 idx[4];
      for (int k = 0; k < 4; ++k)
        idx[k] = BigEndianWord(polys->data() + f + k * 4);
      if (idx[0] >= count || idx[1] >= count || idx[2] >= count || idx[3] >= count)
        continue; // a polygon that names a missing point is left out
      AddTriangle(mesh, w[idx[0]], w[idx[1]], w[idx[2]]);
      if (idx[3] != idx[2])
        AddTriangle(mesh, w[idx[0]], w[idx[2]], w[idx[3]]);
    }
  }
  for (const auto& c : o.children)
    if (c->kind == Obase || c->kind == Onull)
      CollectObject(*c, world, mesh, depth + 1);
}

// A ball of radius 1 with picture coordinates: u around, v from the top down.
Mesh Ball()
{
  Mesh m;
  const int rings = 32, segs = 64;
  auto at = [&](int r, int s) {
    const double th = M_PI * r / rings, ph = 2 * M_PI * s / segs;
    return Vec3{std::sin(th) * std::sin(ph), std::cos(th), std::sin(th) * std::cos(ph)};
  };
  for (int r = 0; r < rings; ++r)
    for (int s = 0; s < segs; ++s) {
      const Vec3 a = at(r, s), b = at(r + 1, s), c = at(r + 1, s + 1), d = at(r, s + 1);
      const double u0 = double(s) / segs, u1 = double(s + 1) / segs, v0 = double(r) / rings, v1 = double(r + 1) / rings;
      m.Add(a, a, u0, v0);
      m.Add(b, b, u0, v1);
      m.Add(c, c, u1, v1);
      m.Add(a, a, u0, v0);
      m.Add(c, c, u1, v1);
      m.Add(d, d, u1, v0);
    }
  return m;
}

// ---- the context ----

const char kVertexShader[] = R"(#version 120
uniform mat4 uView;
uniform mat4 uProj;
attribute vec3 aPos;
attribute vec3 aNormal;
attribute vec2 aUv;
varying vec3 vNormal;
varying vec3 vPos;
varying vec2 vUv;
void main()
{
  vec4 p = uView * vec4(aPos, 1.0);
  vPos = p.xyz;
  vNormal = mat3(uView) * aNormal;
  vUv = aUv;
  gl_Position = uProj * p;
}
)";

// A key light from the upper left front, a weak fill from the right, and a highlight whose
// sharpness and strength grow with the reflectance.
const char kFragmentShader[] = R"(#version 120
uniform vec3 uColor;
uniform float uReflect;
uniform int uTextured;
uniform sampler2D uTexture;
varying vec3 vNormal;
varying vec3 vPos;
varying vec2 vUv;
void main()
{
  vec3 n = normalize(vNormal);
  if (!gl_FrontFacing)
    n = -n;
  vec3 v = normalize(-vPos);
  vec3 key = normalize(vec3(-0.45, 0.55, 0.70));
  vec3 fill = normalize(vec3(0.8, -0.1, 0.4));
  vec3 base = uTextured == 1 ? texture2D(uTexture, vUv).rgb : uColor;
  float diffuse = max(dot(n, key), 0.0) * 0.75 + max(dot(n, fill), 0.0) * 0.4;
  float shine = pow(max(dot(n, normalize(key + v)), 0.0), 8.0 + 120.0 * uReflect) * (0.1 + 0.8 * uReflect);
  gl_FragColor = vec4(clamp(base * (0.1 + diffuse) + vec3(shine), 0.0, 1.0), 1.0);
}
)";

struct GlFunctions
{
  PFNGLGENFRAMEBUFFERSPROC GenFramebuffers;
  PFNGLBINDFRAMEBUFFERPROC BindFramebuffer;
  PFNGLDELETEFRAMEBUFFERSPROC DeleteFramebuffers;
  PFNGLGENRENDERBUFFERSPROC GenRenderbuffers;
  PFNGLBINDRENDERBUFFERPROC BindRenderbuffer;
  PFNGLDELETERENDERBUFFERSPROC DeleteRenderbuffers;
  PFNGLRENDERBUFFERSTORAGEPROC RenderbufferStorage;
  PFNGLFRAMEBUFFERRENDERBUFFERPROC FramebufferRenderbuffer;
  PFNGLCHECKFRAMEBUFFERSTATUSPROC CheckFramebufferStatus;
  PFNGLCREATESHADERPROC CreateShader;
  PFNGLSHADERSOURCEPROC ShaderSource;
  PFNGLCOMPILESHADERPROC CompileShader;
  PFNGLGETSHADERIVPROC GetShaderiv;
  PFNGLCREATEPROGRAMPROC CreateProgram;
  PFNGLATTACHSHADERPROC AttachShader;
  PFNGLBINDATTRIBLOCATIONPROC BindAttribLocation;
  PFNGLLINKPROGRAMPROC LinkProgram;
  PFNGLGETPROGRAMIVPROC GetProgramiv;
  PFNGLUSEPROGRAMPROC UseProgram;
  PFNGLGETUNIFORMLOCATIONPROC GetUniformLocation;
  PFNGLUNIFORMMATRIX4FVPROC UniformMatrix4fv;
  PFNGLUNIFORM3FPROC Uniform3f;
  PFNGLUNIFORM1FPROC Uniform1f;
  PFNGLUNIFORM1IPROC Uniform1i;
  PFNGLVERTEXATTRIBPOINTERPROC VertexAttribPointer;
  PFNGLENABLEVERTEXATTRIBARRAYPROC EnableVertexAttribArray;
  PFNGLDISABLEVERTEXATTRIBARRAYPROC DisableVertexAttribArray;
};

template <class F>
bool Load(F* f, const char* name)
{
  *f = reinterpret_cast<F>(eglGetProcAddress(name));
  return *f != nullptr;
}

struct Renderer
{
  std::mutex lock;
  bool tried = false;      // a start was made (its failure is remembered until a test resets it)
  std::string failure;     // why there is no context
  bool forceFailure = false;
  EGLDisplay display = EGL_NO_DISPLAY;
  EGLContext context = EGL_NO_CONTEXT;
  GlFunctions gl{};
  GLuint program = 0, fbo = 0, colour = 0, depth = 0;
  GLint maxSize = 0, fboW = 0, fboH = 0;
};

Renderer& R()
{
  static Renderer* r = new Renderer; // lives until the end of the process, as the driver does
  return *r;
}

bool Fail(Renderer& r, const std::string& why)
{
  r.failure = why;
  if (r.context != EGL_NO_CONTEXT) {
    eglMakeCurrent(r.display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(r.display, r.context);
    r.context = EGL_NO_CONTEXT;
  }
  return false;
}

EGLDisplay OpenDisplay()
{
  auto getPlatformDisplay =
      reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
  const char* clientExt = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
  const std::string ext = clientExt ? clientExt : "";
  if (!getPlatformDisplay)
    return EGL_NO_DISPLAY;
  // No window system: the surfaceless platform first, else the first device.
  if (ext.find("EGL_MESA_platform_surfaceless") != std::string::npos) {
    EGLDisplay d = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (d != EGL_NO_DISPLAY && eglInitialize(d, nullptr, nullptr))
      return d;
  }
  auto queryDevices = reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
  if (ext.find("EGL_EXT_platform_device") != std::string::npos && queryDevices) {
    EGLDeviceEXT devices[8];
    EGLint n = 0;
    if (queryDevices(8, devices, &n))
      for (EGLint i = 0; i < n; ++i) {
        EGLDisplay d = getPlatformDisplay(EGL_PLATFORM_DEVICE_EXT, devices[i], nullptr);
        if (d != EGL_NO_DISPLAY && eglInitialize(d, nullptr, nullptr))
          return d;
      }
  }
  return EGL_NO_DISPLAY;
}

GLuint Shader(const GlFunctions& gl, GLenum kind, const char* text)
{
  GLuint s = gl.CreateShader(kind);
  gl.ShaderSource(s, 1, &text, nullptr);
  gl.CompileShader(s);
  GLint ok = 0;
  gl.GetShaderiv(s, GL_COMPILE_STATUS, &ok);
  return ok ? s : 0;
}

// Makes the context current on this thread, starting it the first time. Under r.lock.
bool Begin(Renderer& r)
{
  if (r.forceFailure || std::getenv("ORXHOST_NO_GL"))
    return Fail(r, "the OpenGL preview renderer is switched off");
  if (r.tried && r.context == EGL_NO_CONTEXT)
    return false; // the first start failed; its reason stands
  if (!r.tried) {
    r.tried = true;
    r.display = OpenDisplay();
    if (r.display == EGL_NO_DISPLAY)
      return Fail(r, "EGL offers no display without a window system (surfaceless or device platform)");
    const char* ext = eglQueryString(r.display, EGL_EXTENSIONS);
    if (!ext || !std::strstr(ext, "EGL_KHR_surfaceless_context"))
      return Fail(r, "EGL cannot make a context current without a surface");
    if (!eglBindAPI(EGL_OPENGL_API))
      return Fail(r, "EGL has no desktop OpenGL");
    const EGLint want[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint n = 0;
    if (!eglChooseConfig(r.display, want, &config, 1, &n) || n < 1)
      config = nullptr; // a context without a config (EGL_KHR_no_config_context) may still do
    r.context = eglCreateContext(r.display, config, EGL_NO_CONTEXT, nullptr);
    if (r.context == EGL_NO_CONTEXT)
      return Fail(r, "EGL cannot create an OpenGL context");
    if (!eglMakeCurrent(r.display, EGL_NO_SURFACE, EGL_NO_SURFACE, r.context))
      return Fail(r, "EGL cannot make the OpenGL context current");
    GlFunctions& gl = r.gl;
    const bool loaded =
        Load(&gl.GenFramebuffers, "glGenFramebuffers") && Load(&gl.BindFramebuffer, "glBindFramebuffer") &&
        Load(&gl.DeleteFramebuffers, "glDeleteFramebuffers") && Load(&gl.GenRenderbuffers, "glGenRenderbuffers") &&
        Load(&gl.BindRenderbuffer, "glBindRenderbuffer") && Load(&gl.DeleteRenderbuffers, "glDeleteRenderbuffers") &&
        Load(&gl.RenderbufferStorage, "glRenderbufferStorage") &&
        Load(&gl.FramebufferRenderbuffer, "glFramebufferRenderbuffer") &&
        Load(&gl.CheckFramebufferStatus, "glCheckFramebufferStatus") && Load(&gl.CreateShader, "glCreateShader") &&
        Load(&gl.ShaderSource, "glShaderSource") && Load(&gl.CompileShader, "glCompileShader") &&
        Load(&gl.GetShaderiv, "glGetShaderiv") && Load(&gl.CreateProgram, "glCreateProgram") &&
        Load(&gl.AttachShader, "glAttachShader") && Load(&gl.BindAttribLocation, "glBindAttribLocation") &&
        Load(&gl.LinkProgram, "glLinkProgram") && Load(&gl.GetProgramiv, "glGetProgramiv") &&
        Load(&gl.UseProgram, "glUseProgram") && Load(&gl.GetUniformLocation, "glGetUniformLocation") &&
        Load(&gl.UniformMatrix4fv, "glUniformMatrix4fv") && Load(&gl.Uniform3f, "glUniform3f") &&
        Load(&gl.Uniform1f, "glUniform1f") && Load(&gl.Uniform1i, "glUniform1i") &&
        Load(&gl.VertexAttribPointer, "glVertexAttribPointer") &&
        Load(&gl.EnableVertexAttribArray, "glEnableVertexAttribArray") &&
        Load(&gl.DisableVertexAttribArray, "glDisableVertexAttribArray");
    if (!loaded)
      return Fail(r, "the OpenGL driver lacks framebuffer objects or shaders");
    const GLuint vs = Shader(gl, GL_VERTEX_SHADER, kVertexShader), fs = Shader(gl, GL_FRAGMENT_SHADER, kFragmentShader);
    if (!vs || !fs)
      return Fail(r, "the OpenGL driver cannot compile the preview shaders");
    r.program = gl.CreateProgram();
    gl.AttachShader(r.program, vs);
    gl.AttachShader(r.program, fs);
    gl.BindAttribLocation(r.program, 0, "aPos");
    gl.BindAttribLocation(r.program, 1, "aNormal");
    gl.BindAttribLocation(r.program, 2, "aUv");
    gl.LinkProgram(r.program);
    GLint linked = 0;
    gl.GetProgramiv(r.program, GL_LINK_STATUS, &linked);
    if (!linked)
      return Fail(r, "the OpenGL driver cannot link the preview shaders");
    GLint dims[2] = {0, 0};
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &r.maxSize);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, dims);
    r.maxSize = std::min({r.maxSize, dims[0], dims[1]});
    gl.GenFramebuffers(1, &r.fbo);
    gl.GenRenderbuffers(1, &r.colour);
    gl.GenRenderbuffers(1, &r.depth);
    r.failure.clear();
    return true;
  }
  if (!eglMakeCurrent(r.display, EGL_NO_SURFACE, EGL_NO_SURFACE, r.context)) {
    r.failure = "EGL cannot make the OpenGL context current";
    return false;
  }
  return true;
}

void End(Renderer& r)
{
  // Released, so that the next call may come from another thread.
  eglMakeCurrent(r.display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
}

bool Target(Renderer& r, GLint w, GLint h)
{
  const GlFunctions& gl = r.gl;
  gl.BindFramebuffer(GL_FRAMEBUFFER, r.fbo);
  if (w != r.fboW || h != r.fboH) {
    gl.BindRenderbuffer(GL_RENDERBUFFER, r.colour);
    gl.RenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, w, h);
    gl.BindRenderbuffer(GL_RENDERBUFFER, r.depth);
    gl.RenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, w, h);
    gl.FramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, r.colour);
    gl.FramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, r.depth);
    r.fboW = r.fboH = 0;
    if (gl.CheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE || glGetError() != GL_NO_ERROR)
      return false;
    r.fboW = w;
    r.fboH = h;
  }
  return true;
}

// A camera looking at a box from the front, a little from the right and above, with the box filling
// most of the smaller side of the picture.
struct Camera
{
  float view[16], proj[16];
};

Camera Frame(const double lo[3], const double hi[3], double aspect, const Vec3& from)
{
  const Vec3 centre = {(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
  double radius = std::sqrt(Dot(Sub({hi[0], hi[1], hi[2]}, centre), Sub({hi[0], hi[1], hi[2]}, centre)));
  if (!(radius > 1e-12) || !std::isfinite(radius))
    radius = 1;
  const Vec3 back = Normalized(from); // from the centre towards the eye
  const Vec3 right = Normalized(Cross({0, 1, 0}, back));
  const Vec3 up = Cross(back, right);
  const double distance = 3.5 * radius;
  const Vec3 eye = {centre[0] + back[0] * distance, centre[1] + back[1] * distance, centre[2] + back[2] * distance};
  // Rows of the view: right, up, back; the eye at the origin.
  const Vec3 rows[3] = {right, up, back};
  Camera c{};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col)
      c.view[col * 4 + row] = float(rows[row][col]);
    c.view[12 + row] = float(-Dot(rows[row], eye));
  }
  c.view[15] = 1;
  // The widest tangent of a corner of the box seen from the eye.
  double tx = 0, ty = 0;
  for (int k = 0; k < 8; ++k) {
    const Vec3 p = {k & 1 ? hi[0] : lo[0], k & 2 ? hi[1] : lo[1], k & 4 ? hi[2] : lo[2]};
    const Vec3 d = Sub(p, eye);
    const double z = -Dot(d, back);
    if (z > 1e-9) {
      tx = std::max(tx, std::fabs(Dot(d, right)) / z);
      ty = std::max(ty, std::fabs(Dot(d, up)) / z);
    }
  }
  if (!(tx > 0) && !(ty > 0))
    tx = ty = 0.3;
  const double fill = 0.9;
  // NDC x = f * tan / aspect, NDC y = f * tan.
  const double f = fill / std::max({tx / aspect, ty, 1e-9});
  const double n = std::max(distance - radius * 1.5, distance * 1e-3), far = distance + radius * 1.5;
  c.proj[0] = float(f / aspect);
  c.proj[5] = float(f);
  c.proj[10] = float((far + n) / (n - far));
  c.proj[11] = -1;
  c.proj[14] = float(2 * far * n / (n - far));
  return c;
}

struct Surface
{
  double rgb[3] = {0.8, 0.8, 0.8};
  double reflect = 0;
  BaseBitmap* texture = nullptr; // the caller's
};

double Channel(const BaseContainer& bc, Int32 id, double fallback)
{
  if (!bc.Has(id))
    return fallback;
  const double v = bc.GetFloat(id);
  return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : fallback;
}

// Draws mesh into a picture of w x h (drawn larger and reduced, for smooth edges) over a grey ground.
BaseBitmap* Draw(const Mesh& mesh, const Camera& cam, const Surface& s, Int32 w, Int32 h, Int32 scale,
                 std::string* error)
{
  Renderer& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  if (!Begin(r)) {
    *error = r.failure;
    return nullptr;
  }
  struct Release
  {
    Renderer& r;
    ~Release() { End(r); }
  } release{r};
  // Large pictures are drawn at their size: their edges need no help, and the drawing buffers of a
  // larger one would cost gigabytes.
  if (w * scale > r.maxSize || h * scale > r.maxSize || Int64(w) * h > 1024 * 1024)
    scale = 1;
  if (w > r.maxSize || h > r.maxSize) {
    *error = "the picture is larger than the renderer draws (" + std::to_string(r.maxSize) + " pixels a side)";
    return nullptr;
  }
  const GLint fw = w * scale, fh = h * scale;
  if (!Target(r, fw, fh)) {
    *error = "the renderer cannot make a picture of " + std::to_string(fw) + " x " + std::to_string(fh);
    return nullptr;
  }
  const GlFunctions& gl = r.gl;
  glViewport(0, 0, fw, fh);
  glClearColor(0, 0, 0, 0);
  glClearDepth(1);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glEnable(GL_DEPTH_TEST);
  glDisable(GL_CULL_FACE); // imported meshes do not agree on their winding
  gl.UseProgram(r.program);
  gl.UniformMatrix4fv(gl.GetUniformLocation(r.program, "uView"), 1, GL_FALSE, cam.view);
  gl.UniformMatrix4fv(gl.GetUniformLocation(r.program, "uProj"), 1, GL_FALSE, cam.proj);
  gl.Uniform3f(gl.GetUniformLocation(r.program, "uColor"), float(s.rgb[0]), float(s.rgb[1]), float(s.rgb[2]));
  gl.Uniform1f(gl.GetUniformLocation(r.program, "uReflect"), float(s.reflect));
  GLuint tex = 0;
  if (s.texture) {
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    const bool rgba = s.texture->GetChannels() == 4;
    glTexImage2D(GL_TEXTURE_2D, 0, rgba ? GL_RGBA8 : GL_RGB8, s.texture->GetWidth(), s.texture->GetHeight(), 0,
                 rgba ? GL_RGBA : GL_RGB, GL_UNSIGNED_BYTE, s.texture->Pixels());
  }
  gl.Uniform1i(gl.GetUniformLocation(r.program, "uTextured"), tex && glGetError() == GL_NO_ERROR ? 1 : 0);
  gl.Uniform1i(gl.GetUniformLocation(r.program, "uTexture"), 0);
  gl.VertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, mesh.pos.data());
  gl.VertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, 0, mesh.normal.data());
  gl.VertexAttribPointer(2, 2, GL_FLOAT, GL_FALSE, 0, mesh.uv.data());
  for (GLuint a = 0; a < 3; ++a)
    gl.EnableVertexAttribArray(a);
  glDrawArrays(GL_TRIANGLES, 0, GLsizei(mesh.Vertices()));
  for (GLuint a = 0; a < 3; ++a)
    gl.DisableVertexAttribArray(a);
  std::vector<UChar> rgba(std::size_t(fw) * std::size_t(fh) * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, fw, fh, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  if (tex)
    glDeleteTextures(1, &tex);
  gl.UseProgram(0);
  gl.BindFramebuffer(GL_FRAMEBUFFER, 0);
  if (glGetError() != GL_NO_ERROR) {
    *error = "the OpenGL driver failed to draw the preview";
    return nullptr;
  }
  BaseBitmap* out = detail::NewBitmap();
  if (!out || !out->Init(w, h, 3)) {
    if (out)
      OrxDeleteObj(out);
    *error = "out of memory";
    return nullptr;
  }
  // Each picture pixel is the mean of scale x scale drawn ones laid over the ground; the drawn rows
  // run from the bottom up.
  const double n = double(scale) * scale;
  for (Int32 y = 0; y < h; ++y) {
    const double ground = 56 + 24.0 * y / std::max(1, h - 1);
    for (Int32 x = 0; x < w; ++x) {
      double sum[4] = {0, 0, 0, 0};
      for (Int32 sy = 0; sy < scale; ++sy)
        for (Int32 sx = 0; sx < scale; ++sx) {
          const UChar* p = &rgba[(std::size_t(fh - 1 - (y * scale + sy)) * fw + std::size_t(x * scale + sx)) * 4];
          for (int i = 0; i < 4; ++i)
            sum[i] += p[i];
        }
      const double cover = sum[3] / (255.0 * n);
      UChar px[3];
      for (int i = 0; i < 3; ++i)
        px[i] = UChar(std::lround(std::clamp(sum[i] / n + (1 - cover) * ground, 0.0, 255.0)));
      out->SetPixel(x, y, px[0], px[1], px[2]);
    }
  }
  return out;
}

BaseBitmap* RenderMaterial(const BaseList2D& m, Int32 w, Int32 h, std::string* error)
{
  Surface s;
  for (Int32 i = 0; i < 3; ++i)
    s.rgb[i] = Channel(m.data, MATERIAL_COLOR + i, 0.8);
  s.reflect = Channel(m.data, MATERIAL_REFLECTANCE, 0.0);
  // The texture is read before the renderer is taken: the read may be slow, and a picture that
  // does not load leaves the colour channel in its place.
  if (m.data.Has(MATERIAL_TEXTURE)) {
    const Filename name = m.data.GetFilename(MATERIAL_TEXTURE);
    if (!name.IsEmpty())
      s.texture = detail::kImageTable.load(&name, 1024, nullptr);
  }
  static const Mesh ball = Ball();
  const double lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
  BaseBitmap* out = Draw(ball, Frame(lo, hi, double(w) / h, {0, 0, 1}), s, w, h, 2, error);
  if (s.texture)
    OrxDeleteObj(s.texture);
  return out;
}

BaseBitmap* RenderObjects(const std::vector<const BaseList2D*>& objects, Int32 w, Int32 h, std::string* error)
{
  Mesh mesh;
  for (const BaseList2D* o : objects) {
    // An element is placed by the objects above it.
    Mat above = kIdentity;
    std::vector<const BaseList2D*> chain;
    for (const BaseList2D* p = o->parent; p && !p->rootOf; p = p->parent)
      chain.push_back(p);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
      above = Compose(above, MatrixOf(**it));
    CollectObject(*o, above, &mesh, 0);
  }
  if (mesh.Vertices() == 0) {
    *error = "there is no mesh to show";
    return nullptr;
  }
  Surface s;
  s.rgb[0] = 0.70;
  s.rgb[1] = 0.72;
  s.rgb[2] = 0.76;
  s.reflect = 0.25;
  return Draw(mesh, Frame(mesh.lo, mesh.hi, double(w) / h, {0.9, 0.7, 1.4}), s, w, h, 2, error);
}

bool IsMaterial(Int32 kind) { return kind == Mbase || kind == Mshaderholder; }
bool IsObject(Int32 kind) { return kind == Obase || kind == Onull; }

} // namespace

BaseBitmap* RenderPreview(const BaseDocument* doc, const BaseList2D* element, Int32 width, Int32 height, Int32 flags,
                          std::string* error)
{
  std::string ignored;
  if (!error)
    error = &ignored;
  error->clear();
  if (width <= 0 || height <= 0 || width > 4096 || height > 4096) {
    *error = "the picture size must be from 1 to 4096 pixels a side";
    return nullptr;
  }
  if (!doc && !element) {
    *error = "no document";
    return nullptr;
  }
  if (element) {
    if (IsMaterial(element->kind))
      return RenderMaterial(*element, width, height, error);
    if (IsObject(element->kind))
      return RenderObjects({element}, width, height, error);
    *error = "only materials and objects have a preview";
    return nullptr;
  }
  if (flags & SCENEPREVIEW_MATERIAL) {
    const auto& mats = doc->roots[SCENELIST_MATERIALS].children;
    if (mats.empty()) {
      *error = "the document has no material";
      return nullptr;
    }
    return RenderMaterial(*mats.front(), width, height, error);
  }
  std::vector<const BaseList2D*> top;
  for (const auto& o : doc->roots[SCENELIST_OBJECTS].children)
    top.push_back(o.get());
  if (top.empty()) {
    *error = "the document has no object";
    return nullptr;
  }
  return RenderObjects(top, width, height, error);
}

void ForcePreviewRendererFailure(bool fail)
{
  Renderer& r = R();
  std::lock_guard<std::mutex> hold(r.lock);
  r.forceFailure = fail;
  if (!fail && r.context == EGL_NO_CONTEXT) {
    r.tried = false; // start again at the next call
    r.fboW = r.fboH = 0;
  }
}

} // namespace orxhost::scene
