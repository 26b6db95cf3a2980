// Background previews through the published table: sent with the node Message operation (id
// BROWSERPREVIEWS_ID, kind BROWSERPREVIEWS_KIND, op below). Main thread only.
#pragma once

#include "orx/bitmap.h"
#include "orx/string.h"
#include "orx/types.h"

constexpr Int32 BROWSERPREVIEWS_ID = 1018027; // the folder handler
constexpr Int32 BROWSERPREVIEWS_KIND = 37;
// To a folder, data an OrxPreviewsRequest: renders what is missing or stale among its children
// (with BROWSERPREVIEWS_RECURSIVE everything below it) on a preview worker. Answers 0 when it runs.
constexpr Int32 BROWSERPREVIEWS_START = 1;
// The counts so far; running out. Passes the changed nodes on to the views.
constexpr Int32 BROWSERPREVIEWS_POLL = 2;
// Asks the worker to end and waits for it; then as POLL.
constexpr Int32 BROWSERPREVIEWS_STOP = 3;
// Stops, saves the libraries that got previews and frees the session.
constexpr Int32 BROWSERPREVIEWS_FREE = 4;
// To any node, data an OrxPreviewInfo: the previews stored for it.
constexpr Int32 BROWSERPREVIEWS_INFO = 5;
// As INFO, and bitmap gets the largest stored preview (the caller's), or null.
constexpr Int32 BROWSERPREVIEWS_GET = 6;

constexpr Int32 BROWSERPREVIEWS_RECURSIVE = 0x1;
constexpr Int32 BROWSERPREVIEWS_FORCE = 0x2;

struct OrxPreviewsRequest
{
  Int32 size = Int32(sizeof(OrxPreviewsRequest));
  Int32 flags = 0;
  Int32 previewSize = 0; // largest side; 0: the preference
  void* session = nullptr;
  Int64 total = 0;     // entries to look at
  Int64 served = 0;    // looked at so far
  Int64 rendered = 0;  // handler asked
  Int64 stored = 0;    // previews stored
  Int64 failed = 0;    // over the time limit
  Int64 noPicture = 0; // content without a picture
  Int32 running = 0;
  String error;
};

struct OrxPreviewInfo
{
  Int32 size = Int32(sizeof(OrxPreviewInfo));
  Int32 count = 0;          // stored previews
  Int32 width = 0, height = 0, quality = 0; // of the largest
  Int32 itemFlags = 0;      // 1 failed, 2 no picture
  BaseBitmap* bitmap = nullptr;
};
