// orxhost search: searches content through the browser's "search:/" category and prints the hits
// as the search thread finds them.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

bool IsSearchCommand(const std::string& command);
void SearchCommandSummary(std::FILE* out);
// Answers the exit code, or -1 when the arguments are fine and the command should run.
int ParseSearchArguments(const std::vector<std::string>& args);
// Runs against a started plug-in; answers the exit code.
int RunSearchCommand(const std::vector<std::string>& args);
