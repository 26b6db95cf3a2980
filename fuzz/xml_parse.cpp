// ParseXML on arbitrary bytes: no crash, no leak, and a consistent tree.
#include <cstdlib>
#include <cstdio>

#include "orx/orx.h"
#include "services/host.h"
#include "tools/xml/xml_parser.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  orxhost::InstallForThisProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
  Int64 before = orxhost::LiveBlockCount();
  Int32 code = 0;
  XMLNode* root = ParseXML(reinterpret_cast<const char*>(data), Int64(size), &code);
  if (code < -1 || (code > 0 && Int64(code) > Int64(size) + 1))
    std::abort();
  // Walk the tree without recursion and check its links.
  for (XMLNode* n = root; n;) {
    if (n->firstChild) {
      if (n->firstChild->parent != n || n->firstChild->prev)
        std::abort();
      n = n->firstChild;
      continue;
    }
    while (n && !n->next) {
      n = n->parent;
    }
    if (n) {
      if (n->next->prev != n || n->next->parent != n->parent)
        std::abort();
      n = n->next;
    }
  }
  FreeXMLTree(root);
  if (orxhost::LiveBlockCount() != before) {
    std::fprintf(stderr, "host memory leaked\n");
    std::abort();
  }
  return 0;
}
