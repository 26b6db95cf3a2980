#include "filecommands.h"

#include <unistd.h>

#include <cstring>

#include "browserclient.h"
#include "commandline.h"
#include "orx/basefile.h"
#include "orx/files.h"
#include "orx/itemprogresslib.h"
#include "orx/services.h"
#include "services/host.h"

namespace {

orxhost::CommandGroup Group()
{
  orxhost::CommandGroup g;
  g.name = "file";
  g.about = "The host's file service, as the plug-in sees it. Only regular files are opened:\n"
            "pipes, sockets, devices and kernel views are refused at once. Names are bytes:\n"
            "a byte that is not UTF-8 is shown as U+FFFD (--json adds the name's bytes in hex).";
  auto command = [](const char* name, std::vector<std::string> operands, const char* about,
                    std::vector<orxhost::CommandOption> options = {}) {
    orxhost::CommandSyntax c;
    c.name = std::string("file ") + name;
    c.operands = std::move(operands);
    c.about = about;
    c.options = std::move(options);
    return c;
  };
  g.commands = {
      command("ls", {"FOLDER"}, "the entries of a folder, with their kind and size",
              {{"json", 0, nullptr, "a JSON array with the bytes of each name in hex"}}),
      command("cat", {"FILE"}, "a file's bytes on standard output"),
      command("cp", {"FROM", "TO"}, "copy a file; never onto itself",
              {{"overwrite", 0, nullptr, "replace the file TO"}}),
      command("mv", {"FROM", "TO"}, "rename; never replaces what has the name TO"),
      command("mkdir", {"FOLDER"}, "make a folder; an existing one is an error",
              {{"parents", 0, nullptr, "make the folders above it too"}}),
      command("rm", {"PATH"}, "delete a file or an empty folder"),
      command("same", {"A", "B"}, "whether two names lead to one file (exit 0 yes, 1 no)"),
  };
  return g;
}

Filename Arg(const std::string& a) { return Filename(String::FromBytes(a, StringEncoding::System)); }

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
      std::printf("%s\n {\"name\": %s, \"bytes\": \"%s\", \"kind\": \"%s\", \"size\": %lld}", first ? "" : ",",
                  JsonText(e.name.ToUtf8()).c_str(), Hex(bytes).c_str(), kind, static_cast<long long>(e.size));
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
  const orxhost::CommandGroup group = Group();
  const orxhost::CommandSyntax* which = nullptr;
  orxhost::ParsedArguments a;
  if (int rc = orxhost::ParseGroupArguments(group, args, &which, &a); rc >= 0)
    return rc;
  const std::string cmd = which->name.substr(group.name.size() + 1);
  const bool json = a.Has("json"), overwrite = a.Has("overwrite"), parents = a.Has("parents");
  // pos[0] names the command, the way the code below reads it.
  std::vector<std::string> pos = a.Operands();
  pos.insert(pos.begin(), cmd);
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

namespace {

std::string Refusal(Int32 rc)
{
  switch (UInt32(rc)) {
    case 0x80000001u: return "rename refused";
    case 0x80000002u: return "move refused: another file system, a taken name, the folder itself, or no rights";
    case 0x80000004u: return "copy refused: a taken name, the folder into itself, nothing to copy, or no rights";
    case 0x80000008u: return "delete refused: a volume, a mounted file system, or a folder that may not be changed";
    case 0x80000100u: return "a library or catalog file could not be renamed";
    case 0x80000200u: return "the move failed on disk";
    case 0x80000400u: return "the copy failed while writing; nothing half-written was left behind";
    case 0xA0000000u: return "that kind of content cannot go there";
    case 0xC0000000u: return "cancelled";
    default: return "failed";
  }
}

std::string Size(UInt64 n)
{
  char s[32];
  if (n < 1024)
    std::snprintf(s, sizeof s, "%llu B", static_cast<unsigned long long>(n));
  else if (n < 1024 * 1024)
    std::snprintf(s, sizeof s, "%.1f KiB", double(n) / 1024);
  else if (n < UInt64(1024) * 1024 * 1024)
    std::snprintf(s, sizeof s, "%.1f MiB", double(n) / (1024 * 1024));
  else
    std::snprintf(s, sizeof s, "%.1f GiB", double(n) / (1024.0 * 1024 * 1024));
  return s;
}

} // namespace

int RunItemCommand(const char* command, const std::string& what, Int32 operation, OrxBrowserNode* node,
                   OrxBrowserNode* destination, UInt32 options, OrxItemProgressOutcome* out)
{
  *out = OrxItemProgressOutcome{ORX_ITEMS_FAILED, 0, 0, 0, 0, 0, 0};
  const auto* lib = static_cast<const OrxItemProgressLibrary*>(
      GeGetLibrary(ITEMPROGRESSLIB_ID, ITEMPROGRESSLIB_VERSION, Int32(sizeof(OrxItemProgressLibrary))));
  if (!lib) {
    std::fprintf(stderr, "orxhost %s: the plug-in published no item progress\n", command);
    return ORX_ITEMS_FAILED;
  }
  String item;
  OrxBrowserNode* nodes[] = {node};
  const Int32 status = lib->run(operation, 1, nodes, destination, options, out, &item);
  const std::string name = item.ToUtf8();
  switch (status) {
    case ORX_ITEMS_DONE:
      // The terminal's bar is drawn at most ten times a second and goes with the dialog: the last
      // state stays on its own line, full, with what was counted.
      if (::isatty(2) == 1 && out->totalFiles > 0)
        std::fprintf(stderr, "[##############################] 100%%  %u/%u items  %s/%s\n", out->doneFiles,
                     out->totalFiles, Size(out->doneBytes).c_str(), Size(out->totalBytes).c_str());
      break;
    case ORX_ITEMS_CANCELLED: std::fprintf(stderr, "orxhost %s: %s: cancelled; nothing half-made was left\n", command, what.c_str()); break;
    case ORX_ITEMS_CONFLICT:
      std::fprintf(stderr,
                   "orxhost %s: %s: \"%s\" exists where it would go and was left as it was (--yes replaces it, "
                   "--skip-existing leaves it and goes on)\n",
                   command, what.c_str(), name.c_str());
      break;
    case ORX_ITEMS_INSIDE:
      std::fprintf(stderr, "orxhost %s: %s: the destination lies inside \"%s\"; nothing was changed\n", command,
                   what.c_str(), name.c_str());
      break;
    default:
      std::fprintf(stderr, "orxhost %s: %s: %s, at \"%s\" (code 0x%08x)\n", command, what.c_str(),
                   Refusal(out->result).c_str(), name.c_str(), unsigned(out->result));
  }
  return status;
}
