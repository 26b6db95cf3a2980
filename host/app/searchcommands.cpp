#include "searchcommands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <utility>

#include "browserclient.h"
#include "commandline.h"
#include "orx/browserlib.h"
#include "orx/browsersearch.h"
#include "orx/container.h"
#include "orx/services.h"

namespace {

constexpr Int32 kSearchRoot = 4;
constexpr Int32 kMaxRows = 20;

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted.store(true); }

struct Row
{
  Int32 kind = 0;
  Int32 mode = 0;
  std::string text;
  Int32 number = 0, month = 0, year = 0;
};

struct Options
{
  std::string start;
  std::vector<Row> rows;
  bool recursive = false;
  bool json = false;
  long long limit = -1;
};

orxhost::CommandSyntax Syntax()
{
  orxhost::CommandSyntax s;
  s.name = "search";
  s.options = {
      {"name", 0, "[MODE:]TEXT", "the last part of the URL, any letter case", true},
      {"keyword", 0, "[MODE:]TEXT", "a keyword of the item (a link: of its target)", true},
      {"annotation", 0, "[MODE:]TEXT",
       "the annotation of the item (a link: of its target)\n"
       "MODE: contains (the default), begins, ends, equals",
       true},
      {"modified", 0, "MODE:YYYY-MM-DD", "MODE: after, before, on", true},
      {"created", 0, "MODE:YYYY-MM-DD", "MODE: after, before, on", true},
      {"size", 0, "MODE:KB", "MODE: atleast, atmost; kilobytes of 1024 bytes", true},
      {"type", 0, "TEXT", "the type name contains TEXT (letter case counts)", true},
      {"recursive", 'r', nullptr, "search sub-folders"},
      {"json", 0, nullptr, "one JSON object per hit, then one with the totals"},
      {"limit", 0, "N", "stop after N hits"},
  };
  s.operands = {"START-URL"};
  s.about = "Searches the children of START-URL (a folder, a library, a catalog), or with\n"
            "--recursive everything below it, and collects what matches every criterion as\n"
            "links in a new results catalog below search:/. Links on disk are never entered,\n"
            "and neither are other file systems mounted below the start. Hits are printed as\n"
            "they are found, then their count and the time taken. Ctrl-C stops the search.\n"
            "\n"
            "Criteria (--name to --type) may each be given more than once, at most 20 in all;\n"
            "at least one is needed.";
  return s;
}

bool Fail(const std::string& why)
{
  orxhost::RefuseArgument("search", why);
  return false;
}

bool SplitMode(const std::string& value, const std::vector<std::string>& modes, Int32 def, Int32* mode,
               std::string* rest)
{
  const std::size_t colon = value.find(':');
  if (colon != std::string::npos) {
    const std::string m = value.substr(0, colon);
    for (std::size_t i = 0; i < modes.size(); ++i)
      if (m == modes[i]) {
        *mode = Int32(i);
        *rest = value.substr(colon + 1);
        return true;
      }
  }
  if (def < 0)
    return false;
  *mode = def;
  *rest = value;
  return true;
}

// YYYY-MM-DD, each part a whole number in its range.
bool ParseDate(const std::string& date, int* y, int* m, int* d)
{
  const std::size_t a = date.find('-');
  const std::size_t b = a == std::string::npos ? a : date.find('-', a + 1);
  if (b == std::string::npos)
    return false;
  long long year = 0, month = 0, day = 0;
  if (!orxhost::ParseWholeNumber(date.substr(0, a), 1904, 2100, &year) ||
      !orxhost::ParseWholeNumber(date.substr(a + 1, b - a - 1), 1, 12, &month) ||
      !orxhost::ParseWholeNumber(date.substr(b + 1), 1, 31, &day))
    return false;
  *y = int(year);
  *m = int(month);
  *d = int(day);
  return true;
}

