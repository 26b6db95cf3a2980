// Console, messages, resources, icons, preferences and registrations of the stand-in host.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "internal.h"
#include "orx/files.h"
#include "orx/hyperfile.h"
#include "services/host.h"

namespace {
std::mutex g_lock;
std::vector<std::string> g_console;
std::vector<std::string> g_boxes;
std::vector<std::string> g_fatal;
bool g_echo = false;

std::unordered_map<Int32, std::u16string> g_strings;
bool g_resourceOpen = false;

std::vector<orxhost::Registration> g_regs;
std::map<std::string, bool> g_failKinds;
std::map<std::pair<Int32, Int32>, std::pair<void*, Int32>> g_libraries;

BaseContainer* g_prefs = nullptr;
constexpr UInt32 kPrefsIdent = FourCC("orxp");

void Print(const String* line)
{
  std::string s = line->ToUtf8();
  std::lock_guard<std::mutex> g(g_lock);
  g_console.push_back(s);
  if (g_echo)
    std::printf("console: %s\n", s.c_str());
}

void Fatal(const char* file, Int32 line)
{
  std::string s = std::string(file ? file : "?") + ":" + std::to_string(line);
  std::lock_guard<std::mutex> g(g_lock);
  g_fatal.push_back(s);
  std::fprintf(stderr, "orxhost: fatal error reported at %s\n", s.c_str());
}

void MessageBox(const String* text)
{
  std::string s = text->ToUtf8();
  std::lock_guard<std::mutex> g(g_lock);
  g_boxes.push_back(s);
  if (g_echo)
    std::printf("message box: %s\n", s.c_str());
}

std::string Unescape(const std::string& s)
{
  std::string r;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      r += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      r += s[i];
    }
  }
  return r;
}

// Resource file: one "id = text" per line; "#" starts a comment line; \n, \t and \\ escapes.
Bool OpenResource(const Filename* file)
{
  std::lock_guard<std::mutex> g(g_lock);
  if (g_resourceOpen)
    return true;
  int fd = orxhost::detail::OpenRegularFile(orxhost::detail::SystemPath(file), O_RDONLY);
  if (fd < 0)
    return false;
  std::string bytes;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      ::close(fd);
      if (n < 0)
        return false;
      break;
    }
    bytes.append(buf, std::size_t(n));
  }
  std::istringstream in(bytes);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    std::size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == '#')
      continue;
    std::size_t eq = line.find('=');
    if (eq == std::string::npos)
      continue;
    Int32 id = std::atoi(line.substr(b, eq - b).c_str());
    std::size_t t = line.find_first_not_of(' ', eq + 1);
    std::string text = t == std::string::npos ? "" : Unescape(line.substr(t));
    String s(text);
    g_strings[id] = std::u16string(s.View());
  }
  g_resourceOpen = true;
  return true;
}

void CloseResource()
{
  std::lock_guard<std::mutex> g(g_lock);
  g_strings.clear();
  g_resourceOpen = false;
}

void LoadString(Int32 id, String* out)
{
  std::lock_guard<std::mutex> g(g_lock);
  auto it = g_strings.find(id);
  *out = it == g_strings.end() ? String() : String(std::u16string_view(it->second));
}

bool Record(const std::string& kind, Int32 id, const std::string& name)
{
  std::lock_guard<std::mutex> g(g_lock);
  if (g_failKinds[kind])
    return false;
  g_regs.push_back({kind, id, name});
  if (g_echo)
    std::printf("orxhost: register %s %d%s%s\n", kind.c_str(), id, name.empty() ? "" : " ", name.c_str());
  return true;
}

Bool RegisterIcon(Int32 id, const Filename* file)
{
  if (!GeFileExists(*file))
    return false;
  return Record("icon", id, file->GetFileString().ToUtf8());
}

Filename PrefsFile() { return GeGetSpecialFolder(FOLDER_PREFS) + String("orxhost.prefs"); }

