// The service table of this binary and the wrappers that call through it.
#include "orx/hosttable.h"

#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>

#include "orx/basefile.h"
#include "orx/files.h"
#include "orx/services.h"
#include "orx/threads.h"

namespace {
std::atomic<const OrxHostTable*> g_table{nullptr};

const OrxHostTable& T()
{
  const OrxHostTable* t = g_table.load(std::memory_order_acquire);
  if (!t) {
    std::fprintf(stderr, "orx sdk: host service used before the host table was installed\n");
    std::abort();
  }
  return *t;
}
} // namespace

void OrxInstallHostTable(const OrxHostTable* table) { g_table.store(table, std::memory_order_release); }
const OrxHostTable* OrxGetHostTable() { return g_table.load(std::memory_order_acquire); }

// --- files ---
Bool BaseFile::Open(const Filename& name, FileMode mode)
{
  Close();
  handle_ = T().file->open(&name, Int32(mode));
  return handle_ != nullptr;
}
Bool BaseFile::Close()
{
  if (!handle_)
    return true;
  void* h = handle_;
  handle_ = nullptr;
  return T().file->close(h);
}
Int64 BaseFile::ReadBytes(void* data, Int64 size)
{
  if (!handle_ || size < 0)
    return -1;
  return T().file->read(handle_, data, size);
}
Int64 BaseFile::ReadAt(Int64 offset, void* data, Int64 size)
{
  if (!handle_ || size < 0 || offset < 0)
    return -1;
  return T().file->readAt(handle_, offset, data, size);
}
Bool BaseFile::WriteBytes(const void* data, Int64 size)
{
  return handle_ && size >= 0 && T().file->write(handle_, data, size);
}
Bool BaseFile::Seek(Int64 pos, SeekMode mode) { return handle_ && T().file->seek(handle_, pos, Int32(mode)); }
Int64 BaseFile::GetPosition() const { return handle_ ? T().file->tell(handle_) : -1; }
Int64 BaseFile::GetLength() const { return handle_ ? T().file->length(handle_) : -1; }
Bool BaseFile::Sync() { return handle_ && T().file->sync(handle_); }
Bool BaseFile::ReadUInt32(UInt32* v)
{
  UInt32 raw;
  if (!ReadExact(&raw, 4))
    return false;
  *v = FromFileOrder32(raw);
  return true;
}
Bool BaseFile::WriteUInt32(UInt32 v)
{
  UInt32 raw = ToFileOrder32(v);
  return WriteBytes(&raw, 4);
}
UInt16 BaseFile::ToFileOrder16(UInt16 v)
{
  if constexpr (std::endian::native == std::endian::little)
    return __builtin_bswap16(v);
  return v;
}
UInt32 BaseFile::ToFileOrder32(UInt32 v)
{
  if constexpr (std::endian::native == std::endian::little)
    return __builtin_bswap32(v);
  return v;
}
UInt64 BaseFile::ToFileOrder64(UInt64 v)
{
  if constexpr (std::endian::native == std::endian::little)
    return __builtin_bswap64(v);
  return v;
}
void BaseFile::ToFileOrder16(UInt16* v, Int64 count)
{
  for (Int64 i = 0; i < count; ++i)
    v[i] = ToFileOrder16(v[i]);
}

