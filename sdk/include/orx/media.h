// Pictures, movies, file kinds and documents: the host's image, movie, detection and document
// services. Threads: any thread unless marked "main thread". Bitmaps answered are the caller's.
#pragma once

#include "orx/bitmap.h"
#include "orx/filename.h"

// Results of a bitmap load.
constexpr Int32 LOADBITMAP_OK = 0;
constexpr Int32 LOADBITMAP_FAILED = 1;    // unreadable, damaged, truncated, or no reader knows it
constexpr Int32 LOADBITMAP_NOPICTURE = 2; // readable, but holds no picture (a movie file with sound only)
constexpr Int32 LOADBITMAP_TOOLARGE = 3;  // the header claims more than LOADBITMAP_MAX_PIXELS
constexpr Int32 LOADBITMAP_NOTFOUND = 4;  // no regular file of that name
// Images whose header claims more pixels are refused before anything is allocated for them.
constexpr Int64 LOADBITMAP_MAX_PIXELS = Int64(1) << 28;

constexpr Int32 SAVEBITMAP_JPEG = 1;
constexpr Int32 SAVEBITMAP_PNG = 2;

// Loads a picture file. maxSize > 0: reduced on loading so that no side exceeds maxSize (aspect
// kept, never enlarged); 0: the whole image. A movie gives its representative frame. result may be
// null.
BaseBitmap* GeLoadBitmap(const Filename& name, Int32 maxSize = 0, Int32* result = nullptr);
BaseBitmap* GeLoadBitmapFromMemory(const void* data, Int64 size, Int32 maxSize = 0, Int32* result = nullptr);
// The picture's size from its header alone.
Bool GeGetBitmapInfo(const Filename& name, Int32* width, Int32* height);
BaseBitmap* GeScaleBitmap(const BaseBitmap& bitmap, Int32 width, Int32 height);
Bool GeSaveBitmap(const BaseBitmap& bitmap, const Filename& name, Int32 format, Int32 quality = 90);

struct MovieInfo
{
  Int64 frames = 0;     // the frame count (estimated from duration and rate when the file keeps none)
  Float rate = 0;       // frames per second
  Int32 width = 0, height = 0;
  Bool hasVideo = false;
};

// A movie file opened for reading its frames; closed with the object.
class MovieReader
{
public:
  MovieReader() = default;
  ~MovieReader() { Close(); }
  MovieReader(const MovieReader&) = delete;
  MovieReader& operator=(const MovieReader&) = delete;

  Bool Open(const Filename& name);
  void Close();
  Bool GetInfo(MovieInfo* out) const;
  // frame -1: the representative frame (not a black first frame).
  BaseBitmap* GetFrame(Int64 frame, Int32 maxSize = 0);

private:
  void* handle_ = nullptr;
};

// Kinds of files that the host's detection tells apart (bits of a mask).
constexpr Int32 DETECT_SCENE = 1;
constexpr Int32 DETECT_IMAGE = 2;
constexpr Int32 DETECT_MOVIE = 4;
// A modifier: judge by the given bytes and the name alone, never read more of the file.
constexpr Int32 DETECT_QUICK = 8;
constexpr Int32 DETECT_SCRIPT = 16;
constexpr Int32 DETECT_KORVEX = 32;
constexpr Int32 DETECT_SOUND = 64;
constexpr Int32 DETECT_LAYOUT = 128;
constexpr Int32 DETECT_LIBRARY = 256;

// The kind (one DETECT_ bit within mask) of the file from its first bytes and its name; 0 when none.
Int32 GeIdentifyFile(const Filename& name, const void* header, Int32 size, Int32 mask);

// --- documents (main thread) ---
// Scene parts for merging: objects, materials and the rest of the scene.
constexpr Int32 SCENEFILTER_MERGE_ALL = 59;
// The host's file loader opens the file according to its kind.
Bool GeLoadFile(const Filename& name);
Bool GeMergeFile(const Filename& name, Int32 filter);
// Opens the file with the program the system associates with it (never runs the file itself).
Bool GeOpenWithSystem(const Filename& name);
// A scene document read from a file within the bounds (any thread); free with GeFreeScene.
void* GeLoadScene(const Filename& name, Int32 flags, Int64 maxBytes, Int32 maxMillis);
void GeFreeScene(void* scene);