BaseContainer* Prefs()
{
  std::lock_guard<std::mutex> g(g_lock);
  if (!g_prefs) {
    g_prefs = OrxNewObj(BaseContainer);
    HyperFile hf;
    if (hf.OpenFileRead(kPrefsIdent, PrefsFile())) {
      BaseContainer bc;
      if (hf.ReadContainer(&bc))
        *g_prefs = std::move(bc);
      else
        std::fprintf(stderr, "orxhost: preference file is damaged; defaults are used\n");
    }
  }
  return g_prefs;
}

Bool SavePrefs()
{
  BaseContainer copy;
  {
    std::lock_guard<std::mutex> g(g_lock);
    if (!g_prefs)
      return true;
    copy = *g_prefs;
  }
  GeCreateFolderTree(GeGetSpecialFolder(FOLDER_PREFS));
  Filename tmp = PrefsFile();
  tmp.SetString(tmp.GetString() + String(".tmp"));
  HyperFile hf;
  hf.OpenFileWrite(kPrefsIdent, tmp);
  bool ok = hf.WriteContainer(copy) && hf.Close();
  return ok && GeRename(tmp, PrefsFile());
}

Bool RegisterCommand(Int32 id, const String* name, Int32, void*) { return Record("command", id, name->ToUtf8()); }
Bool RegisterManagerInfo(Int32 id, const String* name, Int32) { return Record("manager", id, name->ToUtf8()); }
Bool RegisterPrefPage(Int32 id, const String* name, const String* description, Int32)
{
  return Record("prefpage", id, name->ToUtf8() + " (" + description->ToUtf8() + ")");
}
Bool InstallLibrary(Int32 id, Int32 version, void* record, Int32 size)
{
  if (!Record("library", id, "version " + std::to_string(version)))
    return false;
  std::lock_guard<std::mutex> g(g_lock);
  g_libraries[{id, version}] = {record, size};
  return true;
}
void* GetLibrary(Int32 id, Int32 version, Int32 minSize)
{
  std::lock_guard<std::mutex> g(g_lock);
  for (auto& [key, rec] : g_libraries)
    if (key.first == id && key.second >= version && rec.second >= minSize)
      return rec.first;
  return nullptr;
}
void CurrentTime(DateTime* out)
{
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  *out = orxhost::detail::ToDateTime(ts);
}
} // namespace

namespace orxhost {
namespace detail {
const OrxSystemTable kSystemTable = {1,           sizeof(OrxSystemTable), Print,           Fatal,           MessageBox,
                                     OpenResource, CloseResource,         LoadString,      RegisterIcon,    Prefs,
                                     SavePrefs,   RegisterCommand,        RegisterManagerInfo, RegisterPrefPage,
                                     InstallLibrary, GetLibrary, CurrentTime};

void FreePrefs()
{
  std::lock_guard<std::mutex> g(g_lock);
  OrxDeleteObj(g_prefs);
}
} // namespace detail

std::vector<std::string> ConsoleLines()
{
  std::lock_guard<std::mutex> g(g_lock);
  return g_console;
}
void ClearConsole()
{
  std::lock_guard<std::mutex> g(g_lock);
  g_console.clear();
}
void SetConsoleEcho(bool echo)
{
  std::lock_guard<std::mutex> g(g_lock);
  g_echo = echo;
}
std::vector<std::string> MessageBoxes()
{
  std::lock_guard<std::mutex> g(g_lock);
  return g_boxes;
}
void ClearMessageBoxes()
{
  std::lock_guard<std::mutex> g(g_lock);
  g_boxes.clear();
}
std::vector<std::string> FatalErrors()
{
  std::lock_guard<std::mutex> g(g_lock);
  return g_fatal;
}
std::vector<Registration> Registrations()
{
  std::lock_guard<std::mutex> g(g_lock);
  return g_regs;
}
void FailRegistrations(const std::string& kind, bool fail)
{
  std::lock_guard<std::mutex> g(g_lock);
  g_failKinds[kind] = fail;
}
void ClearRegistrations()
{
  std::lock_guard<std::mutex> g(g_lock);
  g_regs.clear();
  g_libraries.clear();
  g_failKinds.clear();
}
void ResetPrefs() { detail::FreePrefs(); }
} // namespace orxhost
