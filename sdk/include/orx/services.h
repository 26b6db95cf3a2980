// Host services that are not files or threads: compression, console, resources, preferences,
// registrations, messages. Threads: main thread unless marked "any".
#pragma once

#include "orx/container.h"
#include "orx/filename.h"

// --- compression (any thread) ---
// Compresses at a level; out gets host memory that the caller frees with OrxMemFree. The first four
// bytes of the compressed form hold the original length, big-endian.
Bool GeCompress(const void* src, Int64 size, Int32 level, void** out, Int64* outSize);
// Expands into dst, which must hold exactly the original length.
Bool GeExpand(const void* src, Int64 size, void* dst, Int64 dstSize);
// The original length stored in a compressed block, or -1.
Int64 GeCompressedOriginalSize(const void* src, Int64 size);
void GeFreeCompressionContext();

// --- console (any thread) ---
void GePrint(const String& line);

// --- fatal error report ---
void GeFatalError(const char* file, Int32 line);

// --- resources ---
// Opens the module's resource file (a text file of "id = text" lines). Later calls reuse it.
Bool GeOpenResource(const Filename& file);
void GeCloseResource();
// A resource string of the open resource; "" (and a console line once) when missing.
String GeLoadString(Int32 id);

// --- icons ---
Bool GeRegisterIcon(Int32 id, const Filename& file);

// --- preferences: the host's preference container, kept in a file by the host ---
BaseContainer* GeGetPrefs();
Bool GeSavePrefs();

// --- the local date and time now (any thread) ---
DateTime GeGetCurrentTime();

// --- user's language ---
Int32 GeGetLanguageId();

// --- registrations ---
Bool GeRegisterCommand(Int32 id, const String& name, Int32 info, void* commandData);
Bool GeRegisterManagerInformation(Int32 id, const String& name, Int32 kind);
Bool GeRegisterPrefPage(Int32 id, const String& name, const String& description, Int32 place);
// Publishes a library record (a table of functions) for other plug-ins.
Bool GeInstallLibrary(Int32 id, Int32 version, void* record, Int32 size);
void* GeGetLibrary(Int32 id, Int32 version, Int32 minSize);

// --- messages to the user ---
void GeMessageBox(const String& text);

// --- scene objects (opaque) ---
class BaseList2D;
String GeGetObjectName(const BaseList2D* obj);
