#pragma once

#include <cstddef>

// Parse a whole document into the peer's tree and free it; false when the peer refuses it.
bool PeerPugiParse(const char* data, std::size_t size);
bool PeerLibxmlParse(const char* data, std::size_t size);
