// Reading the command line's values the same way in every command.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace orxhost {

// A decimal whole number that is the whole of text and lies in [lo, hi]; false for anything else
// (empty, a sign alone, other characters after it, out of range), so that no command takes "12x",
// "" or an overflow for a number.
bool ParseWholeNumber(const std::string& text, long long lo, long long hi, long long* out);
// The same for a decimal number with a fraction ("0.5", "1", "-2.25e1"); no "nan", no "inf", no hex.
bool ParseDecimalNumber(const std::string& text, double lo, double hi, double* out);

// One option of a command. Given as --NAME, or -L when it has a letter; a value follows as
// --NAME=VALUE, --NAME VALUE, -L VALUE or -LVALUE (the next argument is the value even when it
// starts with '-', so that a pattern such as "-x" can be one).
struct CommandOption
{
  const char* name;             // without the dashes
  char letter = 0;              // 0: no short name
  const char* value = nullptr;  // what the value is called in the help; null: a flag
  const char* help = "";        // may run over several lines
  bool repeats = false;         // may be given more than once (each value is kept)
  bool required = false;        // must be given
};

// A command's whole command line: its options, its operands and its help. --help and -h are
// always known and print the help built from this table.
struct CommandSyntax
{
  std::string name;                   // as in messages, after "orxhost ": "ls", "scene new"; "" for orxhost
  std::vector<CommandOption> options;
  std::vector<std::string> operands;  // their names in order; a last name ending in "..." repeats
  std::size_t required = std::size_t(-1); // operands that must be given; all of them by default
  std::string about;                  // the text after the usage line
  std::string more;                   // the text after the options
  bool optionsFirst = false;          // options end at the first operand (the rest are operands)
  void (*list)(std::FILE*) = nullptr; // prints more of the help, before the options (its commands)
};

class ParsedArguments
{
public:
  bool Has(const std::string& name) const;
  // The value given to the option (its last one), or fallback.
  std::string Value(const std::string& name, const std::string& fallback = std::string()) const;
  std::vector<std::string> Values(const std::string& name) const;
  // Every option given, in the order of the command line, with its value ("" for a flag).
  const std::vector<std::pair<std::string, std::string>>& Given() const { return given_; }
  const std::vector<std::string>& Operands() const { return operands_; }
  const std::string& Operand(std::size_t i) const { return operands_[i]; }

private:
  friend int ParseArguments(const CommandSyntax&, const std::vector<std::string>&, ParsedArguments*, std::FILE*,
                            std::FILE*);
  std::vector<std::pair<std::string, std::string>> given_;
  std::vector<std::string> operands_;
};

// -1 when the command should run, with out filled; 0 when --help was printed on help; 2 when the
// command line is refused, with one message on err that names the command, the bad argument and
// --help. An empty operand is refused too (nothing is named ""), unless the operands are handed on
// to another command (optionsFirst).
int ParseArguments(const CommandSyntax& syntax, const std::vector<std::string>& args, ParsedArguments* out,
                   std::FILE* help = stdout, std::FILE* err = stderr);

// Refuses an argument the parser took but the command cannot use (a number out of range): the same
// one line as a parse error; answers 2. command as in CommandSyntax::name.
int RefuseArgument(const std::string& command, const std::string& why, std::FILE* err = stderr);

// "[--json] [--sort ORDER] URL": the options and operands as a usage line shows them.
std::string Synopsis(const CommandSyntax& syntax);
void PrintHelp(const CommandSyntax& syntax, std::FILE* out);

// A command with commands of its own (orxhost scene new ...): the first argument that is no option
// names it, and that command's syntax parses all of the others.
struct CommandGroup
{
  std::string name;   // "scene"
  std::string about;  // the text after the usage line
  std::string more;   // the text after the list of commands
  std::vector<CommandSyntax> commands; // their names are "GROUP COMMAND"
};

// As ParseArguments; *which is the command given (null when there is none to run).
int ParseGroupArguments(const CommandGroup& group, const std::vector<std::string>& args, const CommandSyntax** which,
                        ParsedArguments* out, std::FILE* help = stdout, std::FILE* err = stderr);
void PrintGroupHelp(const CommandGroup& group, std::FILE* out);

} // namespace orxhost
