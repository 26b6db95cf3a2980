// Shared between the host's service families; not part of the host API.
#pragma once

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "orx/hosttable.h"
#include "orx/filename.h"
#include "orx/files.h"
#include "orx/network.h"
#include "orx/types.h"

namespace orxhost::detail {
extern const OrxMemoryTable kMemoryTable;
extern const OrxTextTable kTextTable;
extern const OrxFileTable kFileTable;
extern const OrxFolderTable kFolderTable;
extern const OrxThreadTable kThreadTable;
extern const OrxCompressTable kCompressTable;
extern const OrxSystemTable kSystemTable;
extern const OrxSceneTable kSceneTable;
extern const OrxUiTable kUiTable; // host/ui
extern const OrxNetworkTable kNetworkTable;
extern const OrxImageTable kImageTable;
extern const OrxMovieTable kMovieTable;
extern const OrxDetectTable kDetectTable;
extern const OrxDocumentTable kDocumentTable;
extern const OrxSceneDocumentTable kSceneDocumentTable; // host/scene

// Fault injection: true when this call of op must fail.
enum class Op { Open, Read, Write, Flush, Rename, Delete, List, ThreadStart };
bool ShouldFail(Op op);

// A name as the system's bytes. A text that cannot name a file gives "", which names nothing, so
// the call made with it fails instead of reaching a file of a similar name.
std::string SystemPath(const Filename* name);
// A name the system gave, as text that goes back to the same bytes.
String SystemText(const std::string& bytes);

// Opens a regular file and nothing else, without ever waiting: access is O_RDONLY, O_WRONLY or
// O_RDWR, optionally with O_CREAT and O_EXCL (never O_TRUNC: truncate after the check). The
// descriptor is blocking again on return; -1 with errno set on failure (EINVAL: not a regular
// file).
int OpenRegularFile(const std::string& path, int access);

void FreePrefs();
// The volume list made from the text of a mount table (as /proc/self/mounts), the home folder and
// the labels by device path.
std::vector<VolumeEntry> VolumesFromMountTable(const std::string& table, const std::string& home,
                                               const std::map<std::string, std::string>& labels);
// One line of a mount table, unescaped.
struct MountEntry
{
  std::string device, dir, type;
};
std::vector<MountEntry> ParseMountTable(const std::string& table);
// The text of this process's mount table ("" when it cannot be read).
std::string ReadMountTable();
// The network places in a mount table and in the names of the user's GVfs mounts (below gvfsDir).
std::vector<NetworkPlace> PlacesFromMounts(const std::vector<MountEntry>& mounts, const std::string& gvfsDir,
                                           const std::vector<std::string>& gvfsNames);
// Waits while a test holds listings of path (or of a folder above it).
void WaitIfHeld(const std::string& path);
// An empty bitmap in host memory (the caller's), or null when memory runs out.
class BaseBitmap* NewBitmap();
// The size of a w x h picture reduced to fit maxSize (0: not reduced; never enlarged).
void FitSize(Int32 w, Int32 h, Int32 maxSize, Int32* dw, Int32* dh);
// True for sizes that are empty or above the pixel limit of the image service.
Bool TooManyPixels(Int64 w, Int64 h);
// The representative frame of a movie file open as fd (not taken over), for the image service: with
// infoW/infoH only its size. *result a LOADBITMAP_ code.
class BaseBitmap* MovieFrameOfFile(int fd, const std::string& name, Int32 maxSize, Int32* result, Int32* infoW,
                                   Int32* infoH);
// Local time of a POSIX time stamp.
DateTime ToDateTime(const struct timespec& ts);
} // namespace orxhost::detail
