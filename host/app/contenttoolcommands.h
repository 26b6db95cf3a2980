// orxhost build-library: the content tool's commands, run through the browser's published table.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

bool IsContentToolCommand(const std::string& command);
void ContentToolCommandSummary(std::FILE* out);
// Answers the exit code, or -1 when the arguments are fine and the command should run.
int ParseContentToolArguments(const std::string& command, const std::vector<std::string>& args);
// Runs against a started plug-in; answers the exit code.
int RunContentToolCommand(const std::string& command, const std::vector<std::string>& args);
