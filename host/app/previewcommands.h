// orxhost preview: the preview bitmap of content, made by its handler, written as a picture file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

bool IsPreviewCommand(const std::string& command);
void PreviewCommandSummary(std::FILE* out);
// Answers the exit code, or -1 when the arguments are fine and the command should run.
int ParsePreviewArguments(const std::string& command, const std::vector<std::string>& args);
// Runs against a started plug-in; answers the exit code.
int RunPreviewCommand(const std::string& command, const std::vector<std::string>& args);
// preview show: the preview dialog of content (previewshow.cpp).
int ParsePreviewShowArguments(const std::vector<std::string>& args);
int RunPreviewShow(const std::vector<std::string>& args);
