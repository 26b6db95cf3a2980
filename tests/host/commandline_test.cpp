// The one option parser of every orxhost command.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "app/commandline.h"

using orxhost::CommandGroup;
using orxhost::CommandSyntax;
using orxhost::ParsedArguments;

namespace {

// What a parse wrote on its help and error streams.
struct Outcome
{
  int rc = 0;
  std::string help, err;
  ParsedArguments args;
};

std::string Drain(std::FILE* f)
{
  std::string s;
  std::rewind(f);
  char buf[512];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, f))
    s.append(buf, n);
  std::fclose(f);
  return s;
}

Outcome Parse(const CommandSyntax& syntax, const std::vector<std::string>& args)
{
  Outcome r;
  std::FILE* help = std::tmpfile();
  std::FILE* err = std::tmpfile();
  r.rc = orxhost::ParseArguments(syntax, args, &r.args, help, err);
  r.help = Drain(help);
  r.err = Drain(err);
  return r;
}

CommandSyntax Copy()
{
  CommandSyntax s;
  s.name = "cp";
  s.options = {{"json", 0, nullptr, "one JSON object"},
               {"size", 's', "N", "the largest side"},
               {"out", 'o', "OUT.png", "the picture file\nto write"},
               {"name", 0, "[MODE:]TEXT", "a pattern", true}};
  s.operands = {"URL", "FOLDER-URL"};
  s.about = "Copies the content at URL.";
  s.more = "Exit 2 for wrong arguments.";
  return s;
}

