// The commands of orxhost that make and fill catalogs and favorites: catalog new, catalog add and
// fav add. Like the browse commands they use the browser's published operation table.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

bool IsCatalogCommand(const std::string& command);
void CatalogCommandSummary(std::FILE* out);
// Answers the exit code, or -1 when the arguments are fine and the command should run.
int ParseCatalogArguments(const std::string& command, const std::vector<std::string>& args);
// Runs against a started plug-in; answers the exit code.
int RunCatalogCommand(const std::string& command, const std::vector<std::string>& args);
