// The handlers of files on disk: images, scenes, movies, sounds, scripts, korvex files, layouts,
// folders and files of no known kind. Each is a stateless object set apart only by its table.
#pragma once

#include "contenttree/browserinterface.h"

// What a double click does with the file.
enum class FileTypeAction
{
  None,         // nothing; answers true
  Refuse,       // nothing; answers false
  Load,         // the host's file loader
  LoadOrMerge,  // with EXECUTE_MERGE merged into the active document, else loaded
  OpenBySystem, // the program that the system associates with the file
};

enum class FileTypePreview
{
  None,
  Bitmap, // the picture (or a movie's representative frame) read by the host
  Scene,  // a scene document read by the host, within bounds
};

struct FileTypeTable
{
  Int32 id;
  Int32 nameString, typeString; // resource strings
  Int32 icon;
  const char* const* suffixes; // exact, lower case; null for handlers that match nothing
  Int32 suffixCount;
  const Int32* detailedStrings; // parallel to suffixes, or null
  Int32 mask, expected;         // content test: the host's detection mask and the answer that matches
  Bool quickUnlessAsked;        // adds DETECT_QUICK when bit 0 of Identify's reserved argument is 0
  Bool hostComparison;          // suffixes compared as host strings rather than byte for byte
  const char* const* rejected;  // suffixes refused before the content test
  Int32 rejectedCount;
  FileTypePreview preview;
  FileTypeAction action;
  Bool storeEdits; // ClosePreviewDialog keeps the dialog's edits
};

// Scene previews read at most this much of a file, for at most this long.
constexpr Int64 SCENEPREVIEW_MAX_BYTES = Int64(64) << 20;
constexpr Int32 SCENEPREVIEW_MAX_MILLIS = 5000;

class FileTypePlugin : public BrowserPluginInterface
{
public:
  explicit FileTypePlugin(const FileTypeTable& table) : t_(table) {}

  Int32 GetPluginID(String* name) override;
  Bool Identify(BrowserURL& url, const void* header, Int32 headerSize, Int32 reserved) override;
  String* GetTypeName(String* out, NodeRef node, BrowserURL* url, Int32 mode) override;
  void* OpenPreviewData(Int32 flags, NodeRef node, BrowserURL* url, Int32* qualities) override;
  void FreePreviewData(void* data) override;
  BaseBitmap* GetPreviewBitmap(void* data, Int32 width, Int32 height, Int32 flags) override;
  BaseBitmap* GetIcon(NodeRef node, BrowserURL* url, Int32 size) override;
  PreviewDialog* CreatePreviewDialog(NodeRef node, Int32 page) override;
  Int32 ClosePreviewDialog(NodeRef node, PreviewDialog* dialog) override;
  Bool Execute(NodeRef node, BrowserURL* url, Int32 flags) override;
  String* GetTypeNames(Int32 mode, Int32* count) override;

  const FileTypeTable& Table() const { return t_; }
  // Identify without header bytes as a rule for the registry's table: the suffix table, exactly.
  SuffixMatch ByName() const { return SuffixMatch{t_.suffixes, t_.suffixes ? t_.suffixCount : 0, false}; }
  // Position of the suffix in the suffix table, or -1.
  Int32 FindSuffix(const String& suffix) const;

private:
  const FileTypeTable& t_;
};

class BrowserImagePlugin final : public FileTypePlugin
{
public:
  BrowserImagePlugin();
};
class BrowserScenePlugin final : public FileTypePlugin
{
public:
  BrowserScenePlugin();
};
class BrowserMoviePlugin final : public FileTypePlugin
{
public:
  BrowserMoviePlugin();
};
class BrowserSoundPlugin final : public FileTypePlugin
{
public:
  BrowserSoundPlugin();
};
class BrowserScriptPlugin final : public FileTypePlugin
{
public:
  BrowserScriptPlugin();
};
class BrowserKorvexPlugin final : public FileTypePlugin
{
public:
  BrowserKorvexPlugin();
};
class BrowserLayoutFilePlugin final : public FileTypePlugin
{
public:
  BrowserLayoutFilePlugin();
};
class BrowserFolderPlugin final : public FileTypePlugin
{
public:
  BrowserFolderPlugin();
};
class BrowserUnknownFilePlugin final : public FileTypePlugin
{
public:
  BrowserUnknownFilePlugin();
};

// Registers the file handlers of one group in their fixed order, each made on the heap and owned by
// the registry: group 0 image, scene, movie, unknown file, folder; group 1 script, sound, korvex,
// layout. The preset library and catalog file handlers go between the groups. A handler whose id is
// registered already is not registered twice.
void RegisterFileTypePlugins(Int32 group);

// The icon service, when there is one, gives the handlers' icons by number. Until it is installed
// the handlers answer no icon (the views draw their own).
using FileTypeIconSource = BaseBitmap* (*)(Int32 icon, Int32 size);
void SetFileTypeIconSource(FileTypeIconSource source);
