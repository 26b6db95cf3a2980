// orxhost preview show: the preview dialog of one node, opened through its handler in the headless
// dialog model, printed, and ended the way the browser window ends it.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "browserclient.h"
#include "commandline.h"
#include "orx/bitmap.h"
#include "orx/media.h"
#include "previewcommands.h"
#include "ui/uimodel.h"

namespace {

namespace ui = orxhost::ui;

struct ShowOptions
{
  std::string url, out, annotation;
  std::vector<std::string> more; // further URLs: the summary of several nodes
  long long page = 0;
  bool destroy = false;
  bool annotate = false;
  bool json = false;
};

orxhost::CommandSyntax ShowSyntax()
{
  orxhost::CommandSyntax s;
  s.name = "preview show";
  s.options = {{"page", 0, "N", "the page to open at: 0, 1, 2, or 65536 + n for the n-th\nadditional page"},
               {"annotation", 0, "TEXT", "types TEXT into the annotation field before the end"},
               {"destroy", 0, nullptr, "deletes the dialog without closing it first"},
               {"out", 'o', "OUT.png", "writes the dialog's picture area as drawn, 256 x 256"},
               {"json", 0, nullptr,
                "one JSON object: ok, url, handler, page, answered, ended,\nfields (gadget id to text), rows, "
                "picture, error"}};
  s.operands = {"URL", "URL..."};
  s.required = 1;
  s.about = "Opens the preview dialog that the handler of the content at URL makes for it,\n"
            "as the browser window shows it beside the content list, and prints its fields.\n"
            "Then the dialog is ended the way the window ends it: closed (the handler\n"
            "decides whether edits are stored: files of images, scenes and unknown kinds\n"
            "store them, the others drop them) and deleted, or with --destroy deleted at\n"
            "once (edits dropped). The page the handler answers is printed.\n"
            "With several URLs the summary of a selection of several items is shown\n"
            "instead: their number, how many of them are folders, and small pictures.";
  return s;
}

int ShowParse(const std::vector<std::string>& args, ShowOptions* o)
{
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseArguments(ShowSyntax(), args, &a); rc >= 0)
    return rc;
  o->url = a.Operand(0);
  o->more.assign(a.Operands().begin() + 1, a.Operands().end());
  o->json = a.Has("json");
  o->destroy = a.Has("destroy");
  o->out = a.Value("out");
  if (a.Has("annotation")) {
    o->annotation = a.Value("annotation");
    o->annotate = true;
  }
  if (a.Has("page")) {
    const std::string v = a.Value("page");
    if (!orxhost::ParseWholeNumber(v, 0, 0x1ffff, &o->page) || (o->page > 2 && o->page < 0x10000))
      return orxhost::RefuseArgument("preview show", "--page wants 0, 1, 2 or 65536 to 131071, not '" + v + "'");
  }
  if (!o->more.empty() && (o->annotate || o->destroy))
    return orxhost::RefuseArgument("preview show", "--annotation and --destroy are for one URL");
  return -1;
}

bool HasText(const ui::Gadget& g)
{
  return g.kind == ORX_GADGET_STATIC || g.kind == ORX_GADGET_EDITTEXT;
}

// Rows of the dialog as a person reads them: a group's title, then its texts, a row of cells
// per line of its columns.
void CollectRows(const ui::DialogView& v, std::size_t index, std::vector<std::string>* rows)
{
  const ui::Gadget& g = v.gadgets[index];
  if (g.kind != ORX_GADGET_GROUP)
    return;
  if (!g.text.empty())
    rows->push_back("[" + g.text + "]");
  const std::size_t cols = std::size_t(std::max<Int32>(1, g.cols));
  std::vector<std::string> line;
  auto flush = [&] {
    std::string row;
    for (const std::string& cell : line)
      if (!cell.empty())
        row += (row.empty() ? "" : "  ") + cell;
    if (!row.empty())
      rows->push_back(row);
    line.clear();
  };
  for (std::size_t child : g.children) {
    const ui::Gadget& c = v.gadgets[child];
    if (c.kind == ORX_GADGET_GROUP) {
      flush();
      CollectRows(v, child, rows);
      continue;
    }
    line.push_back(HasText(c) ? c.text : std::string());
    if (line.size() == cols)
      flush();
  }
  flush();
}

