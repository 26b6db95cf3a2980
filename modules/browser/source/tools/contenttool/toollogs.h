// error_log.txt and operation_log.txt of one run of the content tool, in one folder.
// Threads: any; the worker logs while the main thread may read the count.
#pragma once

#include <memory>
#include <mutex>

#include "orx/basefile.h"
#include "orx/filename.h"
#include "orx/string.h"

class ContentToolLogs
{
public:
  static constexpr Int32 kLineBytes = 1024; // LF included

  ContentToolLogs() = default;
  ~ContentToolLogs() { Close(); }
  ContentToolLogs(const ContentToolLogs&) = delete;
  ContentToolLogs& operator=(const ContentToolLogs&) = delete;

  // Opens both files for writing in folder; an existing entry of either name is first kept as
  // NAME.bak (renamed, never truncated or written through). False, with *why set to a readable
  // cause, on failure.
  Bool Open(const Filename& folder, String* why);
  // Counts; LF appended; UTF-8; line breaks in the text become blanks; cut to 1023 bytes on a
  // character boundary. A line that cannot be written counts once more.
  void LogError(const String& line);
  // Does not count, unless the write fails.
  void LogOperation(const String& line);
  // Counts a failure that is already in the error log or cannot be written there.
  void CountError();
  Int32 ErrorCount() const;
  // Writes "<n> errors" to the error log and closes both. Idempotent; the destructor calls it.
  void Close();
  Filename ErrorLogPath() const;
  Filename OperationLogPath() const;

  // The bytes written for one line (tests).
  static std::string LineBytes(const String& line);

private:
  Bool WriteLine(BaseFile* file, const String& line);

  mutable std::mutex lock_;
  std::unique_ptr<BaseFile> errors_, operations_;
  Filename folder_;
  Int32 errorCount_ = 0;
};
