#include "tools/xml/xml_parser.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "orx/basefile.h"
#include "tools/xml/dynarray.h"

// --- nodes ---

XMLNode::~XMLNode()
{
  // The subtree is flattened into one list as it is freed: a node's children move to the front of
  // the list before the node goes, so no destructor ever recurses, however deep the tree.
  XMLNode* list = firstChild;
  firstChild = nullptr;
  while (list) {
    XMLNode* n = list;
    if (XMLNode* kids = n->firstChild) {
      XMLNode* last = kids;
      while (last->next)
        last = last->next;
      last->next = n->next;
      n->firstChild = nullptr;
      list = kids;
    } else {
      list = n->next;
    }
    OrxDeleteObj(n);
  }
}

XMLNode* XMLNode::AddChild(const String& childName)
{
  XMLNode* node = OrxNewObj(XMLNode);
  if (!node)
    return nullptr;
  try {
    node->name = childName;
  } catch (const std::bad_alloc&) {
    OrxDeleteObj(node);
    return nullptr;
  }
  node->parent = this;
  if (!firstChild) {
    firstChild = node;
  } else {
    XMLNode* last = firstChild;
    while (last->next)
      last = last->next;
    last->next = node;
    node->prev = last;
  }
  return node;
}

// --- reading ---

namespace {

void PutUtf8(UInt32 cp, char* out, int* n)
{
  if (cp < 0x80) {
    out[0] = char(cp);
    *n = 1;
  } else if (cp < 0x800) {
    out[0] = char(0xC0 | (cp >> 6));
    out[1] = char(0x80 | (cp & 0x3F));
    *n = 2;
  } else if (cp < 0x10000) {
    out[0] = char(0xE0 | (cp >> 12));
    out[1] = char(0x80 | ((cp >> 6) & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    *n = 3;
  } else {
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    *n = 4;
  }
}

// A reference at p ('&'): its length up to and including ';' and its UTF-8 bytes in out, or 0 when
// p does not start a well-formed reference (it is then kept as it is).
std::size_t DecodeReference(const char* p, const char* end, char* out, int* outLen)
{
  static constexpr struct
  {
    const char* name;
    char value;
  } kNamed[] = {{"lt;", '<'}, {"gt;", '>'}, {"amp;", '&'}, {"quot;", '"'}, {"apos;", '\''}};
  std::size_t avail = std::size_t(end - p) - 1;
  for (const auto& e : kNamed) {
    std::size_t n = std::strlen(e.name);
    if (avail >= n && std::memcmp(p + 1, e.name, n) == 0) {
      out[0] = e.value;
      *outLen = 1;
      return n + 1;
    }
  }
  if (avail < 3 || p[1] != '#')
    return 0;
  const char* q = p + 2;
  bool hex = *q == 'x';
  if (hex)
    ++q;
  UInt32 cp = 0;
  int digits = 0;
  for (; q < end && *q != ';'; ++q, ++digits) {
    int d;
    char c = *q;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return 0;
    cp = cp * (hex ? 16 : 10) + UInt32(d);
    if (cp > 0x10FFFF)
      return 0;
  }
  if (q >= end || digits == 0 || cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  PutUtf8(cp, out, outLen);
  return std::size_t(q + 1 - p);
}

// The text with every well-formed reference replaced by its character.
std::string DecodeAll(std::string_view in)
{
  std::string out;
  out.reserve(in.size());
  const char* p = in.data();
  const char* e = p + in.size();
  while (p < e) {
    if (*p == '&') {
      char buf[4];
      int len = 0;
      if (std::size_t used = DecodeReference(p, e, buf, &len)) {
        out.append(buf, std::size_t(len));
        p += used;
        continue;
      }
    }
    out += *p++;
  }
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr std::string_view kRawMarker = "type=\"html\"";

class Reader
{
public:
  Reader(const char* begin, const char* end, Int32& code) : begin_(begin), end_(end), code_(code) {}
  ~Reader() = default;

  // The tree built so far, also when parsing stopped early.
  XMLNode* Run();

private:
  XMLNode* Scan();
  String Decode(const char* s, const char* e);
  bool NameIs(const XMLNode* node, const char* s, const char* e) const;
  // A start tag; false when parsing must stop.
  bool Open(const char* t, const char* e);
  void Close();

  const char* begin_;
  const char* end_;
  Int32& code_;
  XMLNode* root_ = nullptr;
  XMLNode* current_ = nullptr;
  XMLNode* lastChild_ = nullptr; // last child of current_, so appending stays O(1)
  CDynamicArray<char> decoded_;
  // Raw bytes of the open elements' names, for the common exact match of end tags.
  struct NameRef
  {
    const char* s;
    Int32 n;
  };
  CStack<NameRef> names_;
};

String Reader::Decode(const char* s, const char* e)
{
  std::size_t n = std::size_t(e - s);
  const char* amp = static_cast<const char*>(std::memchr(s, '&', n));
  if (!amp)
    return String::FromBytes(std::string_view(s, n), StringEncoding::Utf8);
  if (n > std::size_t(CDynamicArray<char>::kMaxCount))
    throw std::bad_alloc();
  decoded_.Clear();
  while (amp) {
    if (!decoded_.Append(s, Int32(amp - s)))
      throw std::bad_alloc();
    char buf[4];
    int len = 0;
    std::size_t used = DecodeReference(amp, e, buf, &len);
    if (used == 0) {
      buf[0] = '&';
      len = 1;
      used = 1;
    }
    if (!decoded_.Append(buf, len))
      throw std::bad_alloc();
    s = amp + used;
    amp = static_cast<const char*>(std::memchr(s, '&', std::size_t(e - s)));
  }
  if (!decoded_.Append(s, Int32(e - s)))
    throw std::bad_alloc();
  return String::FromBytes(std::string_view(decoded_.GetArray(), std::size_t(decoded_.GetCount())), StringEncoding::Utf8);
}

bool Reader::NameIs(const XMLNode* node, const char* s, const char* e) const
{
  const NameRef& open = names_[names_.GetCount() - 1];
  if (open.n == e - s && std::memcmp(open.s, s, std::size_t(open.n)) == 0)
    return true;
  // Different bytes can still be the same name after conversion (invalid sequences).
  return String::FromBytes(std::string_view(s, std::size_t(e - s)), StringEncoding::Utf8) == node->name;
}

bool Reader::Open(const char* t, const char* e)
{
  if (root_ && !current_) {
    code_ = XML_CONTENT_AFTER_ROOT;
    return false;
  }
  if (e - t > 0x7fffffff) {
    code_ = XML_OUT_OF_MEMORY;
    return false;
  }
  const char* blank = static_cast<const char*>(std::memchr(t, ' ', std::size_t(e - t)));
  const char* nameEnd = blank ? blank : e;
  if (names_.GetCount() == names_.GetCapacity()) {
    Int64 want = Int64(names_.GetCapacity()) * 2 + 64;
    names_.Reserve(want > CStack<NameRef>::kMaxCount ? CStack<NameRef>::kMaxCount : Int32(want));
  }
  XMLNode* node = OrxNewObj(XMLNode);
  if (!node || !names_.Push({t, Int32(nameEnd - t)})) {
    OrxDeleteObj(node);
    code_ = XML_OUT_OF_MEMORY;
    return false;
  }
  try {
    node->name = String::FromBytes(std::string_view(t, std::size_t(nameEnd - t)), StringEncoding::Utf8);
    // Kept as written: entities are decoded per value, once the text is split (GetAttribute).
    if (blank)
      node->attributes = String::FromBytes(std::string_view(blank + 1, std::size_t(e - blank - 1)), StringEncoding::Utf8);
  } catch (const std::bad_alloc&) {
    names_.Pop();
    OrxDeleteObj(node);
    code_ = XML_OUT_OF_MEMORY;
    return false;
  }
  node->parent = current_;
  if (!current_) {
    root_ = node;
  } else if (lastChild_) {
    lastChild_->next = node;
    node->prev = lastChild_;
  } else {
    current_->firstChild = node;
  }
  current_ = node;
  lastChild_ = nullptr;
  return true;
}

void Reader::Close()
{
  lastChild_ = current_;
  current_ = current_->parent;
  names_.Pop();
}

XMLNode* Reader::Run()
{
  try {
    return Scan();
  } catch (const std::bad_alloc&) {
    code_ = XML_OUT_OF_MEMORY;
    return root_;
  }
}

XMLNode* Reader::Scan()
{
  const char* p = begin_;
  Int32 line = 1;
  bool collecting = false;
  bool raw = false;
  const char* collectStart = nullptr;
  while (p < end_) {
    char c = *p;
    if (c != '<') {
      if (c == '\r')
        ++line;
      else if (c == '\n') {
        if (p == begin_ || p[-1] != '\r')
          ++line;
      } else if (c != ' ' && c != '\t' && !collecting) {
        // Text where none may be: after the root it is an error; inside (mixed content) the tree
        // read so far is the answer.
        if (root_ && !current_)
          code_ = XML_CONTENT_AFTER_ROOT;
        return root_;
      }
      ++p;
      continue;
    }
    const char* tagStart = p;
    const char* t = p + 1;
    const char* gt = static_cast<const char*>(std::memchr(t, '>', std::size_t(end_ - t)));
    if (!gt) {
      // Input ends inside a tag. Before any element there is no root, which is failure enough.
      if (root_)
        code_ = XML_TRUNCATED;
      return root_;
    }
    const char* e = gt;
    p = gt + 1;
    std::size_t n = std::size_t(e - t);
    bool endTag = n > 0 && t[0] == '/' && t[n - 1] != '/';

    if (raw) {
      if (endTag && NameIs(current_, t + 1, e)) {
        current_->text = String::FromBytes(std::string_view(collectStart, std::size_t(tagStart - collectStart)),
                                           StringEncoding::Utf8);
        Close();
        raw = collecting = false;
      }
      continue;
    }
    if (n > 0 && t[0] == '!')
      continue;
    if (n >= 2 && t[0] == '?' && t[n - 1] == '?')
      continue;
    if (n > 0 && t[n - 1] == '/') {
      if (!Open(t, e - 1))
        break;
      Close();
      collecting = false;
      continue;
    }
    if (endTag) {
      if (!current_ || !NameIs(current_, t + 1, e)) {
        code_ = line;
        break;
      }
      if (collecting)
        current_->text = Decode(collectStart, tagStart);
      Close();
      collecting = false;
      continue;
    }
    if (!Open(t, e))
      break;
    collecting = true;
    collectStart = p;
    std::string_view tag(t, n);
    std::size_t blank = tag.find(' ');
    raw = blank != std::string_view::npos && tag.find(kRawMarker, blank + 1) != std::string_view::npos;
  }
  // The input ran out: elements still open mean it was cut short (a crash or a full disk while
  // writing). Any earlier stop has set its own code.
  if (p >= end_ && current_ && code_ == XML_OK)
    code_ = XML_TRUNCATED;
  return root_;
}

// Text that a UTF-8 file can hold: no zero (it ends the input) and no lone surrogate.
bool Writable(const String& s)
{
  const std::u16string_view v = s.View();
  for (std::size_t i = 0; i < v.size(); ++i) {
    const char16_t c = v[i];
    if (c == 0)
      return false;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < v.size() && v[i + 1] >= 0xDC00 && v[i + 1] <= 0xDFFF)
      ++i;
    else if (c >= 0xD800 && c <= 0xDFFF)
      return false;
  }
  return true;
}

// Bytes skipped before "<?xml", or -1 without the signature.
Int64 SignatureLength(const UChar* b, Int64 len)
{
  auto at = [&](Int64 off) { return len >= off + 5 && std::memcmp(b + off, "<?xml", 5) == 0; };
  if (at(0))
    return 0;
  if (len >= 8 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF && at(3))
    return 3;
  if (len >= 7 && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE)) && at(2))
    return 2;
  if (len >= 9 && ((b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) ||
                   (b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0)) &&
      at(4))
    return 4;
  return -1;
}

} // namespace

Bool XMLNode::GetAttribute(const String& key, String* value) const
{
  try {
    const std::string text = attributes.ToUtf8();
    const std::string want = key.ToUtf8();
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
      while (i < n && IsBlank(text[i]))
        ++i;
      const std::size_t k = i;
      while (i < n && text[i] != '=' && !IsBlank(text[i]))
        ++i;
      const std::string_view name(text.data() + k, i - k);
      while (i < n && IsBlank(text[i]))
        ++i;
      if (i >= n || text[i] != '=') {
        // A word without a value: skip it.
        if (i == k)
          ++i;
        continue;
      }
      ++i;
      while (i < n && IsBlank(text[i]))
        ++i;
      std::size_t vs, ve;
      if (i < n && (text[i] == '"' || text[i] == '\'')) {
        const char q = text[i];
        vs = ++i;
        while (i < n && text[i] != q)
          ++i;
        ve = i;
        if (i < n)
          ++i;
      } else {
        vs = i;
        while (i < n && !IsBlank(text[i]))
          ++i;
        ve = i;
      }
      if (name == want && !name.empty()) {
        if (value)
          *value = String::FromBytes(DecodeAll(std::string_view(text.data() + vs, ve - vs)), StringEncoding::Utf8);
        return true;
      }
    }
  } catch (const std::bad_alloc&) {
  }
  return false;
}