// One line that names the command, quotes what was wrong and points to --help.
void ExpectRefused(const Outcome& r, const std::string& bad)
{
  EXPECT_EQ(r.rc, 2);
  EXPECT_TRUE(r.help.empty()) << r.help;
  EXPECT_EQ(r.err.rfind("orxhost cp: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("orxhost cp --help"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
}

} // namespace

TEST(CommandLine, ValuesComeAttachedOrSeparateAndOperandsKeepTheirOrder)
{
  const Outcome r = Parse(Copy(), {"a", "--size=12", "--json", "-o", "x.png", "b", "--name", "-dash", "--name=x=y"});
  ASSERT_EQ(r.rc, -1) << r.err;
  EXPECT_TRUE(r.err.empty());
  EXPECT_EQ(r.args.Operands(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(r.args.Value("size"), "12");
  EXPECT_EQ(r.args.Value("out"), "x.png");
  EXPECT_TRUE(r.args.Has("json"));
  EXPECT_FALSE(r.args.Has("nothing"));
  EXPECT_EQ(r.args.Value("nothing", "fallback"), "fallback");
  // A value is the next argument even when it looks like an option.
  EXPECT_EQ(r.args.Values("name"), (std::vector<std::string>{"-dash", "x=y"}));
  ASSERT_EQ(r.args.Given().size(), 5u);
  EXPECT_EQ(r.args.Given()[0].first, "size");
  EXPECT_EQ(r.args.Given()[3], (std::pair<std::string, std::string>{"name", "-dash"}));

  const Outcome shortForms = Parse(Copy(), {"-s7", "-ox.png", "a", "b", "--size=", "--out="});
  ASSERT_EQ(shortForms.rc, 2) << "--size twice";
  const Outcome attached = Parse(Copy(), {"-s7", "-ox.png", "a", "b"});
  ASSERT_EQ(attached.rc, -1) << attached.err;
  EXPECT_EQ(attached.args.Value("size"), "7");
  EXPECT_EQ(attached.args.Value("out"), "x.png");
  const Outcome empty = Parse(Copy(), {"--out=", "a", "b"});
  ASSERT_EQ(empty.rc, -1) << empty.err;
  EXPECT_TRUE(empty.args.Has("out"));
  EXPECT_EQ(empty.args.Value("out", "unset"), "");
}

TEST(CommandLine, DoubleDashEndsTheOptionsSoNamesMayStartWithADash)
{
  const Outcome r = Parse(Copy(), {"--json", "--", "-x", "--size"});
  ASSERT_EQ(r.rc, -1) << r.err;
  EXPECT_EQ(r.args.Operands(), (std::vector<std::string>{"-x", "--size"}));
  EXPECT_FALSE(r.args.Has("size"));
  // A lone dash is a name too.
  const Outcome dash = Parse(Copy(), {"-", "b"});
  ASSERT_EQ(dash.rc, -1) << dash.err;
  EXPECT_EQ(dash.args.Operand(0), "-");
  // Without "--" the same name is an unknown option.
  ExpectRefused(Parse(Copy(), {"-x", "a", "b"}), "'-x'");
}

TEST(CommandLine, UnknownOptionsMissingValuesAndStrayValuesAreRefused)
{
  ExpectRefused(Parse(Copy(), {"a", "b", "--bogus"}), "unknown option '--bogus'");
  ExpectRefused(Parse(Copy(), {"a", "b", "--bogus=1"}), "'--bogus=1'");
  ExpectRefused(Parse(Copy(), {"a", "b", "-q"}), "'-q'");
  ExpectRefused(Parse(Copy(), {"--jsonx", "a", "b"}), "'--jsonx'");
  ExpectRefused(Parse(Copy(), {"--help=yes", "a", "b"}), "'--help=yes'");
  ExpectRefused(Parse(Copy(), {"a", "b", "--size"}), "--size needs a value (N)");
  ExpectRefused(Parse(Copy(), {"a", "b", "-o"}), "-o needs a value");
  ExpectRefused(Parse(Copy(), {"a", "b", "--json=yes"}), "'--json=yes'");
  // An unknown option is refused wherever it stands, also beside --help.
  ExpectRefused(Parse(Copy(), {"--help", "--bogus"}), "'--bogus'");
}

TEST(CommandLine, OnlyRepeatingOptionsMayBeGivenTwice)
{
  ExpectRefused(Parse(Copy(), {"a", "b", "--json", "--json"}), "--json may be given once");
  ExpectRefused(Parse(Copy(), {"a", "b", "--size", "1", "-s", "2"}), "'-s'");
  ExpectRefused(Parse(Copy(), {"a", "b", "-o", "x", "--out=y"}), "'--out=y'");
  const Outcome r = Parse(Copy(), {"a", "b", "--name", "x", "--name", "y", "--name=z"});
  ASSERT_EQ(r.rc, -1) << r.err;
  EXPECT_EQ(r.args.Values("name"), (std::vector<std::string>{"x", "y", "z"}));
}

TEST(CommandLine, OperandsAreCountedAndRequiredOptionsDemanded)
{
  ExpectRefused(Parse(Copy(), {}), "URL is needed");
  ExpectRefused(Parse(Copy(), {"a"}), "FOLDER-URL is needed");
  ExpectRefused(Parse(Copy(), {"a", "b", "c"}), "'c'");

  CommandSyntax some = Copy();
  some.required = 1;
  EXPECT_EQ(Parse(some, {"a"}).rc, -1);
  EXPECT_EQ(Parse(some, {"a", "b"}).rc, -1);
  EXPECT_EQ(Parse(some, {"a", "b", "c"}).rc, 2);

  CommandSyntax many = Copy();
  many.operands = {"CATALOG-URL", "TARGET-URL..."};
  ExpectRefused(Parse(many, {"a"}), "TARGET-URL is needed");
  const Outcome r = Parse(many, {"a", "b", "c", "d"});
  ASSERT_EQ(r.rc, -1) << r.err;
  EXPECT_EQ(r.args.Operands().size(), 4u);
  // Nothing is named "": an empty operand is refused by its name, a repeated one's too.
  ExpectRefused(Parse(Copy(), {"a", ""}), "FOLDER-URL is empty");
  ExpectRefused(Parse(many, {"a", "b", ""}), "TARGET-URL is empty");

  CommandSyntax out = Copy();
  out.options[2].required = true;
  ExpectRefused(Parse(out, {"a", "b"}), "-o OUT.png is needed");
  EXPECT_EQ(Parse(out, {"a", "b", "--out", "x"}).rc, -1);

  // The host's own options come before its command, whose arguments are its own.
  CommandSyntax host;
  host.name = "host";
  host.options = {{"quiet"}};
  host.operands = {"COMMAND", "ARGUMENTS..."};
  host.required = 0;
  host.optionsFirst = true;
  const Outcome h = Parse(host, {"--quiet", "ls", "--quiet", "--", "x"});
  ASSERT_EQ(h.rc, -1) << h.err;
  EXPECT_EQ(h.args.Operands(), (std::vector<std::string>{"ls", "--quiet", "--", "x"}));
  EXPECT_EQ(Parse(host, {"ls", ""}).rc, -1) << "the command judges its own arguments";
}

TEST(CommandLine, HelpComesFromTheTableAndListsEveryOption)
{
  for (const char* ask : {"--help", "-h"}) {
    // The operands need not be there for help.
    const Outcome r = Parse(Copy(), {ask});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    // The usage line goes on below itself past 80 columns.
    const std::string usage = r.help.substr(0, r.help.find("\n\n"));
    std::string joined;
    std::size_t widest = 0, from = 0;
    while (from < usage.size()) {
      const std::size_t nl = std::min(usage.find('\n', from), usage.size());
      const std::string line = usage.substr(from, nl - from);
      widest = std::max(widest, line.size());
      joined += (joined.empty() ? "" : " ") + line.substr(line.find_first_not_of(' '));
      from = nl + 1;
    }
    EXPECT_EQ(joined, "usage: orxhost cp [--json] [--size N] [--out OUT.png] [--name [MODE:]TEXT]... URL FOLDER-URL");
    EXPECT_LE(widest, 80u) << usage;
    EXPECT_NE(usage.find('\n'), std::string::npos) << usage;
    for (const char* line : {"\n  --json ", "\n  -s, --size N ", "\n  -o, --out OUT.png ", "\n  --name [MODE:]TEXT ",
                             "\n  -h, --help ", "the largest side", "Copies the content at URL.",
                             "Exit 2 for wrong arguments."})
      EXPECT_NE(r.help.find(line), std::string::npos) << line << " in\n" << r.help;
    // A help text of two lines keeps its second line in the column of the first.
    const std::size_t first = r.help.find("the picture file");
    const std::size_t second = r.help.find("to write");
    ASSERT_NE(second, std::string::npos);
    const std::size_t lineStart = r.help.rfind('\n', first) + 1;
    EXPECT_EQ(first - lineStart, second - (r.help.rfind('\n', second) + 1)) << r.help;
  }
  CommandSyntax out = Copy();
  out.options[2].required = true;
  out.required = 1;
  EXPECT_EQ(orxhost::Synopsis(out), "[--json] [--size N] -o OUT.png [--name [MODE:]TEXT]... URL [FOLDER-URL]");
}

TEST(CommandLine, AGroupPicksItsCommandAndShowsEveryCommandsOptions)
{
  CommandGroup g;
  g.name = "scene";
  g.about = "The host's scene documents.";
  CommandSyntax n;
  n.name = "scene new";
  n.options = {{"force", 0, nullptr, "replace DOC"}};
  n.operands = {"DOC"};
  n.about = "an empty document";
  CommandSyntax u;
  u.name = "scene undo";
  u.options = {{"json", 0, nullptr, "one JSON object"}};
  u.operands = {"DOC"};
  u.about = "takes back the last change";
  g.commands = {n, u};

  auto parse = [&](const std::vector<std::string>& args, const CommandSyntax** which, Outcome* r) {
    std::FILE* help = std::tmpfile();
    std::FILE* err = std::tmpfile();
    r->rc = orxhost::ParseGroupArguments(g, args, which, &r->args, help, err);
    r->help = Drain(help);
    r->err = Drain(err);
  };
  const CommandSyntax* which = nullptr;
  Outcome r;
  // Options before the command's name are the command's.
  parse({"--json", "undo", "a.orx"}, &which, &r);
  ASSERT_EQ(r.rc, -1) << r.err;
  ASSERT_NE(which, nullptr);
  EXPECT_EQ(which->name, "scene undo");
  EXPECT_TRUE(r.args.Has("json"));
  EXPECT_EQ(r.args.Operands(), (std::vector<std::string>{"a.orx"}));

  parse({"new", "--json", "a.orx"}, &which, &r);
  EXPECT_EQ(r.rc, 2);
  EXPECT_EQ(which, nullptr);
  EXPECT_NE(r.err.find("orxhost scene new: unknown option '--json' (see orxhost scene new --help)"), std::string::npos)
      << r.err;

  parse({"new", "--", "-a.orx"}, &which, &r);
  ASSERT_EQ(r.rc, -1) << r.err;
  EXPECT_EQ(r.args.Operands(), (std::vector<std::string>{"-a.orx"}));

  parse({"frobnicate", "a.orx"}, &which, &r);
  EXPECT_EQ(r.rc, 2);
  EXPECT_NE(r.err.find("'frobnicate'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("new, undo"), std::string::npos) << r.err;
  parse({}, &which, &r);
  EXPECT_EQ(r.rc, 2);
  EXPECT_NE(r.err.find("a command is needed"), std::string::npos) << r.err;

  parse({"--help"}, &which, &r);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(which, nullptr);
  for (const char* line : {"usage: orxhost scene COMMAND ARGUMENTS\n", "\n  orxhost scene new [--force] DOC\n", "\n  orxhost scene undo [--json] DOC\n",
                           "      --force ", "      --json ", "takes back the last change", "The host's scene documents."})
    EXPECT_NE(r.help.find(line), std::string::npos) << line << " in\n" << r.help;
  parse({"undo", "--help"}, &which, &r);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.help.rfind("usage: orxhost scene undo [--json] DOC\n", 0), 0u) << r.help;
}

TEST(CommandLine, NumbersAreWholeAndInRange)
{
  long long n = -1;
  EXPECT_TRUE(orxhost::ParseWholeNumber("42", 1, 100, &n));
  EXPECT_EQ(n, 42);
  for (const char* bad : {"", "-", "12x", " 12", "0x10", "101", "0", "99999999999999999999999"})
    EXPECT_FALSE(orxhost::ParseWholeNumber(bad, 1, 100, &n)) << bad;
  EXPECT_TRUE(orxhost::ParseWholeNumber("9223372036854775807", 1, LLONG_MAX, &n));

  double d = -1;
  EXPECT_TRUE(orxhost::ParseDecimalNumber("0.25", 0, 1, &d));
  EXPECT_DOUBLE_EQ(d, 0.25);
  EXPECT_TRUE(orxhost::ParseDecimalNumber("1", 0, 1, &d));
  EXPECT_DOUBLE_EQ(d, 1);
  for (const char* bad : {"", ".", "1.5", "-0.1", "0.5x", "nan", "inf", "0x1p-2", " 0.5", "1,0"})
    EXPECT_FALSE(orxhost::ParseDecimalNumber(bad, 0, 1, &d)) << bad;
}
