#include "pluginloader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "orx/filename.h"
#include "orx/hosttable.h"
#include "orx/plugin.h"
#include "services/host.h"

std::string DefaultModulePath()
{
  if (const char* m = std::getenv("ORXHOST_MODULE"); m && *m)
    return m;
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string exe = n > 0 ? std::string(buf, std::size_t(n)) : std::string("./orxhost");
  return exe.substr(0, exe.rfind('/') + 1) + "browser.so";
}

PluginLoader::~PluginLoader() { Stop(); }

Int32 PluginLoader::Action(Int32 action, void* p1, void* p2, void* p3)
{
  Int32 r = main_(action, p1, p2, p3);
  if (verbose_)
    std::printf("orxhost: action %d -> %d\n", action, r);
  return r;
}

Int32 PluginLoader::Message(Int32 id, void* data)
{
  Int32 r = main_(ORX_ACTION_MESSAGE, reinterpret_cast<void*>(static_cast<intptr_t>(id)), data, nullptr);
  if (verbose_)
    std::printf("orxhost: message %d -> %d\n", id, r);
  return r;
}

bool PluginLoader::Load(const std::string& path)
{
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    std::fprintf(stderr, "orxhost: cannot load %s: %s\n", path.c_str(), ::dlerror());
    return false;
  }
  main_ = reinterpret_cast<Main>(::dlsym(handle_, "orx_main"));
  if (!main_) {
    std::fprintf(stderr, "orxhost: %s has no orx_main\n", path.c_str());
    ::dlclose(handle_);
    handle_ = nullptr;
    return false;
  }
  if (verbose_)
    std::printf("orxhost: loaded %s\n", path.c_str());
  {
    Filename modulePath{String(path)};
    if (Action(ORX_ACTION_INIT, const_cast<OrxHostTable*>(orxhost::Table()), nullptr, &modulePath) != 1) {
      std::fprintf(stderr, "orxhost: the plug-in refused the host\n");
      return false;
    }
  }
  OrxPluginStartRecord rec{&rec};
  if (Message(ORX_MSG_OPEN_RESOURCE, &rec) != 1) {
    std::fprintf(stderr, "orxhost: the plug-in could not open its resources\n");
    return false;
  }
  Int32 iface = 0;
  Message(ORX_MSG_VERSION, &iface);
  if (verbose_)
    std::printf("orxhost: plug-in interface %d\n", iface);
  return true;
}

bool PluginLoader::Start()
{
  if (!main_)
    return false;
  started_ = true;
  if (Action(ORX_ACTION_START, nullptr, nullptr, nullptr) != 1) {
    std::fprintf(stderr, "orxhost: the plug-in failed to start\n");
    return false;
  }
  Int32 zero = 0;
  Message(ORX_MSG_RUN_START, &zero);
  Message(ORX_MSG_STARTUP_ACTIVITY, nullptr);
  return true;
}

void PluginLoader::Stop()
{
  if (!handle_)
    return;
  if (main_) {
    if (started_)
      Message(ORX_MSG_END_OF_PROGRAM, nullptr);
    Action(ORX_ACTION_END, nullptr, nullptr, nullptr);
  }
  ::dlclose(handle_);
  handle_ = nullptr;
  main_ = nullptr;
  started_ = false;
}
