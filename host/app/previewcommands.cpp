#include "previewcommands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "browserclient.h"
#include "commandline.h"
#include "orx/browserlib.h"
#include "orx/browserpreviews.h"
#include "orx/media.h"
#include "orx/services.h"

namespace {

struct Options
{
  std::string url, out;
  int size = 256;
  bool json = false;
  bool stored = false;
};

orxhost::CommandSyntax Syntax()
{
  orxhost::CommandSyntax s;
  s.name = "preview";
  s.options = {{"size", 0, "N", "the largest side, 1 to 4096"},
               {"stored", 0, nullptr, "the preview stored for the content (orxhost previews) instead"},
               {"json", 0, nullptr, "one JSON object: ok, url, out, width, height, handler, error"},
               {"out", 'o', "OUT.png", "the picture file to write", false, true}};
  s.operands = {"URL"};
  s.about = "Asks the handler of the content at URL (matched by name and first bytes) for\n"
            "its preview bitmap of at most N x N pixels (default 256; a smaller picture is\n"
            "not enlarged) and writes it to OUT as PNG, or as JPEG when OUT ends in .jpg.\n"
            "Fails when the content has no handler or the handler gives no preview (a\n"
            "damaged or truncated picture, a pipe, a file of sound alone).";
  s.more = "orxhost preview show URL opens the preview dialog of content (see orxhost preview show --help).";
  return s;
}

int Parse(const std::vector<std::string>& args, Options* o)
{
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseArguments(Syntax(), args, &a); rc >= 0)
    return rc;
  o->url = a.Operand(0);
  o->out = a.Value("out");
  o->json = a.Has("json");
  o->stored = a.Has("stored");
  if (a.Has("size")) {
    long long n = 0;
    if (!orxhost::ParseWholeNumber(a.Value("size"), 1, 4096, &n))
      return orxhost::RefuseArgument("preview", "--size wants a number from 1 to 4096, not '" + a.Value("size") + "'");
    o->size = int(n);
  }
  if (o->out.empty())
    return orxhost::RefuseArgument("preview", "an output file (-o) is needed");
  return -1;
}

int Report(const Options& o, int w, int h, const std::string& handler, const std::string& error)
{
  if (o.json) {
    std::printf("{\"ok\": %s, \"url\": %s, \"out\": %s, \"width\": %d, \"height\": %d, \"handler\": %s, "
                "\"error\": %s}\n",
                error.empty() ? "true" : "false", JsonText(o.url).c_str(), JsonText(o.out).c_str(), w, h,
                JsonText(handler).c_str(), JsonText(error).c_str());
  } else if (error.empty()) {
    std::printf("%s: %d x %d preview by %s written to %s\n", o.url.c_str(), w, h, handler.c_str(), o.out.c_str());
  }
  if (!error.empty())
    std::fprintf(stderr, "orxhost preview: %s: %s\n", o.url.c_str(), error.c_str());
  return error.empty() ? 0 : 1;
}

// --- orxhost previews: the background worker over a folder ---

struct RunOptions
{
  std::string url;
  int size = 0;
  bool recursive = false;
  bool force = false;
  bool json = false;
};

orxhost::CommandSyntax RunSyntax()
{
  orxhost::CommandSyntax s;
  s.name = "previews";
  s.options = {{"recursive", 'r', nullptr, "also the content of sub-folders (links to folders are not entered)"},
               {"size", 0, "N",
                "the largest side of a preview, 16 to 1024 (default: the preference,\n"
                "256); pictures smaller than that are not enlarged"},
               {"force", 0, nullptr, "render everything again"},
               {"json", 0, nullptr,
                "one JSON object: ok, url, total, rendered, stored, failed,\n"
                "no_picture, seconds, error"}};
  s.operands = {"URL"};
  s.about = "Renders the previews that are missing or stale among the children of the\n"
            "folder, library or catalog at URL (with --recursive everything below it) on the\n"
            "browser's preview thread, and stores them: previews of presets in their library,\n"
            "those of files on disk in the main database. A preview is stale when the content\n"
            "changed since it was made, or when it is smaller or of lower quality than wanted.\n"
            "Content that has a current preview is not rendered again. A bar shows the\n"
            "progress on a terminal; Ctrl-C stops, keeping what was stored.";
  return s;
}