Bool XMLNode::AddAttribute(const String& key, const String& value)
{
  if (key.IsEmpty() || !Writable(key) || !Writable(value))
    return false;
  for (Utf16Char c : key.View())
    if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'=' || c == u'"' || c == u'\'' || c == u'<' ||
        c == u'>' || c == u'/' || c == u'&')
      return false;
  try {
    String pair;
    if (attributes.Content())
      pair += u' ';
    pair += key;
    pair += String("=\"");
    for (Utf16Char c : value.View()) {
      switch (c) {
        case u'&': pair += String("&amp;"); break;
        case u'<': pair += String("&lt;"); break;
        case u'>': pair += String("&gt;"); break;
        case u'"': pair += String("&quot;"); break;
        default: pair += c;
      }
    }
    pair += u'"';
    attributes += pair;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

XMLNode* ParseXML(const char* bytes, Int64 length, Int32* errorCode)
{
  Int32 local = 0;
  Int32& code = errorCode ? *errorCode : local;
  code = XML_OK;
  if (!bytes || length < 5)
    return nullptr;
  Int64 skip = SignatureLength(reinterpret_cast<const UChar*>(bytes), length);
  if (skip < 0)
    return nullptr;
  const char* begin = bytes + skip;
  const char* end = bytes + length;
  if (const void* zero = std::memchr(begin, 0, std::size_t(end - begin)))
    end = static_cast<const char*>(zero);
  Reader reader(begin, end, code);
  return reader.Run();
}

XMLNode* LoadXMLFile(const Filename& file, Int32* errorCode, XMLLoadHook hook)
{
  Int32 local = 0;
  Int32& code = errorCode ? *errorCode : local;
  code = XML_OK;
  char* buffer = nullptr;
  Int64 length = 0;
  {
    BaseFile f;
    if (!f.Open(file, FileMode::Read)) {
      code = XML_FILE_ERROR;
      return nullptr;
    }
    length = f.GetLength();
    if (length < 0) {
      code = XML_FILE_ERROR;
      return nullptr;
    }
    buffer = static_cast<char*>(OrxMemAlloc(length + 1, __LINE__, __FILE__, false));
    if (!buffer) {
      code = XML_OUT_OF_MEMORY;
      return nullptr;
    }
    if (length > 0 && !f.ReadExact(buffer, length)) {
      OrxMemFree(buffer);
      code = XML_FILE_ERROR;
      return nullptr;
    }
    buffer[length] = 0;
  }
  if (hook && !hook(buffer, length)) {
    if (buffer)
      OrxMemFree(buffer);
    code = XML_HOOK_FAILED;
    return nullptr;
  }
  XMLNode* root = ParseXML(buffer, length, &code);
  if (buffer)
    OrxMemFree(buffer);
  return root;
}

// --- writing ---

namespace {

// Collects the output and hands it to the file in large writes.
class Writer
{
public:
  explicit Writer(BaseFile& file) : file_(file) {}

  bool Put(const char* s, std::size_t n)
  {
    if (!ok_)
      return false;
    if (Int64(n) >= kChunk) {
      ok_ = Flush() && file_.WriteBytes(s, Int64(n));
      return ok_;
    }
    if (buf_.GetCount() + Int64(n) > kChunk && !Flush())
      return false;
    ok_ = buf_.Append(s, Int32(n));
    return ok_;
  }
  bool Put(std::string_view s) { return Put(s.data(), s.size()); }
  bool Tabs(Int32 d)
  {
    for (Int32 i = 0; i < d && ok_; ++i)
      Put("\t", 1);
    return ok_;
  }
  // Text with & < > as references, so the reader gives back the same characters.
  bool PutEscaped(const String& s)
  {
    std::string u = s.ToUtf8();
    std::size_t from = 0;
    for (std::size_t i = 0; i < u.size(); ++i) {
      const char* ref = u[i] == '&' ? "&amp;" : u[i] == '<' ? "&lt;" : u[i] == '>' ? "&gt;" : nullptr;
      if (ref) {
        Put(u.data() + from, i - from);
        Put(std::string_view(ref));
        from = i + 1;
      }
    }
    return Put(u.data() + from, u.size() - from);
  }
  bool PutVerbatim(const String& s)
  {
    std::string u = s.ToUtf8();
    return Put(u);
  }
  bool Flush()
  {
    if (ok_ && buf_.GetCount() > 0)
      ok_ = file_.WriteBytes(buf_.GetArray(), buf_.GetCount());
    buf_.Clear();
    return ok_;
  }
  bool Ok() const { return ok_; }

private:
  static constexpr Int64 kChunk = 1 << 16;
  BaseFile& file_;
  CDynamicArray<char> buf_;
  bool ok_ = true;
};

struct WriteNode
{
  const XMLNode* node;
  Int32 firstVisit;
};

bool IsRawText(const XMLNode* node) { return node->attributes.View().find(u"type=\"html\"") != std::u16string_view::npos; }

// A name that the reader gives back from <name ...> and </name>.
bool NameReadsBack(const String& name)
{
  if (name.IsEmpty() || !Writable(name))
    return false;
  const std::u16string_view v = name.View();
  if (v.front() == u'!' || v.front() == u'?' || v.front() == u'/' || v.back() == u'/')
    return false;
  return v.find_first_of(u" >") == std::u16string_view::npos;
}

// Raw text is written as it is; it reads back when the reader, skipping its tags, first meets
// the element's own end tag where the writer puts it.
bool RawTextReadsBack(const XMLNode* node)
{
  if (!Writable(node->text))
    return false;
  const std::string text = node->text.ToUtf8();
  const std::string all = text + "</" + node->name.ToUtf8() + ">";
  const std::string_view name = std::string_view(all).substr(text.size() + 2, all.size() - text.size() - 3);
  for (std::size_t p = all.find('<'); p != std::string::npos; p = all.find('<', p)) {
    const std::size_t gt = all.find('>', p + 1);
    if (gt == std::string::npos)
      return false;
    const std::string_view tag(all.data() + p + 1, gt - p - 1);
    const bool endTag = !tag.empty() && tag.front() == '/' && tag.back() != '/';
    if (endTag && tag.substr(1) == name)
      return p == text.size();
    p = gt + 1;
  }
  return false;
}

// True when the reader gives back this very tree: every element, attribute text and text.
bool TreeReadsBack(const XMLNode* root)
{
  if (root->next)
    return false; // one root only
  for (const XMLNode* n = root; n;) {
    if (!NameReadsBack(n->name) || !Writable(n->attributes))
      return false;
    const std::u16string_view a = n->attributes.View();
    // A ">" would end the tag; a final "/" would make it an empty element.
    if (a.find(u'>') != std::u16string_view::npos || (!a.empty() && a.back() == u'/'))
      return false;
    if (IsRawText(n)) {
      if (n->firstChild || !RawTextReadsBack(n))
        return false;
    } else if (n->text.Content() && (n->firstChild || !Writable(n->text))) {
      return false; // only leaves keep text
    }
    if (n->firstChild) {
      n = n->firstChild;
      continue;
    }
    while (n != root && !n->next)
      n = n->parent;
    n = n == root ? nullptr : n->next;
  }
  return true;
}

// A preamble may hold only what the reader skips: blanks, <!...> and <?...?>.
bool PreambleReadsBack(const String& preamble)
{
  if (!Writable(preamble))
    return false;
  const std::string s = preamble.ToUtf8();
  for (std::size_t i = 0; i < s.size();) {
    if (IsBlank(s[i])) {
      ++i;
      continue;
    }
    if (s[i] != '<')
      return false;
    const std::size_t gt = s.find('>', i + 1);
    if (gt == std::string::npos)
      return false;
    const std::string_view tag(s.data() + i + 1, gt - i - 1);
    const bool skipped = (!tag.empty() && tag.front() == '!') || (tag.size() >= 2 && tag.front() == '?' && tag.back() == '?');
    if (!skipped)
      return false;
    i = gt + 1;
  }
  return true;
}

bool WriteTree(Writer& out, const XMLNode* root)
{
  CStack<WriteNode> stack;
  if (!stack.Push({root, 1}))
    return false;
  while (!stack.IsEmpty() && out.Ok()) {
    WriteNode& top = stack.Top();
    const XMLNode* node = top.node;
    Int32 depth = stack.GetCount() - 1;
    if (top.firstVisit) {
      top.firstVisit = 0;
      out.Tabs(depth);
      out.Put("<", 1);
      out.PutVerbatim(node->name);
      if (node->attributes.Content()) {
        out.Put(" ", 1);
        out.PutVerbatim(node->attributes);
      }
      out.Put(">", 1);
      if (node->firstChild) {
        out.Put("\r\n", 2);
        if (!stack.Push({node->firstChild, 1}))
          return false;
        continue;
      }
    }
    if (node->text.Content()) {
      // The reader keeps a raw-text element's content verbatim, so it is written verbatim.
      if (IsRawText(node))
        out.PutVerbatim(node->text);
      else
        out.PutEscaped(node->text);
    }
    if (node->firstChild)
      out.Tabs(depth);
    out.Put("</", 2);
    out.PutVerbatim(node->name);
    out.Put(">\r\n", 3);
    stack.Pop();
    if (node->next && !stack.Push({node->next, 1}))
      return false;
  }
  return out.Ok();
}

} // namespace

Bool WriteXMLFile(const Filename& file, const XMLNode* root, StringEncoding encoding, const String* preamble)
{
  // Refused before the file is opened, so an existing file is not truncated for nothing.
  if (encoding != StringEncoding::Utf8 || !root)
    return false;
  // Never true for output that would read back differently: such trees are refused.
  try {
    if (!TreeReadsBack(root) || (preamble && !PreambleReadsBack(*preamble)))
      return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  BaseFile f;
  if (!f.Open(file, FileMode::Write))
    return false;
  bool ok;
  try {
    Writer out(f);
    out.Put("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n");
    if (preamble) {
      out.PutVerbatim(*preamble);
      out.Put("\r\n", 2);
    }
    ok = WriteTree(out, root) && out.Flush();
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  return f.Close() && ok;
}
