// The undo history of a document between processes: the whole states that its undo and redo
// steps lead to, in a file beside the document. Whole states, not the steps themselves: a state is
// a native document, read by the same checked reader as the document, so a damaged history can
// only fail to load, never put elements where they cannot lie.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "orx/hyperfile.h"
#include "scene/scenedoc.h"

namespace orxhost::scene {
namespace {
constexpr UInt32 kHistoryIdent = FourCC("ORXU");
constexpr Int32 kHistoryVersion = 1;
constexpr UInt32 kHistoryEnd = FourCC("uend");
constexpr Int64 kMaxDocumentBytes = Int64(1) << 31;
// What the reader takes: more than the writer keeps, and bounded.
constexpr Int32 kReadMaxSteps = 256;
constexpr Int64 kReadMaxBytes = Int64(1) << 30;
// What the writer keeps each way: each state costs a whole document's bytes at every save and
// load of the document.
constexpr Int32 kKeepSteps = 8;
constexpr Int64 kKeepBytes = Int64(64) << 20;

// Tells one document's bytes from another's; not a defence against a forger, who could as well
// write the document.
UInt64 Digest(const std::vector<UChar>& bytes)
{
  UInt64 h = 0xcbf29ce484222325ull;
  for (UChar c : bytes)
    h = (h ^ c) * 0x100000001b3ull;
  return h;
}
} // namespace

std::string HistoryPath(const std::string& docPath) { return docPath + ".undo"; }

bool HistoryToMemory(BaseDocument* doc, const std::vector<UChar>& current, Int32 maxSteps, Int64 maxBytes,
                     std::vector<UChar>* out)
{
  out->clear();
  if (!doc || doc->open)
    return false;
  std::vector<std::vector<UChar>> back, ahead; // nearest first
  bool ok = true;
  auto walk = [&](bool undo, std::vector<std::vector<UChar>>* states) {
    Int32 walked = 0;
    Int64 bytes = 0;
    while (ok && walked < maxSteps && bytes < maxBytes && (undo ? !doc->undo.empty() : !doc->redo.empty())) {
      if (!(undo ? DoUndo(doc, false) : DoRedo(doc, false)))
        break;
      ++walked;
      std::vector<UChar> b;
      ok = SaveToMemory(*doc, &b);
      bytes += Int64(b.size());
      states->push_back(std::move(b));
    }
    for (; walked > 0; --walked)
      if (!(undo ? DoRedo(doc, false) : DoUndo(doc, false)))
        ok = false;
  };
  walk(true, &back);
  walk(false, &ahead);
  // The walk comes back to the document as saved, or its history is not kept.
  std::vector<UChar> now;
  if (!ok || !SaveToMemory(*doc, &now) || now != current)
    return false;
  if (back.empty() && ahead.empty())
    return true;
  HyperFile hf;
  hf.OpenMemoryWrite(kHistoryIdent);
  hf.WriteInt32(kHistoryVersion);
  hf.WriteInt64(Int64(current.size()));
  hf.WriteInt64(Int64(Digest(current)));
  hf.WriteInt32(Int32(back.size()));
  hf.WriteInt32(Int32(ahead.size()));
  for (auto it = back.rbegin(); it != back.rend(); ++it) // the oldest first
    hf.WriteBytes(it->data(), Int64(it->size()));
  for (const auto& b : ahead)
    hf.WriteBytes(b.data(), Int64(b.size()));
  hf.WriteInt32(Int32(kHistoryEnd));
  if (!hf.IsOk())
    return false;
  out->assign(hf.GetMemory(), hf.GetMemory() + hf.GetMemorySize());
  return hf.Close();
}

bool HistoryFromMemory(BaseDocument* doc, const std::vector<UChar>& current, const void* data, Int64 size,
                       std::string* error)
{
  HyperFile hf;
  if (!doc || doc->open || !data || size <= 0 || !hf.OpenMemoryRead(kHistoryIdent, data, size)) {
    *error = "not an undo history";
    return false;
  }
  Int32 version = 0, backCount = 0, aheadCount = 0;
  Int64 length = 0, digest = 0;
  if (!hf.ReadInt32(&version)) {
    *error = "truncated undo history";
    return false;
  }
  if (version != kHistoryVersion) {
    *error = "undo history of version " + std::to_string(version) + ", this host reads version " +
             std::to_string(kHistoryVersion);
    return false;
  }
  if (!hf.ReadInt64(&length) || !hf.ReadInt64(&digest) || !hf.ReadInt32(&backCount) || !hf.ReadInt32(&aheadCount)) {
    *error = "truncated undo history";
    return false;
  }
  if (length != Int64(current.size()) || UInt64(digest) != Digest(current)) {
    *error = "the undo history belongs to another version of the document";
    return false;
  }
  if (backCount < 0 || aheadCount < 0 || backCount > kReadMaxSteps || aheadCount > kReadMaxSteps) {
    *error = "damaged undo history: " + std::to_string(backCount) + " and " + std::to_string(aheadCount) + " steps";
    return false;
  }
  // Nothing reaches the document until every state has loaded.
  std::vector<std::unique_ptr<BaseDocument>> states;
  for (Int32 i = 0; i < backCount + aheadCount; ++i) {
    ByteArray b;
    if (!hf.ReadBytes(&b)) {
      *error = "truncated undo history";
      return false;
    }
    std::string why;
    auto state = LoadFromMemory(b.data(), Int64(b.size()), &why);
    if (!state) {
      *error = "damaged undo history: step " + std::to_string(i + 1) + ": " + why;
      return false;
    }
    states.push_back(std::move(state));
  }
  Int32 end = 0;
  if (!hf.ReadInt32(&end) || UInt32(end) != kHistoryEnd) {
    *error = "truncated undo history";
    return false;
  }
  std::vector<UndoStep> undo, redo;
  for (Int32 i = 0; i < backCount; ++i) {
    undo.emplace_back();
    undo.back().state = std::move(states[std::size_t(i)]);
  }
  for (Int32 i = backCount + aheadCount - 1; i >= backCount; --i) {
    redo.emplace_back();
    redo.back().state = std::move(states[std::size_t(i)]);
  }
  doc->undo = std::move(undo);
  doc->redo = std::move(redo);
  return true;
}

std::unique_ptr<BaseDocument> LoadWithHistory(const std::string& path, std::string* error, std::string* warning)
{
  warning->clear();
  std::vector<UChar> bytes;
  if (!ReadWholeFile(path, kMaxDocumentBytes, &bytes, error))
    return nullptr;
  std::string why;
  auto doc = LoadFromMemory(bytes.data(), Int64(bytes.size()), &why);
  if (!doc) {
    *error = path + ": " + why;
    return nullptr;
  }
  const std::string at = HistoryPath(path);
  struct stat st;
  if (::lstat(at.c_str(), &st) != 0 && errno == ENOENT)
    return doc;
  std::vector<UChar> history;
  if (!ReadWholeFile(at, kReadMaxBytes, &history, &why))
    *warning = why + "; the undo history is left out";
  else if (!HistoryFromMemory(doc.get(), bytes, history.data(), Int64(history.size()), &why))
    *warning = at + ": " + why + "; the undo history is left out";
  return doc;
}

bool SaveWithHistory(BaseDocument* doc, const std::string& path, std::string* error, std::string* warning)
{
  warning->clear();
  std::vector<UChar> bytes, history;
  if (!doc || !SaveToMemory(*doc, &bytes)) {
    *error = "the document could not be written";
    return false;
  }
  const bool kept = HistoryToMemory(doc, bytes, kKeepSteps, kKeepBytes, &history);
  if (!WriteWholeFile(path, bytes, error))
    return false;
  // An old history left behind names other bytes than these and is never taken for theirs.
  const std::string at = HistoryPath(path);
  std::string why;
  if (!kept)
    *warning = "the undo history could not be kept";
  if (kept && !history.empty()) {
    if (!WriteWholeFile(at, history, &why))
      *warning = why + "; the undo history is lost";
  } else if (::unlink(at.c_str()) != 0 && errno != ENOENT) {
    *warning = at + ": " + std::strerror(errno);
  }
  return true;
}

} // namespace orxhost::scene