bool ParseRow(const std::string& option, const std::string& value, Row* row)
{
  static const std::vector<std::string> textModes = {"contains", "begins", "ends", "equals"};
  static const std::vector<std::string> dateModes = {"after", "before", "on"};
  static const std::vector<std::string> sizeModes = {"atleast", "atmost"};
  if (option == "--name" || option == "--keyword" || option == "--annotation") {
    row->kind = option == "--name" ? 0 : option == "--keyword" ? 5 : 6;
    SplitMode(value, textModes, 0, &row->mode, &row->text);
    if (row->text.empty())
      return Fail(option + ": an empty pattern would match everything");
    return true;
  }
  if (option == "--type") {
    row->kind = 4;
    row->text = value;
    if (value.empty())
      return Fail("--type: an empty type name would match everything");
    return true;
  }
  if (option == "--modified" || option == "--created") {
    row->kind = option == "--modified" ? 1 : 2;
    std::string date;
    if (!SplitMode(value, dateModes, -1, &row->mode, &date))
      return Fail(option + ": give after:DATE, before:DATE or on:DATE");
    if (!ParseDate(date, &row->year, &row->month, &row->number))
      return Fail(option + ": '" + date + "' is no date YYYY-MM-DD between 1904 and 2100");
    return true;
  }
  if (option == "--size") {
    row->kind = 3;
    std::string kb;
    if (!SplitMode(value, sizeModes, -1, &row->mode, &kb))
      return Fail("--size: give atleast:KB or atmost:KB");
    long long v = 0;
    if (!orxhost::ParseWholeNumber(kb, 1, 9999999, &v))
      return Fail("--size: '" + kb + "' is no size from 1 to 9999999 KB");
    row->number = Int32(v);
    return true;
  }
  return Fail("unknown option '" + option + "'");
}

int Parse(const std::vector<std::string>& args, Options* o)
{
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseArguments(Syntax(), args, &a); rc >= 0)
    return rc;
  o->start = a.Operand(0);
  o->json = a.Has("json");
  o->recursive = a.Has("recursive");
  if (a.Has("limit") && !orxhost::ParseWholeNumber(a.Value("limit"), 1, LLONG_MAX, &o->limit)) {
    return orxhost::RefuseArgument("search", "--limit needs a whole number of at least 1, not '" + a.Value("limit") + "'");
  }
  for (const auto& [name, value] : a.Given()) {
    if (name == "json" || name == "recursive" || name == "limit")
      continue;
    Row row;
    if (!ParseRow("--" + name, value, &row))
      return 2;
    if (o->rows.size() >= std::size_t(kMaxRows)) {
      Fail("at most 20 criteria");
      return 2;
    }
    o->rows.push_back(row);
  }
  if (o->rows.empty()) {
    Fail("at least one criterion is needed");
    return 2;
  }
  return -1;
}

BaseContainer StoredRows(const Options& o)
{
  BaseContainer out;
  out.SetInt32(0, Int32(o.rows.size()));
  BaseContainer rows;
  for (std::size_t i = 0; i < o.rows.size(); ++i) {
    const Row& r = o.rows[i];
    BaseContainer values;
    values.SetInt32(0, r.mode);
    if (r.kind == 0 || r.kind >= 4)
      values.SetString(1, String::FromBytes(r.text, StringEncoding::System));
    else
      values.SetInt32(1, r.number);
    if (r.kind == 1 || r.kind == 2) {
      values.SetInt32(2, r.month);
      values.SetInt32(3, r.year);
    }
    BaseContainer row(r.kind);
    row.SetContainer(0, values);
    rows.SetContainer(Int32(i), row);
  }
  out.SetContainer(1, rows);
  out.SetBool(2, o.recursive);
  return out;
}