// The area's frame drawn into a picture: fills, frames and bitmaps; text and icons as boxes.
bool RenderArea(Int32 area, Int32 side, BaseBitmap* out)
{
  if (!out->Init(side, side, 3))
    return false;
  UInt32 pen = 0;
  auto put = [&](Int32 x, Int32 y, UInt32 rgb) {
    if (x >= 0 && y >= 0 && x < side && y < side)
      out->SetPixel(x, y, UChar(rgb >> 16), UChar(rgb >> 8), UChar(rgb));
  };
  for (const ui::DrawCall& c : ui::DrawArea(area, side, side)) {
    switch (c.op) {
      case ui::DrawOp::Pen: pen = c.rgb; break;
      case ui::DrawOp::Fill:
        for (Int32 y = c.y1; y <= c.y2; ++y)
          for (Int32 x = c.x1; x <= c.x2; ++x)
            put(x, y, pen);
        break;
      case ui::DrawOp::Frame:
      case ui::DrawOp::Icon:
        for (Int32 x = c.x1; x <= c.x2; ++x) {
          put(x, c.y1, pen ^ 0x808080);
          put(x, c.y2, pen ^ 0x808080);
        }
        for (Int32 y = c.y1; y <= c.y2; ++y) {
          put(c.x1, y, pen ^ 0x808080);
          put(c.x2, y, pen ^ 0x808080);
        }
        break;
      case ui::DrawOp::Bitmap: {
        if (!c.pixels || c.bw <= 0 || c.bh <= 0 || c.channels < 3)
          break;
        const Int32 w = c.x2 - c.x1 + 1, h = c.y2 - c.y1 + 1;
        if (w <= 0 || h <= 0)
          break;
        for (Int32 y = 0; y < h; ++y)
          for (Int32 x = 0; x < w; ++x) {
            const std::size_t sx = std::size_t(Int64(x) * c.bw / w), sy = std::size_t(Int64(y) * c.bh / h);
            const unsigned char* p = c.pixels->data() + (sy * std::size_t(c.bw) + sx) * std::size_t(c.channels);
            put(c.x1 + x, c.y1 + y, UInt32(p[0]) << 16 | UInt32(p[1]) << 8 | p[2]);
          }
        break;
      }
      default: break;
    }
  }
  return true;
}

int ShowReport(const ShowOptions& o, const std::string& handler, long long answered, const char* ended,
               const std::vector<std::pair<Int32, std::string>>& fields, const std::vector<std::string>& rows,
               int picW, int picH, const std::string& error)
{
  if (o.json) {
    std::string f = "{", r = "[";
    for (std::size_t i = 0; i < fields.size(); ++i)
      f += (i ? ", " : "") + JsonText(std::to_string(fields[i].first)) + ": " + JsonText(fields[i].second);
    for (std::size_t i = 0; i < rows.size(); ++i)
      r += (i ? ", " : "") + JsonText(rows[i]);
    std::printf("{\"ok\": %s, \"command\": \"preview show\", \"url\": %s, \"handler\": %s, \"page\": %lld, "
                "\"answered\": %lld, \"ended\": %s, \"fields\": %s}, \"rows\": %s], \"picture\": %s, "
                "\"error\": %s}\n",
                error.empty() ? "true" : "false", JsonText(o.url).c_str(), JsonText(handler).c_str(), o.page,
                answered, JsonText(ended).c_str(), f.c_str(), r.c_str(),
                o.out.empty() || picW == 0
                    ? "null"
                    : ("{\"out\": " + JsonText(o.out) + ", \"width\": " + std::to_string(picW) +
                       ", \"height\": " + std::to_string(picH) + "}")
                          .c_str(),
                JsonText(error).c_str());
  } else if (error.empty()) {
    std::printf("%s: preview dialog of %s, opened at page %lld\n", o.url.c_str(), handler.c_str(), o.page);
    for (const std::string& row : rows)
      std::printf("  %s\n", row.c_str());
    if (!o.out.empty())
      std::printf("picture: %d x %d written to %s\n", picW, picH, o.out.c_str());
    std::printf("%s: page %lld answered\n", ended, answered);
  }
  if (!error.empty())
    std::fprintf(stderr, "orxhost preview show: %s: %s\n", o.url.c_str(), error.c_str());
  return error.empty() ? 0 : 1;
}

} // namespace

