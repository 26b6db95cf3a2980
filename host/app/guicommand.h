// orxhost gui: the host's main window with the plug-in's commands, preferences and console.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

void GuiCommandSummary(std::FILE* out);
int RunGuiCommand(const std::string& module, const std::vector<std::string>& args);
// --yes, --no and --select FILE, which answer the plug-in's questions on the terminal: true when
// args[i] was one of them (i is moved past its value).
bool ParseTerminalOption(int argc, char** argv, int& i);
// Puts the terminal front end in place with the options parsed.
void UseTerminalFrontEnd();
