// orxhost preset: presets made from the elements of a scene document and applied to one, through
// the browser's published table. The document lives in a file of the native format.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

bool IsPresetCommand(const std::string& command);
void PresetCommandSummary(std::FILE* out);
// Answers the exit code, or -1 when the arguments are fine and the command should run.
int ParsePresetArguments(const std::vector<std::string>& args);
// Runs against a started plug-in; answers the exit code.
int RunPresetCommand(const std::vector<std::string>& args);
