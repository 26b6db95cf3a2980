// The published operation table, for the module's own tests and for InstallCallTable.
#pragma once

#include "orx/browserlib.h"

// The record that InstallCallTable publishes; valid while the module is loaded.
const OrxBrowserLibrary* GetBrowserLibrary();