int ParsePreviewShowArguments(const std::vector<std::string>& args)
{
  ShowOptions o;
  return ShowParse(args, &o);
}

namespace {

// The summary of several nodes, laid out like the single dialog.
int RunMulti(const ShowOptions& o)
{
  std::vector<std::string> urls{o.url};
  urls.insert(urls.end(), o.more.begin(), o.more.end());
  std::vector<Node> nodes;
  std::string error, text;
  int picW = 0, picH = 0;
  for (const std::string& u : urls) {
    Url url(u);
    Node n(g_lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr));
    if (!n) {
      error = "no such content: " + u;
      break;
    }
    nodes.push_back(std::move(n));
  }
  OrxPreviewMultiRequest r{};
  std::vector<OrxBrowserNode*> raw;
  for (const Node& n : nodes)
    raw.push_back(n.Get());
  if (error.empty()) {
    r.nodes = raw.data();
    r.count = Int32(raw.size());
    if (!g_lib->main->PreviewDialogCall(nullptr, &r, BROWSER_PREVIEWDIALOG_MULTI, 0) || !r.dialog)
      error = "the browser makes no summary of several items";
  }
  if (r.dialog) {
    ui::BindMainThread();
    ui::DialogView view;
    if (!r.handle || !ui::OpenSubDialog(r.handle) || !ui::GetDialog(r.handle, &view)) {
      error = "the summary could not be laid out";
    } else {
      for (const ui::Gadget& g : view.gadgets)
        if (g.kind == ORX_GADGET_STATIC && !g.text.empty())
          text = g.text;
      if (!o.out.empty()) {
        const auto area = std::find_if(view.gadgets.begin(), view.gadgets.end(),
                                       [](const ui::Gadget& g) { return g.kind == ORX_GADGET_USERAREA; });
        BaseBitmap picture;
        if (area == view.gadgets.end() || !RenderArea(area->attach, 256, &picture))
          error = "the summary has no pictures";
        else if (!GeSaveBitmap(picture, Filename(String::FromBytes(o.out, StringEncoding::System)), SAVEBITMAP_PNG))
          error = "cannot write " + o.out;
        else
          picW = picH = 256;
      }
    }
    g_lib->main->PreviewDialogCall(r.dialog, nullptr, BROWSER_PREVIEWDIALOG_MULTI_FREE, 0);
  }
  if (o.json) {
    std::printf("{\"ok\": %s, \"command\": \"preview show\", \"count\": %d, \"text\": %s, \"picture\": %s, "
                "\"error\": %s}\n",
                error.empty() ? "true" : "false", int(urls.size()), JsonText(text).c_str(),
                picW ? ("{\"out\": " + JsonText(o.out) + ", \"width\": 256, \"height\": 256}").c_str() : "null",
                JsonText(error).c_str());
  } else if (error.empty()) {
    std::printf("%s\n", text.c_str());
    if (picW)
      std::printf("pictures: %d x %d written to %s\n", picW, picH, o.out.c_str());
  }
  if (!error.empty())
    std::fprintf(stderr, "orxhost preview show: %s\n", error.c_str());
  return error.empty() ? 0 : 1;
}

