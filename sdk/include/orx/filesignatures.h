// The first bytes of the host's own file formats, written by their writers and read by the host's
// detection of file kinds. Four-character codes, most significant byte first.
#pragma once

#include "orx/types.h"

constexpr UInt32 FILESIG_SCENE = FourCC("orxs");   // scene documents (.orx)
constexpr UInt32 FILESIG_KORVEX = FourCC("kvxf");  // korvex files (.kvx, .kvb)
constexpr UInt32 FILESIG_LAYOUT = FourCC("lqzl");  // layouts (.lqz)
constexpr UInt32 FILESIG_LIBRARY = FourCC("dbfh"); // preset libraries and catalogs (.libqz, .catqz)
// Scripts (.osc) are text: told apart by their name and by holding no binary bytes.
