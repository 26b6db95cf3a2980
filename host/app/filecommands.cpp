#include "filecommands.h"

#include <cstring>

#include "orx/basefile.h"
#include "orx/files.h"
#include "services/host.h"

namespace {

void Help(std::FILE* out)
{
  std::fprintf(out,
               "usage: orxhost file COMMAND ARGUMENTS\n"
               "\n"
               "The host's file service, as the plug-in sees it. Only regular files are opened:\n"
               "pipes, sockets, devices and kernel views are refused at once. Names are bytes:\n"
               "a byte that is not UTF-8 is shown as U+FFFD (--json adds the name's bytes in hex).\n"
               "\n"
               "  ls [--json] FOLDER        the entries of a folder, with their kind and size\n"
               "  cat FILE                  a file's bytes on standard output\n"
               "  cp [--overwrite] FROM TO  copy a file; never onto itself\n"
               "  mv FROM TO                rename; never replaces what has the name TO\n"
               "  mkdir [--parents] FOLDER  make a folder; an existing one is an error\n"
               "  rm PATH                   delete a file or an empty folder\n"
               "  same A B                  whether two names lead to one file (exit 0 yes, 1 no)\n");
}

Filename Arg(const std::string& a) { return Filename(String::FromBytes(a, StringEncoding::System)); }

std::string Json(const std::string& s)
{
  std::string o;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\')
      o += '\\', o += char(c);
    else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      o += buf;
    } else
      o += char(c);
  }
  return o;
}

std::string Hex(const std::string& bytes)
{
  std::string o;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    o += buf;
  }
  return o;
}

int Fail(const char* what, const std::string& detail)
{
  std::fprintf(stderr, "orxhost file %s: %s\n", what, detail.c_str());
  return 1;
}

int List(const std::string& folder, bool json)
{
  BrowseFiles b;
  if (!b.Init(Arg(folder)))
    return Fail("ls", "cannot list " + folder);
  bool first = true;
  if (json)
    std::printf("[");
  while (b.GetNext()) {
    const FolderEntry& e = b.Entry();
    const char* kind = e.IsFolder() ? "folder" : e.IsSpecial() ? "special" : "file";
    std::string bytes;
    e.name.ToSystemBytes(&bytes);
    if (json)
      std::printf("%s\n {\"name\": \"%s\", \"bytes\": \"%s\", \"kind\": \"%s\", \"size\": %lld}", first ? "" : ",",
                  Json(e.name.ToUtf8()).c_str(), Hex(bytes).c_str(), kind, static_cast<long long>(e.size));
    else
      std::printf("%-8s %12lld  %s\n", kind, static_cast<long long>(e.size), e.name.ToUtf8().c_str());
    first = false;
  }
  if (json)
    std::printf("%s]\n", first ? "" : "\n");
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int Cat(const std::string& path)
{
  BaseFile f;
  if (!f.Open(Arg(path), FileMode::Read))
    return Fail("cat", path + ": missing, or not a regular file (pipes, sockets, devices are refused)");
  char buf[65536];
  for (;;) {
    Int64 n = f.ReadBytes(buf, sizeof buf);
    if (n < 0)
      return Fail("cat", path + ": read failed");
    if (n == 0)
      break;
    if (std::fwrite(buf, 1, std::size_t(n), stdout) != std::size_t(n))
      return Fail("cat", "writing to standard output failed");
  }
  return std::fflush(stdout) == 0 ? 0 : Fail("cat", "writing to standard output failed");
}

} // namespace

void FileCommandSummary(std::FILE* out)
{
  std::fprintf(out, "  file ...  the host's file service: ls, cat, cp, mv, mkdir, rm, same (file --help)\n");
}

int RunFileCommand(const std::vector<std::string>& args)
{
  std::vector<std::string> pos;
  bool json = false, overwrite = false, parents = false;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      Help(stdout);
      return 0;
    }
    if (a == "--json")
      json = true;
    else if (a == "--overwrite")
      overwrite = true;
    else if (a == "--parents")
      parents = true;
    else if (a.size() > 1 && a[0] == '-' && a[1] == '-')
      return Fail("", "unknown option '" + a + "'"), Help(stderr), 2;
    else
      pos.push_back(a);
  }
  const std::string cmd = pos.empty() ? "" : pos[0];
  const std::size_t need = cmd == "ls" || cmd == "cat" || cmd == "mkdir" || cmd == "rm" ? 2
                           : cmd == "cp" || cmd == "mv" || cmd == "same"                   ? 3
                                                                                           : 0;
  if (need == 0 || pos.size() != need) {
    if (need == 0)
      std::fprintf(stderr, "orxhost file: %s\n", cmd.empty() ? "a command is needed" : ("unknown command '" + cmd + "'").c_str());
    else
      std::fprintf(stderr, "orxhost file %s: wrong number of arguments\n", cmd.c_str());
    Help(stderr);
    return 2;
  }
  orxhost::InstallForThisProcess();
  if (cmd == "ls")
    return List(pos[1], json);
  if (cmd == "cat")
    return Cat(pos[1]);
  if (cmd == "cp")
    return GeCopyFile(Arg(pos[1]), Arg(pos[2]), overwrite)
               ? 0
               : Fail("cp", "not copied (missing or not a regular file, the target exists without --overwrite, "
                            "or both names are one file)");
  if (cmd == "mv")
    return GeRenameNoReplace(Arg(pos[1]), Arg(pos[2])) ? 0 : Fail("mv", "not renamed (missing, or the new name is taken)");
  if (cmd == "mkdir") {
    switch (GeMakeFolder(Arg(pos[1]), parents)) {
      case MAKEFOLDER_CREATED: return 0;
      case MAKEFOLDER_EXISTED: return Fail("mkdir", pos[1] + ": the folder already exists");
      default: return Fail("mkdir", pos[1] + ": cannot be made");
    }
  }
  if (cmd == "rm")
    return GeDelete(Arg(pos[1])) ? 0 : Fail("rm", pos[1] + ": not deleted");
  const bool same = GeIsSameFile(Arg(pos[1]), Arg(pos[2]));
  std::printf("%s\n", same ? "same file" : "not the same file");
  return same ? 0 : 1;
}
