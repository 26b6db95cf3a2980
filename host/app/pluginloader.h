// Loads a plug-in the way the host does: dlopen, orx_main, the start and end order.
#pragma once

#include <string>

#include "orx/types.h"

class PluginLoader
{
public:
  explicit PluginLoader(bool verbose) : verbose_(verbose) {}
  ~PluginLoader();

  // dlopen and action 1 (install the table) and plug-in message 1 (open resources).
  bool Load(const std::string& path);
  // action 2, then message 1001084 (run start) and message 1000 (start-up activity).
  bool Start();
  // message 200000272 (end of program) and action 3, then dlclose.
  void Stop();

  Int32 Action(Int32 action, void* p1, void* p2, void* p3);
  Int32 Message(Int32 id, void* data);

private:
  using Main = Int32 (*)(Int32, void*, void*, void*);
  bool verbose_;
  void* handle_ = nullptr;
  Main main_ = nullptr;
  bool started_ = false;
};

// Where the plug-in lies: $ORXHOST_MODULE, else browser.so beside the executable.
std::string DefaultModulePath();
