// The run of a benchmark program in a temporary ORXHOST_HOME, removed at the end.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "orx/string.h"
#include "presets/browserdatabase.h"
#include "services/host.h"

// Makes the home, installs the host's table, calls prepare (may be null) with the home, runs the
// benchmarks named on the command line and removes the home. The process's exit code.
inline int RunBenchmarksInTemporaryHome(int argc, char** argv, void (*prepare)(const char* home) = nullptr)
{
  char tmpl[] = "/tmp/orxbench-XXXXXX";
  const char* home = ::mkdtemp(tmpl);
  if (!home)
    return 2;
  ::setenv("ORXHOST_HOME", home, 1);
  orxhost::InstallForThisProcess();
  if (prepare)
    prepare(home);
  benchmark::Initialize(&argc, argv);
  int rc = 1;
  if (!benchmark::ReportUnrecognizedArguments(argc, argv)) {
    benchmark::RunSpecifiedBenchmarks();
    rc = 0;
  }
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  return rc;
}

// Adds an item to a benchmark's library: a folder, or a generic preset.
inline void AddBenchItem(BrowserDatabase* db, const std::string& path, bool folder)
{
  BrowserDatabaseItem* item = db->OpenOrCreateItem(String(path.c_str()));
  if (folder)
    item->SetItemFlags(dbitem::kFolderFlag);
  else
    item->SetType(1018031);
  item->Close();
}