// One URL's dialog: its fields, picture and end.
int ShowOne(const ShowOptions& o)
{
  std::vector<std::pair<Int32, std::string>> fields;
  std::vector<std::string> rows;
  std::string handlerName, error;
  long long answered = 0;
  const char* ended = o.destroy ? "destroyed" : "closed";
  int picW = 0, picH = 0;
  {
    Url url(o.url);
    Node node(g_lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr));
    OrxBrowserHandler* handler = node ? g_lib->content->GetPluginInterface(node.Get(), 0) : nullptr;
    OrxBrowserPreviewDialog* dialog = nullptr;
    if (!node) {
      error = "no such content";
    } else if (!handler) {
      error = "no handler knows this content";
    } else {
      String name;
      g_lib->handler->GetPluginID(handler, &name);
      handlerName = name.ToUtf8();
      dialog = g_lib->handler->CreatePreviewDialog(handler, node.Get(), Int32(o.page));
      if (!dialog)
        error = "the handler gives no preview dialog";
    }
    if (dialog) {
      ui::BindMainThread();
      const Int32 handle = g_lib->main->PreviewDialogCall(dialog, nullptr, BROWSER_PREVIEWDIALOG_HANDLE, 0);
      ui::DialogView view;
      if (!handle || !ui::OpenSubDialog(handle) || !ui::GetDialog(handle, &view) || view.gadgets.empty()) {
        error = "the preview dialog could not be laid out";
      } else {
        if (o.annotate) {
          // The annotation field is the last edit text: its group ends the dialog.
          const auto it = std::find_if(view.gadgets.rbegin(), view.gadgets.rend(),
                                       [](const ui::Gadget& g) { return g.kind == ORX_GADGET_EDITTEXT; });
          if (it == view.gadgets.rend() || !it->enabled || !ui::TypeText(handle, it->id, o.annotation))
            error = "this content has no annotation that can be edited";
          ui::GetDialog(handle, &view);
        }
        for (const ui::Gadget& g : view.gadgets)
          if (g.id > 0 && HasText(g))
            fields.emplace_back(g.id, g.text);
        CollectRows(view, 0, &rows);
        if (!o.out.empty()) {
          const auto area = std::find_if(view.gadgets.begin(), view.gadgets.end(),
                                         [](const ui::Gadget& g) { return g.kind == ORX_GADGET_USERAREA; });
          BaseBitmap picture;
          if (area == view.gadgets.end() || !RenderArea(area->attach, 256, &picture)) {
            error = "the dialog has no picture";
          } else if (!GeSaveBitmap(picture, Filename(String::FromBytes(o.out, StringEncoding::System)),
                                   SAVEBITMAP_PNG)) {
            error = "cannot write " + o.out;
          } else {
            picW = picture.GetWidth();
            picH = picture.GetHeight();
          }
        }
      }
      if (!o.destroy) {
        answered = g_lib->main->PreviewDialogCall(dialog, node.Get(), BROWSER_PREVIEWDIALOG_CLOSE, 0);
        g_lib->main->PreviewDialogCall(dialog, node.Get(), BROWSER_PREVIEWDIALOG_DELETE, 0);
      } else {
        answered = g_lib->main->PreviewDialogCall(dialog, node.Get(), BROWSER_PREVIEWDIALOG_DELETE, 0);
      }
    }
  }
  return ShowReport(o, handlerName, answered, ended, fields, rows, picW, picH, error);
}

} // namespace

int RunPreviewShow(const std::vector<std::string>& args)
{
  ShowOptions o;
  if (int rc = ShowParse(args, &o); rc >= 0)
    return rc;
  return RunWithBrowserLibrary("preview show", [&] { return o.more.empty() ? ShowOne(o) : RunMulti(o); });
}
