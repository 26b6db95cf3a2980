#include "tools/contenttool/toollogs.h"

#include "orx/files.h"

namespace {

constexpr const char* kErrorLog = "error_log.txt";
constexpr const char* kOperationLog = "operation_log.txt";

// An existing entry of the log's name (file, link or anything else) steps aside as NAME.bak, so
// that the new log is a new file: nothing is truncated or written through a link.
Bool MakeRoom(const Filename& path, String* why)
{
  FileStatus st;
  if (!GeGetFileStatus(path, &st))
    return true;
  if ((st.attributes & FILEATTR_FOLDER) && !(st.attributes & FILEATTR_LINK)) {
    *why = String("There is a folder named ") + path.GetString() + String(": cannot write the log there");
    return false;
  }
  const Filename bak = Filename(path.GetString() + String(".bak"));
  if (!GeRename(path, bak)) {
    *why = String("Keeping the existing ") + path.GetString() + String(" as ") + bak.GetString() + String(" failed");
    return false;
  }
  return true;
}

std::unique_ptr<BaseFile> OpenLog(const Filename& path, String* why)
{
  if (!MakeRoom(path, why))
    return nullptr;
  auto f = std::make_unique<BaseFile>();
  if (!f->Open(path, FileMode::Write)) {
    *why = String("Opening the log ") + path.GetString() + String(" for writing failed");
    return nullptr;
  }
  return f;
}

} // namespace

Bool ContentToolLogs::Open(const Filename& folder, String* why)
{
  Close();
  String cause;
  std::unique_ptr<BaseFile> e = OpenLog(folder + String(kErrorLog), &cause);
  std::unique_ptr<BaseFile> o = e ? OpenLog(folder + String(kOperationLog), &cause) : nullptr;
  if (!e || !o) {
    if (why)
      *why = cause;
    return false;
  }
  std::lock_guard g(lock_);
  errors_ = std::move(e);
  operations_ = std::move(o);
  folder_ = folder;
  errorCount_ = 0;
  return true;
}

std::string ContentToolLogs::LineBytes(const String& line)
{
  String text = line;
  text.Replace(u'\r', u' ');
  text.Replace(u'\n', u' ');
  std::string bytes = text.ToUtf8();
  if (bytes.size() > size_t(kLineBytes - 1)) {
    size_t cut = size_t(kLineBytes - 1);
    // Back over continuation bytes: the cut lands before the lead byte of a character.
    while (cut > 0 && (UChar(bytes[cut]) & 0xC0) == 0x80)
      --cut;
    bytes.resize(cut);
  }
  bytes += '\n';
  return bytes;
}

Bool ContentToolLogs::WriteLine(BaseFile* file, const String& line)
{
  if (!file)
    return false;
  const std::string bytes = LineBytes(line);
  return file->WriteBytes(bytes.data(), Int64(bytes.size()));
}

void ContentToolLogs::LogError(const String& line)
{
  std::lock_guard g(lock_);
  ++errorCount_;
  if (!WriteLine(errors_.get(), line))
    ++errorCount_;
}

void ContentToolLogs::LogOperation(const String& line)
{
  std::lock_guard g(lock_);
  if (!WriteLine(operations_.get(), line))
    ++errorCount_;
}

void ContentToolLogs::CountError()
{
  std::lock_guard g(lock_);
  ++errorCount_;
}

Int32 ContentToolLogs::ErrorCount() const
{
  std::lock_guard g(lock_);
  return errorCount_;
}

void ContentToolLogs::Close()
{
  std::lock_guard g(lock_);
  if (errors_) {
    // A failed last line or close is counted, though the count line cannot show it.
    if (!WriteLine(errors_.get(), String::FromInt(errorCount_) + String(" errors")))
      ++errorCount_;
    if (!errors_->Close())
      ++errorCount_;
    errors_.reset();
  }
  if (operations_) {
    if (!operations_->Close())
      ++errorCount_;
    operations_.reset();
  }
}

Filename ContentToolLogs::ErrorLogPath() const
{
  std::lock_guard g(lock_);
  return folder_.IsEmpty() ? Filename() : folder_ + String(kErrorLog);
}

Filename ContentToolLogs::OperationLogPath() const
{
  std::lock_guard g(lock_);
  return folder_.IsEmpty() ? Filename() : folder_ + String(kOperationLog);
}
