// orxhost file: the host's file service, used directly (no plug-in is loaded).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "orx/types.h"

void FileCommandSummary(std::FILE* out);
// args: what follows "file"; the exit code.
int RunFileCommand(const std::vector<std::string>& args);

struct OrxBrowserNode;
struct OrxItemProgressOutcome;
// orxhost cp, mv and rm: the browser's item progress runs the work, its dialog shown as a bar on
// the terminal and a taken name asked (--yes, --no or the person). operation and options as in
// orx/itemprogresslib.h; destination null for rm. Prints what went wrong on standard error;
// out gets the outcome. The end status, or 4 when the browser has no item progress.
int RunItemCommand(const char* command, const std::string& what, Int32 operation, OrxBrowserNode* node,
                   OrxBrowserNode* destination, UInt32 options, OrxItemProgressOutcome* out);
