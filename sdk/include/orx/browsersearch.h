// The search requests of the browser's "search:/" category node, sent with the node's Message
// operation of the published table (id BROWSERSEARCH_ID, kind BROWSERSEARCH_KIND, op below, data an
// OrxSearchRequest). Main thread only.
#pragma once

#include "orx/container.h"
#include "orx/string.h"
#include "orx/types.h"

struct OrxBrowserNode;

constexpr Int32 BROWSERSEARCH_ID = 1018024; // the category handler
constexpr Int32 BROWSERSEARCH_KIND = 36;
// rows and start in; session and results out. Answers 0 when the search runs.
constexpr Int32 BROWSERSEARCH_START = 1;
// Passes the links found so far on to the views; running, hits, capped and folders out.
constexpr Int32 BROWSERSEARCH_POLL = 2;
// Asks the search to end and waits for it; then as POLL.
constexpr Int32 BROWSERSEARCH_STOP = 3;
// Stops and frees the session; the results catalog stays below "search:/".
constexpr Int32 BROWSERSEARCH_FREE = 4;

struct OrxSearchRequest
{
  Int32 size = Int32(sizeof(OrxSearchRequest));
  // The rows in their stored form: id 0 count, id 1 one sub-container per row (its id the kind,
  // entry 0 the values: 0 mode, 1 text or day or kilobytes, 2 month, 3 year), id 2 sub-folders.
  const BaseContainer* rows = nullptr;
  OrxBrowserNode* start = nullptr;
  void* session = nullptr;
  // The results catalog; not counted: valid until the session is freed.
  OrxBrowserNode* results = nullptr;
  Int32 running = 0;
  Int32 hits = 0;
  Int32 capped = 0;
  Int64 folders = 0;
  String error;
};
