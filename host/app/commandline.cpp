#include "commandline.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace orxhost {

bool ParseWholeNumber(const std::string& text, long long lo, long long hi, long long* out)
{
  long long v = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  const auto [end, ec] = std::from_chars(first, last, v);
  if (text.empty() || ec != std::errc() || end != last || v < lo || v > hi)
    return false;
  *out = v;
  return true;
}

bool ParseDecimalNumber(const std::string& text, double lo, double hi, double* out)
{
  double v = 0;
  const char* first = text.data();
  const char* last = first + text.size();
  // from_chars reads no leading '+' and no hex unless asked; it does read "inf" and "nan".
  const auto [end, ec] = std::from_chars(first, last, v, std::chars_format::general);
  if (text.empty() || ec != std::errc() || end != last || !std::isfinite(v) || v < lo || v > hi)
    return false;
  *out = v;
  return true;
}

int RefuseArgument(const std::string& command, const std::string& why, std::FILE* err)
{
  const std::string called = command.empty() ? "orxhost" : "orxhost " + command;
  std::fprintf(err, "%s: %s (see %s --help)\n", called.c_str(), why.c_str(), called.c_str());
  return 2;
}

bool ParsedArguments::Has(const std::string& name) const
{
  return std::any_of(given_.begin(), given_.end(), [&](const auto& g) { return g.first == name; });
}

std::string ParsedArguments::Value(const std::string& name, const std::string& fallback) const
{
  for (auto it = given_.rbegin(); it != given_.rend(); ++it)
    if (it->first == name)
      return it->second;
  return fallback;
}

std::vector<std::string> ParsedArguments::Values(const std::string& name) const
{
  std::vector<std::string> v;
  for (const auto& g : given_)
    if (g.first == name)
      v.push_back(g.second);
  return v;
}

namespace {

bool Repeats(const std::string& operand) { return operand.size() > 3 && operand.ends_with("..."); }

std::size_t Least(const CommandSyntax& syntax)
{
  return std::min(syntax.required, syntax.operands.size());
}

std::string Called(const std::string& name) { return name.empty() ? "orxhost" : "orxhost " + name; }
std::string Called(const CommandSyntax& syntax) { return Called(syntax.name); }

int Refuse(const CommandSyntax& syntax, const std::string& why, std::FILE* err)
{
  return RefuseArgument(syntax.name, why, err);
}

std::string Label(const CommandOption& o)
{
  std::string s = o.letter ? std::string("-") + o.letter + ", --" + o.name : std::string("--") + o.name;
  if (o.value)
    s += std::string(" ") + o.value;
  return s;
}

// Two columns: the options, then their help; a label too wide for the column has its help below.
void PrintOptions(const std::vector<CommandOption>& options, bool withHelp, int indent, std::FILE* out)
{
  std::vector<std::pair<std::string, std::string>> rows;
  for (const CommandOption& o : options)
    rows.emplace_back(Label(o), o.help);
  if (withHelp)
    rows.emplace_back("-h, --help", "this text");
  std::size_t width = 0;
  for (const auto& r : rows)
    if (r.first.size() <= 24)
      width = std::max(width, r.first.size());
  const int column = indent + int(width) + 2;
  for (const auto& [label, help] : rows) {
    std::fprintf(out, "%*s%s", indent, "", label.c_str());
    if (help.empty()) {
      std::fprintf(out, "\n");
      continue;
    }
    int at = indent + int(label.size());
    std::size_t from = 0;
    do {
      const std::size_t nl = help.find('\n', from);
      const std::string line = help.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
      if (at > column - 2) {
        std::fprintf(out, "\n");
        at = 0;
      }
      if (!line.empty())
        std::fprintf(out, "%*s%s", column - at, "", line.c_str());
      std::fprintf(out, "\n");
      at = 0;
      from = nl == std::string::npos ? std::string::npos : nl + 1;
    } while (from != std::string::npos);
  }
}

void PrintText(const std::string& text, int indent, std::FILE* out)
{
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t nl = text.find('\n', from);
    const std::string line = text.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
    if (line.empty())
      std::fprintf(out, "\n");
    else
      std::fprintf(out, "%*s%s\n", indent, "", line.c_str());
    if (nl == std::string::npos)
      break;
    from = nl + 1;
  }
}

} // namespace

