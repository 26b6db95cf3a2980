// The peers of bench_xml, in their own translation unit: libxml2's headers bring ICU's names,
// which clash with the host API's.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstddef>
#include <pugixml.hpp>

#include "peers.h"

bool PeerPugiParse(const char* data, std::size_t size)
{
  pugi::xml_document doc;
  if (!doc.load_buffer(data, size))
    return false;
  return doc.first_child() != nullptr;
}

bool PeerLibxmlParse(const char* data, std::size_t size)
{
  xmlDocPtr d = xmlReadMemory(data, int(size), nullptr, nullptr, XML_PARSE_NONET | XML_PARSE_HUGE);
  if (!d)
    return false;
  xmlFreeDoc(d);
  return true;
}