int ParseRun(const std::vector<std::string>& args, RunOptions* o)
{
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseArguments(RunSyntax(), args, &a); rc >= 0)
    return rc;
  o->url = a.Operand(0);
  o->json = a.Has("json");
  o->recursive = a.Has("recursive");
  o->force = a.Has("force");
  if (a.Has("size")) {
    long long n = 0;
    if (!orxhost::ParseWholeNumber(a.Value("size"), 16, 1024, &n))
      return orxhost::RefuseArgument("previews", "--size wants a number from 16 to 1024, not '" + a.Value("size") + "'");
    o->size = int(n);
  }
  return -1;
}

std::atomic<bool> g_interrupted{false};
void OnInterrupt(int) { g_interrupted.store(true); }

void DrawBar(const OrxPreviewsRequest& r)
{
  constexpr int kWidth = 30;
  const long long total = static_cast<long long>(r.total);
  const long long done = std::min<long long>(static_cast<long long>(r.served), total);
  const int filled = total > 0 ? int(done * kWidth / total) : kWidth;
  std::fprintf(stderr, "\r[%s%s] %lld/%lld, %lld rendered", std::string(std::size_t(filled), '#').c_str(),
               std::string(std::size_t(kWidth - filled), '.').c_str(), done, total,
               static_cast<long long>(r.stored));
  std::fflush(stderr);
}

int RunPreviews(const RunOptions& o)
{
  const auto began = std::chrono::steady_clock::now();
  auto report = [&](const OrxPreviewsRequest& r, const std::string& error) {
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (o.json) {
      std::printf("{\"ok\": %s, \"command\": \"previews\", \"url\": %s, \"total\": %lld, \"rendered\": %lld, "
                  "\"stored\": %lld, \"failed\": %lld, \"no_picture\": %lld, \"seconds\": %.3f, \"error\": %s}\n",
                  error.empty() ? "true" : "false", JsonText(o.url).c_str(), static_cast<long long>(r.total),
                  static_cast<long long>(r.rendered), static_cast<long long>(r.stored),
                  static_cast<long long>(r.failed), static_cast<long long>(r.noPicture), took,
                  JsonText(error).c_str());
    } else if (error.empty()) {
      std::printf("orxhost previews: %lld looked at, %lld stored, %lld failed, %lld without a picture in %.3f s\n",
                  static_cast<long long>(r.total), static_cast<long long>(r.stored), static_cast<long long>(r.failed),
                  static_cast<long long>(r.noPicture), took);
    }
    if (!error.empty())
      std::fprintf(stderr, "orxhost previews: %s: %s\n", o.url.c_str(), error.c_str());
    return error.empty() ? 0 : 1;
  };

  Url url(o.url);
  Node folder(g_lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr));
  OrxPreviewsRequest r;
  if (!folder)
    return report(r, "no such content");
  r.flags = (o.recursive ? BROWSERPREVIEWS_RECURSIVE : 0) | (o.force ? BROWSERPREVIEWS_FORCE : 0);
  r.previewSize = o.size;
  const Int32 rc = g_lib->content->Message(folder.Get(), BROWSERPREVIEWS_ID, BROWSERPREVIEWS_KIND,
                                           BROWSERPREVIEWS_START, &r);
  if (rc != 0 || !r.session)
    return report(r, r.error.Content() ? r.error.ToUtf8() : "the preview thread did not start");

  g_interrupted.store(false);
  struct sigaction action = {}, previous = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previous);
  const bool bar = ::isatty(2) == 1 && !o.json;
  bool stopped = false;
  for (;;) {
    g_lib->content->Message(folder.Get(), BROWSERPREVIEWS_ID, BROWSERPREVIEWS_KIND, BROWSERPREVIEWS_POLL, &r);
    if (bar)
      DrawBar(r);
    if (!r.running)
      break;
    if (g_interrupted.load()) {
      stopped = true;
      g_lib->content->Message(folder.Get(), BROWSERPREVIEWS_ID, BROWSERPREVIEWS_KIND, BROWSERPREVIEWS_STOP, &r);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  g_lib->content->Message(folder.Get(), BROWSERPREVIEWS_ID, BROWSERPREVIEWS_KIND, BROWSERPREVIEWS_FREE, &r);
  sigaction(SIGINT, &previous, nullptr);
  if (bar)
    std::fprintf(stderr, "\n");
  return report(r, stopped ? "stopped" : "");
}

// One content's preview: the handler's, or the stored one.
int RunPreview(const Options& o)
{
  const OrxBrowserLibrary* lib = g_lib;
  Url url(o.url);
  OrxBrowserNode* node = lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr);
  if (!node)
    return Report(o, 0, 0, "", "no such content");

  std::string handlerName, error;
  int w = 0, h = 0;
  if (o.stored) {
    OrxPreviewInfo info;
    lib->content->Message(node, BROWSERPREVIEWS_ID, BROWSERPREVIEWS_KIND, BROWSERPREVIEWS_GET, &info);
    lib->header.releaseNode(node);
    if (!info.bitmap)
      return Report(o, 0, 0, "stored", "no preview is stored for this content");
    w = info.bitmap->GetWidth();
    h = info.bitmap->GetHeight();
    const Filename out = Filename(String::FromBytes(o.out, StringEncoding::System));
    const Int32 format = out.CheckSuffix(String("jpg")) || out.CheckSuffix(String("jpeg")) ? SAVEBITMAP_JPEG
                                                                                              : SAVEBITMAP_PNG;
    if (!GeSaveBitmap(*info.bitmap, out, format, 90))
      error = "cannot write " + o.out;
    delete info.bitmap;
    return Report(o, w, h, "stored", error);
  }
  if (OrxBrowserHandler* handler = lib->content->GetPluginInterface(node, 0)) {
    String name;
    lib->handler->GetPluginID(handler, &name);
    handlerName = name.ToUtf8();
    Int32 qualities = 0;
    void* data = lib->handler->OpenPreviewData(handler, 0, node, nullptr, &qualities);
    BaseBitmap* bmp = data ? lib->handler->GetPreviewBitmap(handler, data, o.size, o.size, 0) : nullptr;
    lib->handler->FreePreviewData(handler, data);
    if (!bmp) {
      error = "the handler gives no preview";
    } else {
      w = bmp->GetWidth();
      h = bmp->GetHeight();
      const Filename out = Filename(String::FromBytes(o.out, StringEncoding::System));
      const Int32 format = out.CheckSuffix(String("jpg")) || out.CheckSuffix(String("jpeg")) ? SAVEBITMAP_JPEG
                                                                                                : SAVEBITMAP_PNG;
      if (!GeSaveBitmap(*bmp, out, format, 90))
        error = "cannot write " + o.out;
      delete bmp;
    }
  } else {
    error = "no handler knows this content";
  }
  lib->header.releaseNode(node);
  return Report(o, w, h, handlerName, error);
}

} // namespace