// --- folders ---
Bool GeFileExists(const Filename& name, Bool isFolder) { return T().folder->exists(&name, isFolder); }
Bool GeFolderExists(const Filename& name) { return T().folder->exists(&name, true); }
Bool GeCreateFolder(const Filename& name) { return T().folder->createFolder(&name, false); }
Bool GeCreateFolderTree(const Filename& name) { return T().folder->createFolder(&name, true); }
Int32 GeMakeFolder(const Filename& name, Bool withParents)
{
  const OrxFolderTable* f = T().folder;
  if (ORX_HAS_ENTRY(f, makeFolder))
    return f->makeFolder(&name, withParents);
  // An older host: the answer may be wrong when another process makes the folder meanwhile.
  if (f->exists(&name, true))
    return MAKEFOLDER_EXISTED;
  return f->createFolder(&name, withParents) ? MAKEFOLDER_CREATED : MAKEFOLDER_FAILED;
}
Bool GeRename(const Filename& from, const Filename& to) { return T().folder->rename(&from, &to); }
Bool GeRenameNoReplace(const Filename& from, const Filename& to)
{
  const OrxFolderTable* f = T().folder;
  return ORX_HAS_ENTRY(f, renameNoReplace) && f->renameNoReplace(&from, &to);
}
Bool GeIsSameFile(const Filename& a, const Filename& b)
{
  const OrxFolderTable* f = T().folder;
  return ORX_HAS_ENTRY(f, sameFile) && f->sameFile(&a, &b);
}
Bool GeMove(const Filename& from, const Filename& toFolder) { return T().folder->move(&from, &toFolder); }
Bool GeCopyFile(const Filename& from, const Filename& to, Bool overwrite)
{
  return T().folder->copy(&from, &to, overwrite);
}
Bool GeHardLink(const Filename& from, const Filename& to) { return T().folder->hardLink(&from, &to); }
Bool GeDelete(const Filename& name) { return T().folder->remove(&name); }
Bool GeSyncFolder(const Filename& folder) { return T().folder->syncFolder(&folder); }
Bool GeSyncFileSystem(const Filename& folder)
{
  const OrxFolderTable* f = T().folder;
  return ORX_HAS_ENTRY(f, syncFileSystem) && f->syncFileSystem(&folder);
}
Bool GeCanSyncFileSystem()
{
  const OrxFolderTable* f = T().folder;
  return ORX_HAS_ENTRY(f, syncFileSystem);
}
Bool GeGetFileTime(const Filename& name, Int32 which, DateTime* out) { return T().folder->fileTime(&name, which, out); }
Int64 GeGetFileSize(const Filename& name) { return T().folder->fileSize(&name); }

BrowseFiles::~BrowseFiles()
{
  if (handle_)
    T().folder->browseFree(handle_);
}
Bool BrowseFiles::Init(const Filename& folder, Int32 flags)
{
  if (handle_)
    T().folder->browseFree(handle_);
  handle_ = T().folder->browseInit(&folder, flags);
  return handle_ != nullptr;
}
Bool BrowseFiles::GetNext() { return handle_ && T().folder->browseNext(handle_, &entry_); }
Bool BrowseFiles::Status(FileStatus* out)
{
  const OrxFolderTable* f = T().folder;
  return handle_ && out && ORX_HAS_ENTRY(f, browseStatus) && f->browseStatus(handle_, out);
}
Int32 BrowseFiles::Error() const
{
  if (!handle_)
    return -1;
  const OrxFolderTable* f = T().folder;
  return ORX_HAS_ENTRY(f, browseError) ? f->browseError(handle_) : 0;
}
Bool GeCopyLink(const Filename& from, const Filename& to)
{
  const OrxFolderTable* f = T().folder;
  return ORX_HAS_ENTRY(f, copyLink) && f->copyLink(&from, &to);
}
Bool GeGetFileStatus(const Filename& name, FileStatus* out)
{
  const OrxFolderTable* f = T().folder;
  return out && ORX_HAS_ENTRY(f, fileStatus) && f->fileStatus(&name, out);
}

BrowseVolumes::~BrowseVolumes()
{
  if (handle_)
    T().folder->volumesFree(handle_);
}
Bool BrowseVolumes::Init()
{
  if (handle_)
    T().folder->volumesFree(handle_);
  handle_ = T().folder->volumesInit();
  return handle_ != nullptr;
}
Bool BrowseVolumes::GetNext() { return handle_ && T().folder->volumesNext(handle_, &entry_); }

Filename GeGetSpecialFolder(Int32 which)
{
  Filename out;
  T().folder->specialFolder(which, &out);
  return out;
}
Filename GeGetStartupFolder() { return GeGetSpecialFolder(FOLDER_STARTUP); }
Bool GeGetEnv(const char* name, String* value) { return T().folder->getEnv(name, value); }

