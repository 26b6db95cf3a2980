// The commands of orxhost that browse content: ls, info, cat and demo. They use the browser's
// published operation table the way any other plug-in does.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

class PluginLoader;

bool IsBrowseCommand(const std::string& command);
// One line per browse command, for the general usage text.
void BrowseCommandSummary(std::FILE* out);
// Parses the command's own arguments (after the command name); prints its help for --help.
// Answers the exit code, or -1 when the arguments are fine and the command should run.
int ParseBrowseArguments(const std::string& command, const std::vector<std::string>& args);
// Runs the command against a started plug-in; answers the exit code.
int RunBrowseCommand(const std::string& command, const std::vector<std::string>& args);
