// The catalogs in the content: their nodes below "catalog:/", the favorites and recent lists made
// of catalog links, and the hooks through which the categories and the catalog nodes reach them.
#pragma once

#include "base/browserurl.h"
#include "contenttree/rtreenode.h"
#include "orx/filename.h"

class BrowserDatabase;

// Start of content, main thread: the catalog handlers, the services of the catalog nodes, the
// hooks of the categories. The thread that calls this is the one that tells the views.
void InstallCatalogs();
// End of content: forgets the hooks and the changes that wait for the views.
void ReleaseCatalogs();

// "catalog://" followed by one part that a file name can hold.
Bool IsValidCatalogURL(const String& text);
// Names an open catalog library with a valid URL that no other library has, from its display
// name or file name.
Bool NameCatalog(BrowserDatabase* db, const Filename& file);
// Shows an open catalog library below "catalog:/": its root node and a node for each item. Answers
// the root (the one there already when it was shown before).
NodeRef ShowCatalog(BrowserDatabase* db);
// Every open catalog library that has no node yet gets one.
void ShowOpenCatalogs();
// Opens a catalog file from any folder (for a double click on it) and shows it.
Bool OpenCatalogFile(const Filename& file, BrowserURL* url = nullptr);