// --- threads ---
OrxThread::~OrxThread()
{
  if (handle_) {
    End(true);
  }
}
Bool OrxThread::Start(Bool async, Int32 priority)
{
  if (running_.load())
    return false;
  break_.store(false);
  if (handle_) {
    T().thread->threadWait(handle_);
    T().thread->threadFree(handle_);
    handle_ = nullptr;
  }
  if (!async) {
    running_.store(true);
    Main();
    running_.store(false);
    return true;
  }
  running_.store(true);
  handle_ = T().thread->threadStart(this, priority);
  if (!handle_)
    running_.store(false);
  return handle_ != nullptr;
}
void OrxThread::RunFromHost()
{
  Main();
  running_.store(false);
}
void OrxThread::End(Bool wait)
{
  break_.store(true);
  if (wait)
    Wait();
}
void OrxThread::Wait()
{
  if (!handle_)
    return;
  T().thread->threadWait(handle_);
  T().thread->threadFree(handle_);
  handle_ = nullptr;
}
Bool OrxThread::IsRunning() const { return running_.load(); }
Bool OrxThread::TestBaseBreak() const { return break_.load(std::memory_order_relaxed); }

Lock::Lock() : handle_(T().thread->lockNew()) {}
Lock::~Lock() { T().thread->lockFree(handle_); }
void Lock::lock() { T().thread->lockEnter(handle_); }
void Lock::unlock() { T().thread->lockLeave(handle_); }
Bool Lock::try_lock() { return T().thread->lockTry(handle_); }

RWLock::RWLock() : handle_(T().thread->rwNew()) {}
RWLock::~RWLock() { T().thread->rwFree(handle_); }
void RWLock::lock() { T().thread->rwWrite(handle_); }
void RWLock::unlock() { T().thread->rwWriteLeave(handle_); }
void RWLock::lock_shared() { T().thread->rwRead(handle_); }
void RWLock::unlock_shared() { T().thread->rwReadLeave(handle_); }

Int32 GeGetTimer() { return T().thread->timer(); }

// --- compression ---
Bool GeCompress(const void* src, Int64 size, Int32 level, void** out, Int64* outSize)
{
  return T().compress->compress(src, size, level, out, outSize);
}
Bool GeExpand(const void* src, Int64 size, void* dst, Int64 dstSize)
{
  return T().compress->expand(src, size, dst, dstSize);
}
Int64 GeCompressedOriginalSize(const void* src, Int64 size)
{
  if (!src || size < 4)
    return -1;
  const UChar* b = static_cast<const UChar*>(src);
  return Int64((UInt32(b[0]) << 24) | (UInt32(b[1]) << 16) | (UInt32(b[2]) << 8) | UInt32(b[3]));
}
void GeFreeCompressionContext() { T().compress->freeContext(); }

// --- system ---
void GePrint(const String& line) { T().system->print(&line); }
void GeFatalError(const char* file, Int32 line) { T().system->fatalError(file, line); }
Bool GeOpenResource(const Filename& file) { return T().system->openResource(&file); }
void GeCloseResource() { T().system->closeResource(); }
String GeLoadString(Int32 id)
{
  String s;
  T().system->loadString(id, &s);
  return s;
}
Bool GeRegisterIcon(Int32 id, const Filename& file) { return T().system->registerIcon(id, &file); }
BaseContainer* GeGetPrefs() { return T().system->prefs(); }
Bool GeSavePrefs() { return T().system->savePrefs(); }
Int32 GeGetLanguageId() { return T().text->languageId(); }
Bool GeRegisterCommand(Int32 id, const String& name, Int32 info, void* commandData)
{
  return T().system->registerCommand(id, &name, info, commandData);
}
Bool GeRegisterManagerInformation(Int32 id, const String& name, Int32 kind)
{
  return T().system->registerManagerInfo(id, &name, kind);
}
Bool GeRegisterPrefPage(Int32 id, const String& name, const String& description, Int32 place)
{
  return T().system->registerPrefPage(id, &name, &description, place);
}
Bool GeInstallLibrary(Int32 id, Int32 version, void* record, Int32 size)
{
  return T().system->installLibrary(id, version, record, size);
}
void* GeGetLibrary(Int32 id, Int32 version, Int32 minSize) { return T().system->getLibrary(id, version, minSize); }
DateTime GeGetCurrentTime()
{
  DateTime d;
  T().system->currentTime(&d);
  return d;
}
void GeMessageBox(const String& text) { T().system->messageBox(&text); }
String GeGetObjectName(const BaseList2D* obj)
{
  String s;
  T().scene->objectName(obj, &s);
  return s;
}
