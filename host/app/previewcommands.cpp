#include "previewcommands.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "browserclient.h"
#include "orx/browserlib.h"
#include "orx/media.h"
#include "orx/services.h"

namespace {

struct Options
{
  std::string url, out;
  int size = 256;
  bool json = false;
  bool help = false;
};

void Help(std::FILE* out)
{
  std::fprintf(out,
               "usage: orxhost preview [--size N] [--json] -o OUT.png URL\n"
               "\n"
               "Asks the handler of the content at URL (matched by name and first bytes) for\n"
               "its preview bitmap of at most N x N pixels (default 256; a smaller picture is\n"
               "not enlarged) and writes it to OUT as PNG, or as JPEG when OUT ends in .jpg.\n"
               "Fails when the content has no handler or the handler gives no preview (a\n"
               "damaged or truncated picture, a pipe, a file of sound alone).\n"
               "\n"
               "  -o OUT    the picture file to write\n"
               "  --size N  the largest side, 1 to 4096\n"
               "  --json    one JSON object: ok, url, out, width, height, handler, error\n");
}

int Parse(const std::vector<std::string>& args, Options* o)
{
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "-o" || a == "--size") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "orxhost preview: %s needs a value\n", a.c_str());
        return 2;
      }
      const std::string& v = args[++i];
      if (a == "-o") {
        o->out = v;
      } else {
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || n < 1 || n > 4096) {
          std::fprintf(stderr, "orxhost preview: --size wants a number from 1 to 4096, not '%s'\n", v.c_str());
          return 2;
        }
        o->size = int(n);
      }
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "orxhost preview: unknown option '%s'\n", a.c_str());
      Help(stderr);
      return 2;
    } else if (o->url.empty()) {
      o->url = a;
    } else {
      std::fprintf(stderr, "orxhost preview: unexpected argument '%s'\n", a.c_str());
      return 2;
    }
  }
  if (o->help) {
    Help(stdout);
    return 0;
  }
  if (o->url.empty() || o->out.empty()) {
    std::fprintf(stderr, "orxhost preview: %s is needed\n", o->url.empty() ? "a URL" : "an output file (-o)");
    Help(stderr);
    return 2;
  }
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

} // namespace

bool IsPreviewCommand(const std::string& command) { return command == "preview"; }

void PreviewCommandSummary(std::FILE* out)
{
  std::fprintf(out, "  preview URL -o OUT.png  write the preview bitmap of content (--size N, --json)\n");
}

int ParsePreviewArguments(const std::string&, const std::vector<std::string>& args)
{
  Options o;
  return Parse(args, &o);
}

int RunPreviewCommand(const std::string&, const std::vector<std::string>& args)
{
  Options o;
  if (int rc = Parse(args, &o); rc >= 0)
    return rc;
  const auto* lib = static_cast<const OrxBrowserLibrary*>(
      GeGetLibrary(BROWSERLIB_ID, BROWSERLIB_VERSION, Int32(sizeof(OrxBrowserLibrary))));
  if (!lib)
    return Report(o, 0, 0, "", "the plug-in published no browser library");

  const std::size_t align = std::size_t(std::max<Int32>(lib->header.urlAlign, 8));
  const std::size_t bytes = (std::size_t(lib->header.urlSize) + align - 1) / align * align;
  std::unique_ptr<unsigned char, decltype(&std::free)> storage(
      static_cast<unsigned char*>(std::aligned_alloc(align, bytes)), &std::free);
  auto* url = reinterpret_cast<OrxBrowserURL*>(storage.get());
  lib->url->Init(url);
  const String text = String::FromBytes(o.url, StringEncoding::System);
  lib->url->SetString(url, &text);
  OrxBrowserNode* node = lib->main->GetNode(url, BROWSER_GETNODE_EXACT, nullptr);
  lib->url->Free(url);
  if (!node)
    return Report(o, 0, 0, "", "no such content");

  std::string handlerName, error;
  int w = 0, h = 0;
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