int ParseArguments(const CommandSyntax& syntax, const std::vector<std::string>& args, ParsedArguments* out,
                   std::FILE* help, std::FILE* err)
{
  *out = ParsedArguments();
  bool ended = false, wantsHelp = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!ended && a == "--") {
      ended = true;
      continue;
    }
    // "-" alone is a name (standard input, to many programs), not an option.
    if (ended || a.size() < 2 || a[0] != '-') {
      out->operands_.push_back(a);
      ended = ended || syntax.optionsFirst;
      continue;
    }
    const CommandOption* o = nullptr;
    std::string shown, value;
    bool attached = false;
    if (a[1] == '-') {
      const std::size_t eq = a.find('=');
      const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      shown = "--" + name;
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        attached = true;
      }
      for (const CommandOption& c : syntax.options)
        if (name == c.name)
          o = &c;
      if (!o && name == "help" && !attached) {
        wantsHelp = true;
        continue;
      }
    } else {
      shown = a.substr(0, 2);
      for (const CommandOption& c : syntax.options)
        if (c.letter == a[1])
          o = &c;
      if (!o && a == "-h") {
        wantsHelp = true;
        continue;
      }
      if (o && a.size() > 2) {
        if (!o->value)
          o = nullptr; // no bundles of flags: "-rf" is one unknown option
        value = a.substr(2);
        attached = true;
      }
    }
    if (!o)
      return Refuse(syntax, "unknown option '" + a + "'", err);
    if (o->value && !attached) {
      if (i + 1 >= args.size())
        return Refuse(syntax, shown + " needs a value (" + o->value + ")", err);
      value = args[++i];
    } else if (!o->value && attached) {
      return Refuse(syntax, shown + " takes no value, not '" + a + "'", err);
    }
    if (!o->repeats && out->Has(o->name))
      return Refuse(syntax, "--" + std::string(o->name) + " may be given once, not again as '" + a + "'", err);
    out->given_.emplace_back(o->name, value);
  }
  if (wantsHelp) {
    PrintHelp(syntax, help);
    return 0;
  }
  for (const CommandOption& c : syntax.options)
    if (c.required && !out->Has(c.name))
      return Refuse(syntax, (c.letter ? std::string("-") + c.letter : "--" + std::string(c.name)) + " " + c.value +
                              " is needed",
                    err);
  const std::size_t least = Least(syntax);
  const bool many = !syntax.operands.empty() && Repeats(syntax.operands.back());
  if (out->operands_.size() < least) {
    std::string missing = syntax.operands[out->operands_.size()];
    if (Repeats(missing))
      missing.resize(missing.size() - 3);
    return Refuse(syntax, missing + " is needed", err);
  }
  if (!many && out->operands_.size() > syntax.operands.size())
    return Refuse(syntax, "one argument too many: '" + out->operands_[syntax.operands.size()] + "'", err);
  for (std::size_t i = 0; i < out->operands_.size() && !syntax.optionsFirst; ++i)
    if (out->operands_[i].empty()) {
      std::string name = syntax.operands[std::min(i, syntax.operands.size() - 1)];
      if (Repeats(name))
        name.resize(name.size() - 3);
      return Refuse(syntax, name + " is empty", err);
    }
  return -1;
}

namespace {

// The parts of a usage line, each option or operand on its own.
std::vector<std::string> SynopsisParts(const CommandSyntax& syntax)
{
  std::vector<std::string> parts;
  for (const CommandOption& o : syntax.options) {
    const std::string form = o.required && o.letter ? std::string("-") + o.letter : "--" + std::string(o.name);
    const std::string one = o.value ? form + " " + o.value : form;
    parts.push_back((o.required ? one : "[" + one + "]") + (o.repeats ? "..." : ""));
  }
  const std::size_t least = Least(syntax);
  for (std::size_t i = 0; i < syntax.operands.size(); ++i)
    parts.push_back(i < least ? syntax.operands[i] : "[" + syntax.operands[i] + "]");
  return parts;
}

} // namespace