int RunSearch(const Options& o)
{
  Url url(o.start);
  Node start(g_lib->main->GetNode(url.Get(), BROWSER_GETNODE_EXACT, nullptr));
  if (!start) {
    std::fprintf(stderr, "orxhost search: no such content: %s\n", o.start.c_str());
    return 1;
  }
  Node root(g_lib->main->GetRootNode(kSearchRoot));
  if (!root) {
    std::fprintf(stderr, "orxhost search: the browser has no search:/\n");
    return 1;
  }
  const BaseContainer rows = StoredRows(o);
  OrxSearchRequest r;
  r.rows = &rows;
  r.start = start.Get();
  const auto began = std::chrono::steady_clock::now();
  const Int32 rc = g_lib->content->Message(root.Get(), BROWSERSEARCH_ID, BROWSERSEARCH_KIND, BROWSERSEARCH_START, &r);
  if (rc != 0 || !r.session) {
    std::fprintf(stderr, "orxhost search: the search did not start (code 0x%08x)%s%s\n", unsigned(rc),
                 r.error.Content() ? ": " : "", r.error.ToUtf8().c_str());
    if (o.json)
      std::printf("{\"ok\":false,\"command\":\"search\",\"start\":%s,\"code\":\"0x%08x\",\"error\":%s}\n",
                  JsonText(o.start).c_str(), unsigned(rc), JsonText(r.error.ToUtf8()).c_str());
    return 1;
  }
  std::string resultsURL;
  {
    Url u;
    g_lib->content->GetURL(r.results, u.Get(), 0);
    resultsURL = u.Text();
  }

  // Ctrl-C asks the search to stop; the thread ends cleanly and the found links stay.
  g_interrupted.store(false);
  struct sigaction action = {}, previous = {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previous);

  long long printed = 0;
  double firstHit = -1;
  Node last;
  bool stopped = false;
  auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(); };
  auto printNew = [&] {
    for (;;) {
      Node next(last ? g_lib->tree->GetNext(last.Get()) : g_lib->tree->GetDown(r.results));
      if (!next)
        return;
      if (o.limit < 0 || printed < o.limit) {
        const std::string target = next.URL(0x80000000u);
        if (firstHit < 0)
          firstHit = seconds();
        if (o.json)
          std::printf("{\"hit\":%s,\"link\":%s}\n", JsonText(target).c_str(), JsonText(next.URL()).c_str());
        else
          std::printf("%s\n", target.c_str());
        ++printed;
      }
      last = std::move(next);
    }
  };
  for (;;) {
    // The main thread hands the found links to the views while it waits.
    g_lib->content->Message(root.Get(), BROWSERSEARCH_ID, BROWSERSEARCH_KIND, BROWSERSEARCH_POLL, &r);
    const bool running = r.running != 0;
    printNew();
    std::fflush(stdout);
    if (!running)
      break;
    if (g_interrupted.load() || (o.limit >= 0 && printed >= o.limit)) {
      stopped = true;
      g_lib->content->Message(root.Get(), BROWSERSEARCH_ID, BROWSERSEARCH_KIND, BROWSERSEARCH_STOP, &r);
      printNew();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double took = seconds();
  g_lib->content->Message(root.Get(), BROWSERSEARCH_ID, BROWSERSEARCH_KIND, BROWSERSEARCH_FREE, &r);
  sigaction(SIGINT, &previous, nullptr);
  if (r.capped)
    std::fprintf(stderr, "orxhost search: stopped at the limit of hits the browser keeps\n");
  if (o.json)
    std::printf("{\"ok\":true,\"command\":\"search\",\"start\":%s,\"results\":%s,\"count\":%lld,\"folders\":%lld,"
                "\"seconds\":%.3f,\"first_hit_seconds\":%.3f,\"stopped\":%s,\"capped\":%s}\n",
                JsonText(start.URL()).c_str(), JsonText(resultsURL).c_str(), printed, static_cast<long long>(r.folders), took,
                firstHit < 0 ? 0.0 : firstHit, stopped ? "true" : "false", r.capped ? "true" : "false");
  else
    std::printf("orxhost search: %lld found in %.3f s%s (%s)\n", printed, took, stopped ? ", stopped" : "",
                resultsURL.c_str());
  return 0;
}

} // namespace

bool IsSearchCommand(const std::string& command) { return command == "search"; }

void SearchCommandSummary(std::FILE* out)
{
  std::fprintf(out, "  search URL CRITERIA...       search content; results go below search:/\n");
}

int ParseSearchArguments(const std::vector<std::string>& args)
{
  Options o;
  return Parse(args, &o);
}

int RunSearchCommand(const std::vector<std::string>& args)
{
  Options o;
  if (int rc = Parse(args, &o); rc >= 0)
    return rc;
  return RunWithBrowserLibrary("search", [&] { return RunSearch(o); });
}
