// ParseXML on arbitrary bytes: no crash, no leak, a consistent tree; and whatever the writer
// accepts reads back as the same tree.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "orx/orx.h"
#include "services/host.h"
#include "tools/xml/xml_parser.h"

namespace {

Filename g_file;

bool SameTree(const XMLNode* a, const XMLNode* b)
{
  // Walked side by side without recursion.
  const XMLNode* ra = a;
  while (a && b) {
    if (a->name != b->name || a->attributes != b->attributes || a->text != b->text)
      return false;
    if (!a->firstChild != !b->firstChild)
      return false;
    if (a->firstChild) {
      a = a->firstChild;
      b = b->firstChild;
      continue;
    }
    while (a != ra && !a->next) {
      if (b->next)
        return false;
      a = a->parent;
      b = b->parent;
    }
    if (a == ra)
      return true;
    if (!b->next)
      return false;
    a = a->next;
    b = b->next;
  }
  return a == b;
}

// Written, the tree must either be refused or read back equal.
void CheckRoundTrip(const XMLNode* root)
{
  if (!root || !WriteXMLFile(g_file, root, StringEncoding::Utf8))
    return;
  Int32 code = 0;
  XMLNode* back = LoadXMLFile(g_file, &code);
  if (code != 0 || !SameTree(root, back)) {
    std::fprintf(stderr, "written tree read back differently (code %d)\n", code);
    std::abort();
  }
  FreeXMLTree(back);
}

String Slice(const unsigned char* data, std::size_t size, std::size_t from, std::size_t to, bool latin1)
{
  from = std::min(from, size);
  to = std::min(std::max(to, from), size);
  return String::FromBytes(std::string_view(reinterpret_cast<const char*>(data) + from, to - from),
                           latin1 ? StringEncoding::Latin1 : StringEncoding::Utf8);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  orxhost::InstallForThisProcess();
  const char* tmp = std::getenv("TMPDIR");
  g_file = Filename(String(std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_xml_" + std::to_string(::getpid()) + ".cbinfo"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
  Int64 before = orxhost::LiveBlockCount();
  Int32 code = 0;
  XMLNode* root = ParseXML(reinterpret_cast<const char*>(data), Int64(size), &code);
  if (code < XML_CONTENT_AFTER_ROOT || code == XML_FILE_ERROR || code == XML_HOOK_FAILED ||
      (code > 0 && Int64(code) > Int64(size) + 1))
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
  CheckRoundTrip(root);
  FreeXMLTree(root);

  // A tree made from pieces of the input, holding what the reader never produces (zeros, "/" and
  // ">" at awkward places, raw text), goes through the writer too.
  if (size >= 4) {
    const bool latin1 = data[0] & 1;
    const std::size_t q = size / 4;
    XMLNode* made = OrxNewObj(XMLNode);
    if (made) {
      made->SetName(Slice(data, size, 1, q, latin1));
      made->SetAttributes(Slice(data, size, q, 2 * q, latin1));
      XMLNode* child = made->AddChild(Slice(data, size, 2 * q, 3 * q, latin1));
      if (child) {
        child->SetText(Slice(data, size, 3 * q, size, latin1));
        if (data[0] & 2)
          child->SetAttributes(String("type=\"html\""));
      }
      if (data[0] & 4)
        made->SetText(Slice(data, size, 3 * q, size, latin1));
      CheckRoundTrip(made);
      FreeXMLTree(made);
    }
  }
  if (orxhost::LiveBlockCount() != before) {
    std::fprintf(stderr, "host memory leaked\n");
    std::abort();
  }
  return 0;
}
