// The host's scene documents: a tree of elements per list, the active elements, undo steps, and
// the native format. Host-internal; the plug-in sees them through the document family of the table.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "orx/container.h"
#include "orx/scenedoc.h"
#include "orx/string.h"

class BaseDocument;
class BaseBitmap;

class BaseList2D
{
public:
  explicit BaseList2D(Int32 kind = 0) : kind(kind) {}
  Int32 kind;
  String name;
  BaseContainer data;
  std::vector<std::unique_ptr<BaseList2D>> children; // objects and tags; shaders; post effects
  BaseList2D* parent = nullptr;
  BaseDocument* rootOf = nullptr; // set on the three list roots of a document only
};

namespace orxhost::scene {

struct UndoEntry
{
  Int32 kind;
  BaseList2D* elem;                  // while in the document
  std::unique_ptr<BaseList2D> held;  // while out of it (undone NEW, done DELETE)
  BaseList2D* parent = nullptr;
  std::size_t index = 0;
};

struct UndoStep
{
  std::vector<UndoEntry> entries;
  BaseList2D* activeBefore[4] = {};
  BaseList2D* activeAfter[4] = {};
  std::unique_ptr<BaseContainer> settingsBefore; // when the step replaced the document's settings
  // A whole state of the document (its lists, settings and active elements) that undo and redo
  // swap with the document's own: the steps of a history read back from a file.
  std::unique_ptr<BaseDocument> state;
};

} // namespace orxhost::scene

class BaseDocument
{
public:
  BaseDocument();
  ~BaseDocument();
  BaseContainer settings;
  BaseList2D roots[3]; // SCENELIST_
  BaseList2D* active[4] = {};
  std::vector<orxhost::scene::UndoStep> undo, redo;
  std::unique_ptr<orxhost::scene::UndoStep> open;
  Int32 openDepth = 0;
  Int64 changes = 0;
};

namespace orxhost::scene {

// The document an element lies in (null for a free element).
BaseDocument* DocumentOf(const BaseList2D* e);
// A deep copy (free).
std::unique_ptr<BaseList2D> Clone(const BaseList2D& e);
// Whether kind may lie under a parent of kind parentKind (0: the root of list).
bool Fits(Int32 list, Int32 parentKind, Int32 kind);
// The list a kind of element belongs to; -1 for none.
Int32 ListOfKind(Int32 kind);
// Inserts under parent (a list root when null) after pred (first when null); the document takes
// over, and on failure e stays the caller's.
bool Insert(BaseDocument* doc, std::unique_ptr<BaseList2D>&& e, BaseList2D* parent, BaseList2D* pred);
// Takes an element out of its document. The caller owns the result, unless the open undo step
// recorded its removal (then null: the step keeps it).
std::unique_ptr<BaseList2D> Remove(BaseList2D* e);
void SetActive(BaseDocument* doc, Int32 which, BaseList2D* e);
bool StartUndo(BaseDocument* doc);
bool AddUndo(BaseDocument* doc, Int32 kind, BaseList2D* e);
bool EndUndo(BaseDocument* doc);
// Without event the step sends no "document changed" event (a walk through the history that
// comes back to where it started).
bool DoUndo(BaseDocument* doc, bool event = true);
bool DoRedo(BaseDocument* doc, bool event = true);
// Adds the parts of src chosen by filter to doc (src is emptied of them); recorded in the open
// undo step when there is one.
bool Merge(BaseDocument* doc, BaseDocument* src, Int32 filter);

// The native format. A load that fails gives null and a clear reason.
bool SaveToMemory(const BaseDocument& doc, std::vector<UChar>* out);
std::unique_ptr<BaseDocument> LoadFromMemory(const void* data, Int64 size, std::string* error);
bool SaveToFile(const BaseDocument& doc, const std::string& path, std::string* error);
std::unique_ptr<BaseDocument> LoadFromFile(const std::string& path, std::string* error);
// The bytes of a file as a whole (refused when larger than maxBytes), and a file written whole by a
// new file renamed over the old one.
bool ReadWholeFile(const std::string& path, Int64 maxBytes, std::vector<UChar>* out, std::string* error);
bool WriteWholeFile(const std::string& path, const std::vector<UChar>& bytes, std::string* error);

// The undo history of a document kept between processes, in a file of its own beside the document
// (HistoryPath). The document's file stays a plain native document that any reader takes as it
// is; the history names the document bytes it belongs to and is dropped when they differ.
std::string HistoryPath(const std::string& docPath);
// The history as the whole states the steps lead to: at most maxSteps each way, and no more states
// once their bytes pass maxBytes (each way). current is the document as saved. Walks the steps and back.
bool HistoryToMemory(BaseDocument* doc, const std::vector<UChar>& current, Int32 maxSteps, Int64 maxBytes,
                     std::vector<UChar>* out);
// Puts a history read from outside bytes into doc, which holds current. On any fault the document
// and its own history stay as they were and the reason is given.
bool HistoryFromMemory(BaseDocument* doc, const std::vector<UChar>& current, const void* data, Int64 size,
                       std::string* error);
// The document of the file with its history. A history that is damaged, stale or unreadable is
// left out with the reason in *warning; the document loads all the same.
std::unique_ptr<BaseDocument> LoadWithHistory(const std::string& path, std::string* error, std::string* warning);
// Writes the document, then its history beside it (removed when there is none). A history that
// cannot be written is reported in *warning; the document is written all the same.
bool SaveWithHistory(BaseDocument* doc, const std::string& path, std::string* error, std::string* warning);

// A foreign scene file (fbx, 3ds, stl, lwo, obj and the other kinds the importer reads) as a new
// document of objects with meshes and materials. Files larger than maxBytes are refused, and so
// is a read that takes longer than maxMillis; null with a clear reason when it cannot be read.
std::unique_ptr<BaseDocument> ImportFile(const std::string& path, Int64 maxBytes, Int32 maxMillis, std::string* error);

// A preview of element (a material: a lit ball; an object: it and its children framed by their
// bounds) or, when element is null, of the document (flags SCENEPREVIEW_MATERIAL: its first
// material, otherwise all its objects), as a new 24-bit bitmap in host memory. Any thread: one
// OpenGL context serves all callers in turn. Null with a clear reason when there is nothing to
// show or the renderer cannot start.
BaseBitmap* RenderPreview(const BaseDocument* doc, const BaseList2D* element, Int32 width, Int32 height, Int32 flags,
                          std::string* error);
// Tests: the renderer's start fails while fail holds (as it does with ORXHOST_NO_GL set).
void ForcePreviewRendererFailure(bool fail);

// Element lookup for the command line: "Name" or "Parent/Child" within a list.
BaseList2D* FindByPath(BaseDocument* doc, Int32 list, const std::string& path);

// The document the host has open (may be null); the host owns it.
BaseDocument* ActiveDocument();
void SetActiveDocument(std::unique_ptr<BaseDocument> doc);
// "document changed" events so far (all documents).
Int64 ChangedEvents();
void EventChanged(BaseDocument* doc);

} // namespace orxhost::scene
