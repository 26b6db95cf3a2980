// The content tool through the published table: sent with the node Message operation (id
// BROWSERCONTENTTOOL_ID, kind BROWSERCONTENTTOOL_KIND, op below). Main thread only. Refused
// (MESSAGE_NOT_HANDLED) unless the content tool is enabled, or the request carries
// CONTENTTOOL_ENABLE (a host command that the person asked for by name).
#pragma once

#include "orx/string.h"
#include "orx/types.h"

constexpr Int32 BROWSERCONTENTTOOL_ID = 1018031; // the preset handler
constexpr Int32 BROWSERCONTENTTOOL_KIND = 38;
// To a library's root node, data an OrxContentToolRequest: writes the library as a folder tree at
// destination. Answers 0 when it ran; ok says whether it succeeded.
constexpr Int32 CONTENTTOOL_EXPORT = 1;
// Node null, data an OrxContentToolRequest: builds the library file destination from the tree at
// source.
constexpr Int32 CONTENTTOOL_BUILD = 2;

constexpr Int32 CONTENTTOOL_ENABLE = 0x1;

struct OrxContentToolRequest
{
  Int32 size = Int32(sizeof(OrxContentToolRequest));
  Int32 flags = 0;
  String source;      // build: the tree
  String destination; // export: the folder (".libqz" is taken off); build: the library file
  // Called on the caller's thread about every 100 ms with the progress 0..1; an answer other than 0
  // cancels the run. May be null.
  Int32 (*progress)(void* data, double value) = nullptr;
  void* progressData = nullptr;
  // Results.
  Int32 ok = 0;
  Int32 cancelled = 0;
  Int32 errorCount = 0;
  String message;   // what the person is told at the end
  String folder;    // export: the folder written
  String errorLog;  // the logs of the run, empty when they could not be opened
  String operationLog;
};
