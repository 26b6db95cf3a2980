// The module's folders and small file and text services shared across the module.
#pragma once

#include "orx/basefile.h"
#include "orx/container.h"
#include "orx/filename.h"
#include "orx/string.h"

// Ident of the settings container images ("brow").
constexpr UInt32 BROWSER_CONTAINER_IDENT = FourCC("brow");

// Resource strings of the file size units.
constexpr Int32 IDS_SIZE_BYTES = 10212;
constexpr Int32 IDS_SIZE_GB = 10213;
constexpr Int32 IDS_SIZE_MB = 10214;
constexpr Int32 IDS_SIZE_KB = 10215;

// Host folder 1 + "cache". With create set, the cache, "image" and "tmp" folders are made where
// missing (the test is repeated until it once succeeded).
Filename GetCacheFolder(Bool create);
// Host folder 3 + "browser", when there is a separate system library folder and it exists.
// A missing folder is reported once per run on the console.
Bool GetSystemBrowserFolder(Filename* out);
// Host folder 4 + "browser", created when missing; given in every case.
Filename GetUserBrowserFolder();
// The cache's "tmp" folder (made with the cache folder).
Filename GetTempFolder();
// Deletes the temporary folder with everything in it (end of the program).
void DeleteTempFolderAtEnd();
Filename GetHostFolder7();
Filename GetDesktopFolder();

// The marker file "orx_enablecontenttool.txt" in the start-up folder; looked for once per run.
Bool IsContentToolEnabled();

// The nine characters that file names cannot hold, in this order.
inline constexpr char16_t kInvalidNameChars[] = u"/\\:*?\"<>|";
// A copy with every invalid character replaced by "_".
String MakeValidName(const String& name);
// True when name holds an invalid character; pos gets the first occurrence of the first character
// of the set (in the set's order) that occurs.
Bool HasInvalidChar(const String& name, Int32* pos);
// A name one folder entry can have on Linux: not empty, not "." or "..", no "/" and no NUL (the
// system would cut the name there and reach another file). Joined to a folder it stays inside it.
Bool IsSingleEntryName(const String& name);

// "1023 Bytes", "1.00 KB (1024 Bytes)" with the units of the module's resource strings.
void FormatFileSize(String* out, Int64 bytes, Bool shortForm);

Int32 GetLanguageId();

// Reads a file whole into host memory that the caller frees with OrxMemFree. An empty file gives
// a one-byte block and size 0.
Bool ReadWholeFile(const Filename& name, void** data, Int64* size);
// Reads size bytes from an open file as a container image with the "brow" ident.
Bool ReadContainerFile(BaseFile* file, Int64 size, BaseContainer* out);
// Writes bc as a container image with the "brow" ident; size gets the number of bytes written.
Bool WriteContainerFile(const BaseContainer& bc, BaseFile* file, Int64* size);

// Progress of DeleteFolderTree, the edit-protocol callback shape: (data, phase 2, 1, entry size, 0)
// after each deleted entry; a negative answer stops the deletion.
using DeleteFolderCallback = Int32 (*)(void* data, Int32 phase, Int32 count, Int64 size, Int32 flags);
// Lists the folder, deletes its entries (sub-folders too when recursive), then the folder.
// Links to folders are removed as links; what they point to is never touched.
Bool DeleteFolderTree(const Filename& folder, Bool recursive, DeleteFolderCallback callback, void* data);
// The same as an edit result: 0 done, 0x80000008 when something could not be deleted, 0xC0000000
// when the callback stopped it.
Int32 DeleteFolderTreeResult(const Filename& folder, Bool recursive, DeleteFolderCallback callback, void* data);

// The host's renderer draws the document into a new bitmap of width x height, the caller's: its
// objects framed by their bounds, or with flags SCENEPREVIEW_MATERIAL (orx/scenedoc.h) its first
// material as a lit ball. Null when there is nothing to show or the host cannot render; any thread.
class BaseBitmap;
class BaseDocument;
BaseBitmap* RenderScenePreview(BaseDocument* doc, Int32 width, Int32 height, Int32 flags);

// Forgets the once-per-run answers (tests only).
void ResetBrowserUtilsForTests();
