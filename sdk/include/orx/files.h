// Files, folders, volumes, special folders and the environment, through the host.
// Threads: any.
#pragma once

#include "orx/filename.h"

Bool GeFileExists(const Filename& name, Bool isFolder = false);
Bool GeFolderExists(const Filename& name);
Bool GeCreateFolder(const Filename& name);        // one level; true when it exists afterwards
Bool GeCreateFolderTree(const Filename& name);    // with missing parents
// Tells a folder made now from one that was there: for "new folder", where an existing one is a
// name clash rather than success.
constexpr Int32 MAKEFOLDER_FAILED = 0;
constexpr Int32 MAKEFOLDER_CREATED = 1;
constexpr Int32 MAKEFOLDER_EXISTED = 2;
Int32 GeMakeFolder(const Filename& name, Bool withParents = false);
Bool GeRename(const Filename& from, const Filename& to); // replaces an existing file atomically
// A rename that never replaces: false when something already has the name to.
Bool GeRenameNoReplace(const Filename& from, const Filename& to);
// True when both names lead to one existing file or folder, however they are spelled.
Bool GeIsSameFile(const Filename& a, const Filename& b);
Bool GeMove(const Filename& from, const Filename& toFolder);
Bool GeCopyFile(const Filename& from, const Filename& to, Bool overwrite); // false onto itself
Bool GeHardLink(const Filename& from, const Filename& to);
Bool GeDelete(const Filename& name);              // a file or an empty folder
Bool GeSyncFolder(const Filename& folder);        // flushes a folder's entries (after a rename)
// Writes everything waiting for the file system that holds folder to its device and waits for it:
// false when that failed, or when the host cannot (then sync each file instead).
Bool GeSyncFileSystem(const Filename& folder);
Bool GeCanSyncFileSystem();
Bool GeGetFileTime(const Filename& name, Int32 which, DateTime* out); // 0 created, 1 modified
Int64 GeGetFileSize(const Filename& name);        // -1 when missing

// Entry attributes of a folder listing.
constexpr UInt32 FILEATTR_FOLDER = 0x1;
constexpr UInt32 FILEATTR_HIDDEN = 0x2;
constexpr UInt32 FILEATTR_READONLY = 0x4;
constexpr UInt32 FILEATTR_BUNDLE = 0x8;
constexpr UInt32 FILEATTR_SPECIAL = 0x10; // neither a folder nor a regular file (pipe, socket, device)
// A symbolic link. The other bits describe what it points to (a dangling link is SPECIAL); walks
// never enter a link, and deleting one deletes the link.
constexpr UInt32 FILEATTR_LINK = 0x20;
// This user may not rename or delete the entry: the folder it lies in is not writable and
// searchable for the user, or is sticky and neither it nor the entry is the user's.
constexpr UInt32 FILEATTR_FIXED = 0x40;
// A listing by names (BROWSEFILES_NAMES): only the name and the kind were read. FOLDER, LINK and
// SPECIAL describe the entry itself (a link's target is not looked at), size, times and the rights
// bits are not set; BrowseFiles::Status reads the rest.
constexpr UInt32 FILEATTR_NAME_ONLY = 0x80;

// BrowseFiles::Init flags. Names and kinds only, as the folder's own listing gives them: one status
// call is saved for every entry that the caller does not ask Status for. An older host ignores it
// and gives every entry in full.
constexpr Int32 BROWSEFILES_NAMES = 1;

struct FolderEntry
{
  String name;
  Int64 size = 0;
  DateTime created;
  DateTime modified;
  UInt32 attributes = 0;
  // Full resolution, in nanoseconds since 1970: changes within one second tell apart.
  Int64 modifiedNs = 0;
  Int64 changedNs = 0; // status change (also set by renames and permission changes)
  Bool IsFolder() const { return attributes & FILEATTR_FOLDER; }
  Bool IsHidden() const { return attributes & FILEATTR_HIDDEN; }
  Bool IsReadOnly() const { return attributes & FILEATTR_READONLY; }
  Bool IsSpecial() const { return attributes & FILEATTR_SPECIAL; }
  Bool IsLink() const { return attributes & FILEATTR_LINK; }
};

// One entry's status, as a listing reports it, with where it lies.
struct FileStatus
{
  UInt32 attributes = 0;
  Int64 size = 0;
  DateTime created;
  DateTime modified;
  Int64 modifiedNs = 0;
  Int64 changedNs = 0;
  // The system's clock when the status was read: a modification time this close to it may be
  // followed by another change that leaves the same time behind.
  Int64 readNs = 0;
  UInt64 device = 0;
  UInt64 inode = 0;
};
// False when the entry cannot be reached (an older host answers false too).
Bool GeGetFileStatus(const Filename& name, FileStatus* out);
// Makes to a symbolic link that points where the link from points; false when to exists.
Bool GeCopyLink(const Filename& from, const Filename& to);

// Folder enumeration: `BrowseFiles b; if (b.Init(dir)) while (b.GetNext()) use(b.Entry());`
class BrowseFiles
{
public:
  BrowseFiles() = default;
  ~BrowseFiles();
  BrowseFiles(const BrowseFiles&) = delete;
  BrowseFiles& operator=(const BrowseFiles&) = delete;
  Bool Init(const Filename& folder, Int32 flags = 0);
  // False at the end of the listing and when it failed: Error() tells which.
  Bool GetNext();
  const FolderEntry& Entry() const { return entry_; }
  // The full status of the entry GetNext gave last, read through the open folder (a link is not
  // followed; its target's kind comes with the link bit, as GeGetFileStatus gives it). False when
  // the entry is gone or cannot be read, and on an older host.
  Bool Status(FileStatus* out);
  // 0 after a listing that gave every entry; the system's error number when Init or a step failed.
  // An older host cannot tell and answers 0.
  Int32 Error() const;

private:
  void* handle_ = nullptr;
  FolderEntry entry_;
};

constexpr UInt32 VOLUMEFLAG_HIDDEN = 128;

struct VolumeEntry
{
  Filename path;
  String name;
  UInt32 flags = 0;
};

class BrowseVolumes
{
public:
  BrowseVolumes() = default;
  ~BrowseVolumes();
  BrowseVolumes(const BrowseVolumes&) = delete;
  BrowseVolumes& operator=(const BrowseVolumes&) = delete;
  Bool Init();
  Bool GetNext();
  const VolumeEntry& Entry() const { return entry_; }

private:
  void* handle_ = nullptr;
  VolumeEntry entry_;
};

// Host special folders.
constexpr Int32 FOLDER_PREFS = 1;
constexpr Int32 FOLDER_LIBRARY = 3;
constexpr Int32 FOLDER_USERLIBRARY = 4;
constexpr Int32 FOLDER_DESKTOP = 6;
constexpr Int32 FOLDER_HOME = 7;
constexpr Int32 FOLDER_STARTUP = 8;
Filename GeGetSpecialFolder(Int32 which);
Filename GeGetStartupFolder();

// Environment lookup; false when the variable is not set.
Bool GeGetEnv(const char* name, String* value);