bool IsPreviewCommand(const std::string& command) { return command == "preview" || command == "previews"; }

void PreviewCommandSummary(std::FILE* out)
{
  std::fprintf(out, "  preview URL -o OUT.png  write the preview bitmap of content (--size N, --json)\n");
  std::fprintf(out, "  preview show URL        open the preview dialog of content and print its fields\n"
                    "                          (--page N, --annotation TEXT, --destroy, -o OUT.png, --json)\n");
  std::fprintf(out, "  previews URL            render and store missing or stale previews (--recursive,\n"
                    "                          --size N, --force, --json)\n");
}

int ParsePreviewArguments(const std::string& command, const std::vector<std::string>& args)
{
  if (command == "previews") {
    RunOptions o;
    return ParseRun(args, &o);
  }
  if (!args.empty() && args[0] == "show")
    return ParsePreviewShowArguments(std::vector<std::string>(args.begin() + 1, args.end()));
  Options o;
  return Parse(args, &o);
}

int RunPreviewCommand(const std::string& command, const std::vector<std::string>& args)
{
  if (command == "previews") {
    RunOptions ro;
    if (int rc = ParseRun(args, &ro); rc >= 0)
      return rc;
    return RunWithBrowserLibrary("previews", [&] { return RunPreviews(ro); });
  }
  if (!args.empty() && args[0] == "show")
    return RunPreviewShow(std::vector<std::string>(args.begin() + 1, args.end()));
  Options o;
  if (int rc = Parse(args, &o); rc >= 0)
    return rc;
  return RunWithBrowserLibrary("preview", [&] { return RunPreview(o); });
}