std::string Synopsis(const CommandSyntax& syntax)
{
  std::string s;
  for (const std::string& part : SynopsisParts(syntax))
    s += (s.empty() ? "" : " ") + part;
  return s;
}

void PrintHelp(const CommandSyntax& syntax, std::FILE* out)
{
  // Lines of at most 80 columns, the parts that go on below the first.
  std::string line = "usage: " + Called(syntax);
  const std::size_t indent = line.size() + 1;
  for (const std::string& part : SynopsisParts(syntax)) {
    if (line.size() + 1 + part.size() > 80 && line.size() > indent) {
      std::fprintf(out, "%s\n", line.c_str());
      line = std::string(indent - 1, ' ');
    }
    line += " " + part;
  }
  std::fprintf(out, "%s\n", line.c_str());
  if (!syntax.about.empty()) {
    std::fprintf(out, "\n");
    PrintText(syntax.about, 0, out);
  }
  if (syntax.list) {
    std::fprintf(out, "\n");
    syntax.list(out);
  }
  std::fprintf(out, "\noptions:\n");
  PrintOptions(syntax.options, true, 2, out);
  if (!syntax.more.empty()) {
    std::fprintf(out, "\n");
    PrintText(syntax.more, 0, out);
  }
}

void PrintGroupHelp(const CommandGroup& group, std::FILE* out)
{
  std::fprintf(out, "usage: orxhost %s COMMAND ARGUMENTS\n", group.name.c_str());
  if (!group.about.empty()) {
    std::fprintf(out, "\n");
    PrintText(group.about, 0, out);
  }
  std::fprintf(out, "\ncommands:\n");
  for (const CommandSyntax& c : group.commands) {
    const std::string synopsis = Synopsis(c);
    std::fprintf(out, "  orxhost %s%s%s\n", c.name.c_str(), synopsis.empty() ? "" : " ", synopsis.c_str());
    PrintText(c.about, 6, out);
    PrintOptions(c.options, false, 6, out);
  }
  std::fprintf(out, "\nEach command also takes --help.\n");
  if (!group.more.empty()) {
    std::fprintf(out, "\n");
    PrintText(group.more, 0, out);
  }
}

int ParseGroupArguments(const CommandGroup& group, const std::vector<std::string>& args, const CommandSyntax** which,
                        ParsedArguments* out, std::FILE* help, std::FILE* err)
{
  *which = nullptr;
  *out = ParsedArguments();
  std::size_t at = args.size();
  bool wantsHelp = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      at = i + 1 < args.size() ? i + 1 : args.size();
      break;
    }
    if (a.size() < 2 || a[0] != '-') {
      at = i;
      break;
    }
    wantsHelp = wantsHelp || a == "--help" || a == "-h";
  }
  std::string names;
  for (const CommandSyntax& c : group.commands)
    names += (names.empty() ? "" : ", ") + c.name.substr(group.name.size() + 1);
  if (at == args.size()) {
    if (wantsHelp) {
      PrintGroupHelp(group, help);
      return 0;
    }
    std::fprintf(err, "orxhost %s: a command is needed: %s (see orxhost %s --help)\n", group.name.c_str(),
                 names.c_str(), group.name.c_str());
    return 2;
  }
  const std::string full = group.name + " " + args[at];
  for (const CommandSyntax& c : group.commands)
    if (c.name == full)
      *which = &c;
  if (!*which) {
    std::fprintf(err, "orxhost %s: unknown command '%s'; one of %s (see orxhost %s --help)\n", group.name.c_str(),
                 args[at].c_str(), names.c_str(), group.name.c_str());
    return 2;
  }
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i)
    if (i != at)
      rest.push_back(args[i]);
  const int rc = ParseArguments(**which, rest, out, help, err);
  if (rc >= 0)
    *which = nullptr;
  return rc;
}

} // namespace orxhost
