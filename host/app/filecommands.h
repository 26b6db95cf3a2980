// orxhost file: the host's file service, used directly (no plug-in is loaded).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

void FileCommandSummary(std::FILE* out);
// args: what follows "file"; the exit code.
int RunFileCommand(const std::vector<std::string>& args);
