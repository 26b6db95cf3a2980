// orxhost scene: the host's scene documents from the command line (no plug-in is loaded). A
// document lives in a file of the native format between commands.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

void SceneCommandSummary(std::FILE* out);
// args: what follows "scene"; the exit code.
int RunSceneCommand(const std::vector<std::string>& args);

// The native images of the demo's scene presets: a document whose first material is a red
// material, one whose first object is a cube, and one whose first object holds a tag.
bool DemoPresetDocuments(std::vector<unsigned char>* material, std::vector<unsigned char>* object,
                         std::vector<unsigned char>* tag);
