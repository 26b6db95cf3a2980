// A small XML reader and writer for the content tool's description files (.cbinfo).
//
// The reader accepts a fixed grammar, not general XML: attributes stay one raw text per element,
// only leaf elements keep text, and elements whose attribute text holds type="html" keep their
// content verbatim. Texts are escaped on writing (&amp; &lt; &gt;) and decoded on reading (the
// five predefined entities and numeric character references), so any name or annotation survives
// a round trip. Attribute text is kept as written: its entities are decoded per value, after the
// text is split into pairs (GetAttribute), so a quote inside a value cannot break the pairs. The
// writer refuses a tree that would not read back as the same tree.
#pragma once

#include "orx/filename.h"
#include "orx/memory.h"
#include "orx/string.h"

// Error codes of LoadXMLFile and ParseXML. A positive code is the line of a closing tag that did
// not match the open element.
enum XMLError : Int32
{
  XML_OK = 0,
  XML_OUT_OF_MEMORY = -1,
  XML_FILE_ERROR = -2,
  XML_HOOK_FAILED = -3,
  XML_TRUNCATED = -4,          // the input ended inside a tag or with elements still open
  XML_CONTENT_AFTER_ROOT = -5, // a second top-level element, or text after the root
};

class XMLNode
{
public:
  ORX_HOST_ALLOCATED

  XMLNode() = default;
  // Destroys every node below this one (without recursion); does not unlink this node.
  virtual ~XMLNode();
  XMLNode(const XMLNode&) = delete;
  XMLNode& operator=(const XMLNode&) = delete;

  // A new last child with the given name; null when memory runs out.
  XMLNode* AddChild(const String& childName);
  void SetName(const String& s) { name = s; }
  void SetAttributes(const String& s) { attributes = s; }
  void SetText(const String& s) { text = s; }
  // The value of one attribute: the attribute text is split into pairs first, then the value's
  // entities are decoded. False when there is no such attribute.
  Bool GetAttribute(const String& key, String* value) const;
  // Appends key="value", the value escaped so that GetAttribute gives it back. False for a key
  // that could not be read back (empty, blanks, =, quotes, <, >, /) or a value holding U+0000.
  Bool AddAttribute(const String& key, const String& value);

  XMLNode* prev = nullptr;
  XMLNode* next = nullptr;
  XMLNode* parent = nullptr;
  XMLNode* firstChild = nullptr;
  String name;
  String text;
  String attributes; // everything after the first blank of the start tag
};

// Frees a tree made by the reader or by AddChild on a root made with OrxNewObj.
inline void FreeXMLTree(XMLNode*& root) { OrxDeleteObj(root); }

// May replace the buffer (free the old one with OrxMemFree, give one from OrxMemAlloc) and its
// length; false stops the load with XML_HOOK_FAILED.
using XMLLoadHook = Bool (*)(char*& buffer, Int64& length);

// Reads and parses a file. The result is null when the file does not start with the XML
// signature; callers treat a null root or a code other than 0 as failure.
XMLNode* LoadXMLFile(const Filename& file, Int32* errorCode, XMLLoadHook hook = nullptr);
XMLNode* ParseXML(const char* bytes, Int64 length, Int32* errorCode);

// Writes the fixed header, the optional preamble line and the tree with tabs and CR LF.
// encoding must be UTF-8. False, before the file is touched, for a tree that would read back
// differently (siblings of the root, text beside children, U+0000 or lone surrogates, a ">" in or a
// final "/" of attribute text, names the reader cannot give back, raw text holding its own end
// tag) or a preamble holding more than comments. True only when every write and the close
// succeeded.
Bool WriteXMLFile(const Filename& file, const XMLNode* root, StringEncoding encoding, const String* preamble = nullptr);
