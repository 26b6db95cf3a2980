#include <pthread.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "orxtest.h"
#include "tools/xml/dynarray.h"
#include "tools/xml/xml_parser.h"

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>";

// Parses text and owns the result.
struct Parsed
{
  explicit Parsed(const std::string& bytes) { root = ParseXML(bytes.data(), Int64(bytes.size()), &code); }
  ~Parsed() { FreeXMLTree(root); }
  XMLNode* root = nullptr;
  Int32 code = 12345;
};

std::string U8(const String& s) { return s.ToUtf8(); }

// Runs f on a thread with a small stack, so that recursion over a deep tree would crash.
void OnSmallStack(const std::function<void()>& f)
{
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1 << 20);
  pthread_t t;
  auto run = [](void* p) -> void* {
    (*static_cast<const std::function<void()>*>(p))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&t, &attr, run, const_cast<std::function<void()>*>(&f)), 0);
  pthread_join(t, nullptr);
  pthread_attr_destroy(&attr);
}

int CountChildren(const XMLNode* n)
{
  int c = 0;
  for (const XMLNode* k = n->firstChild; k; k = k->next)
    ++c;
  return c;
}

} // namespace

TEST(XmlRead, StructureTextAndMixedContent)
{
  orxtest::NoLeaks noLeaks;
  {
    Parsed p(kDecl + "\r\n<a><b>x</b></a>");
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(p.code, 0);
    EXPECT_EQ(U8(p.root->name), "a");
    EXPECT_TRUE(p.root->text.IsEmpty());
    ASSERT_NE(p.root->firstChild, nullptr);
    const XMLNode* b = p.root->firstChild;
    EXPECT_EQ(U8(b->name), "b");
    EXPECT_EQ(U8(b->text), "x");
    EXPECT_EQ(b->parent, p.root);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(b->prev, nullptr);
  }
  {
    // Text after a child element ends the parse there, without an error.
    Parsed p(kDecl + "<a>x<b/>y<c/></a>");
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(p.code, 0);
    EXPECT_TRUE(p.root->text.IsEmpty());
    ASSERT_EQ(CountChildren(p.root), 1);
    EXPECT_EQ(U8(p.root->firstChild->name), "b");
  }
  {
    Parsed p(kDecl + "<r>\r\n\t<s>1</s>\n  <s>  2 </s><t/><s>3</s>\r\n</r>");
    ASSERT_EQ(CountChildren(p.root), 4);
    const XMLNode* s1 = p.root->firstChild;
    const XMLNode* s2 = s1->next;
    EXPECT_EQ(U8(s2->text), "  2 ") << "texts are kept untrimmed";
    EXPECT_EQ(s2->prev, s1);
    EXPECT_EQ(U8(s2->next->name), "t");
    EXPECT_EQ(U8(s2->next->next->text), "3");
    EXPECT_EQ(s2->next->next->prev, s2->next);
  }
  {
    // A second top-level element ends the document with an error.
    Parsed p(kDecl + "<a>1</a><b>2</b>");
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(p.code, XML_CONTENT_AFTER_ROOT);
    EXPECT_EQ(p.root->next, nullptr);
  }
}

TEST(XmlRead, TagClasses)
{
  orxtest::NoLeaks noLeaks;
  {
    Parsed p(kDecl + "<!DOCTYPE x><?pi data?><a x=\"1>2\">t</a>");
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(U8(p.root->name), "a");
    EXPECT_EQ(U8(p.root->attributes), "x=\"1") << "a > in an attribute ends the tag";
    EXPECT_EQ(p.code, 0);
    EXPECT_EQ(p.root->firstChild, nullptr);
  }
  {
    Parsed p(kDecl + "<r><br/><br x=1 /><!-- note --><e a=\"q\"  b='2'></e></r>");
    ASSERT_EQ(CountChildren(p.root), 3);
    const XMLNode* br = p.root->firstChild;
    EXPECT_EQ(U8(br->name), "br");
    EXPECT_TRUE(br->attributes.IsEmpty());
    EXPECT_EQ(U8(br->next->name), "br");
    EXPECT_EQ(U8(br->next->attributes), "x=1 ");
    EXPECT_EQ(U8(br->next->next->attributes), "a=\"q\"  b='2'");
    EXPECT_EQ(p.code, 0);
  }
  {
    // An empty tag is a start tag with an empty name; "</>" ends in a slash, so it is an empty
    // element rather than an end tag.
    Parsed p(kDecl + "<><x>1</x></>");
    ASSERT_NE(p.root, nullptr);
    EXPECT_TRUE(p.root->name.IsEmpty());
    ASSERT_EQ(CountChildren(p.root), 2);
    EXPECT_TRUE(p.root->firstChild->next->name.IsEmpty());
    EXPECT_EQ(p.code, XML_TRUNCATED) << "the root is never closed";
  }
}

TEST(XmlRead, MismatchedEndTagsGiveTheLine)
{
  orxtest::NoLeaks noLeaks;
  {
    Parsed p(kDecl + "\r\n\r\n<a></b>");
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(p.code, 3);
    EXPECT_EQ(U8(p.root->name), "a");
  }
  {
    // CR, LF and CR LF each count one line; line breaks inside tags do not.
    Parsed p(kDecl + "\n<a\nx=1\r\ny=2>\r<b>\r\n</b>\n\r\n</c>");
    EXPECT_EQ(p.code, 6);
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(CountChildren(p.root), 1);
  }
  {
    Parsed p(kDecl + "</a>");
    EXPECT_EQ(p.root, nullptr);
    EXPECT_EQ(p.code, 1);
  }
  {
    Parsed p(kDecl + "<a>1</a>\n</a>");
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(p.code, 2) << "an end tag after the root closed matches nothing";
  }
}

TEST(XmlRead, SignatureAndByteOrderMarks)
{
  orxtest::NoLeaks noLeaks;
  const std::string body = "<?xml?><a>1</a>";
  for (const std::string& mark : {std::string(""), std::string("\xEF\xBB\xBF"), std::string("\xFE\xFF"),
                                  std::string("\xFF\xFE"), std::string("\0\0\xFE\xFF", 4),
                                  std::string("\xFF\xFE\0\0", 4)}) {
    Parsed p(mark + body);
    ASSERT_NE(p.root, nullptr) << "mark of " << mark.size() << " bytes";
    EXPECT_EQ(U8(p.root->text), "1");
  }
  // The signature must be exact and long enough.
  for (const std::string& bad :
       {std::string(""), std::string("<?xm"), std::string("<?xml"), std::string("<a>1</a>"), std::string(" <?xml?><a/>"),
        std::string("\xEF\xBB\xBF<?xm"), std::string("\xFE\xFF<?xm"), std::string("\0\0\xFE\xFF<?xm", 8),
        std::string("\xFF\xFE<\0?\0x\0m\0l\0>\0", 14)}) {
    Parsed p(bad);
    EXPECT_EQ(p.root, nullptr);
    EXPECT_EQ(p.code, 0);
  }
  Parsed justSignature("<?xml");
  EXPECT_EQ(justSignature.root, nullptr);
  EXPECT_EQ(justSignature.code, 0);
  Int32 code = 7;
  EXPECT_EQ(ParseXML(nullptr, 10, &code), nullptr);
  EXPECT_EQ(code, 0);
}

TEST(XmlRead, RawTextElementsKeepTheirContent)
{
  orxtest::NoLeaks noLeaks;
  Parsed p(kDecl + "<r><h type=\"html\"><b>bold &amp; </i></b>\n</h><n>&amp;</n></r>");
  ASSERT_NE(p.root, nullptr);
  EXPECT_EQ(p.code, 0);
  ASSERT_EQ(CountChildren(p.root), 2);
  const XMLNode* h = p.root->firstChild;
  EXPECT_EQ(h->firstChild, nullptr);
  EXPECT_EQ(U8(h->text), "<b>bold &amp; </i></b>\n");
  EXPECT_EQ(U8(h->next->text), "&");

  // Unquoted, the marker does not count.
  Parsed q(kDecl + "<h type=html><b>x</b></h>");
  ASSERT_NE(q.root, nullptr);
  EXPECT_EQ(CountChildren(q.root), 1);

  // The marker in the name part of a tag does not count either.
  Parsed n(kDecl + "<r><type=\"html\">x<b/></type=\"html\"></r>");
  ASSERT_NE(n.root, nullptr);
  ASSERT_NE(n.root->firstChild, nullptr);
  EXPECT_EQ(CountChildren(n.root->firstChild), 1);
  EXPECT_EQ(n.code, 0);

  // Unclosed, the element stays without text, and the document is cut short.
  Parsed open(kDecl + "<h type=\"html\"><b>x</b>");
  ASSERT_NE(open.root, nullptr);
  EXPECT_TRUE(open.root->text.IsEmpty());
  EXPECT_EQ(open.code, XML_TRUNCATED);
}

TEST(XmlRead, EntitiesAndCharacterReferences)
{
  orxtest::NoLeaks noLeaks;
  Parsed p(kDecl + "<r v=\"a&amp;b &gt;\"><t>&lt;&gt;&amp;&quot;&apos;&#65;&#x263a;&#X41;&#x1F600;</t>"
                   "<u>&bogus; &amp &#; &#0; &#xD800; &#1114112; &#x110000; &#12a; &;&</u></r>");
  ASSERT_NE(p.root, nullptr);
  EXPECT_EQ(U8(p.root->attributes), "v=\"a&amp;b &gt;\"") << "attribute text stays as written";
  String v;
  EXPECT_TRUE(p.root->GetAttribute(String("v"), &v));
  EXPECT_EQ(U8(v), "a&b >");
  const XMLNode* t = p.root->firstChild;
  EXPECT_EQ(U8(t->text), "<>&\"'A\u263a&#X41;\U0001F600");
  // Anything that is not a well-formed reference stays as it is.
  EXPECT_EQ(U8(t->next->text), "&bogus; &amp &#; &#0; &#xD800; &#1114112; &#x110000; &#12a; &;&");
  // A reference cut by the end of the text stays as well.
  Parsed cut(kDecl + "<t>x&am</t>");
  EXPECT_EQ(U8(cut.root->text), "x&am");
}

TEST(XmlRead, DamagedInput)
{
  orxtest::NoLeaks noLeaks;
  {
    // Input ending with elements open, or inside a tag, returns what was built, as cut short.
    for (const std::string& tail : {"<a><b>x</b><c>", "<a><b>x</b><c", "<a><b>x", "<a><b>x</b><c x=\"1"}) {
      Parsed p(kDecl + tail);
      ASSERT_NE(p.root, nullptr) << tail;
      EXPECT_EQ(p.code, XML_TRUNCATED) << tail;
      EXPECT_EQ(U8(p.root->name), "a");
      ASSERT_NE(p.root->firstChild, nullptr);
      EXPECT_TRUE(p.root->firstChild->text.IsEmpty() || U8(p.root->firstChild->text) == "x");
    }
  }
  {
    // A zero byte ends the input.
    std::string s = kDecl + "<a><b>x</b>" + std::string(1, '\0') + "<c>y</c></a>";
    Parsed p(s);
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(CountChildren(p.root), 1);
    EXPECT_EQ(p.code, XML_TRUNCATED);
  }
  {
    Parsed p(kDecl + "<a n=\"\xFF\xFE\">\xC3\x28\xE2\x82</a>");
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(p.code, 0);
    EXPECT_NE(p.root->text.View().find(u'\uFFFD'), std::u16string_view::npos);
  }
  {
    // End tags that match only after conversion (both invalid sequences) still match.
    Parsed p(kDecl + "<r><\xFF>1</\xFE></r>");
    EXPECT_EQ(p.code, 0);
  }
  {
    // Every prefix of a valid document parses without harm; one cut inside the root is reported.
    std::string doc = kDecl + "\r\n<item type=folder>\r\n\t<name>\r\n\t\t<string>A &amp; B</string>\r\n\t</name>\r\n</item>\r\n";
    const std::size_t rootStart = doc.find('>', doc.find("<item")), rootEnd = doc.find("</item>") + 7;
    for (std::size_t n = 0; n <= doc.size(); ++n) {
      Int32 code = 0;
      XMLNode* root = ParseXML(doc.data(), Int64(n), &code);
      if (n >= rootEnd)
        EXPECT_EQ(code, 0) << n;
      else if (n > rootStart)
        EXPECT_EQ(code, XML_TRUNCATED) << n;
      else
        EXPECT_EQ(root, nullptr) << n;
      FreeXMLTree(root);
    }
  }
}

TEST(XmlRead, DeepWideAndHugeDocuments)
{
  orxtest::NoLeaks noLeaks;
  const int kDepth = 100000;
  {
    std::string s = kDecl;
    for (int i = 0; i < kDepth; ++i)
      s += "<e>";
    s += "leaf";
    for (int i = 0; i < kDepth; ++i)
      s += "</e>";
    OnSmallStack([&] {
      Parsed p(s);
      ASSERT_NE(p.root, nullptr);
      EXPECT_EQ(p.code, 0);
      const XMLNode* n = p.root;
      int depth = 1;
      while (n->firstChild) {
        n = n->firstChild;
        ++depth;
      }
      EXPECT_EQ(depth, kDepth);
      EXPECT_EQ(U8(n->text), "leaf");
    });
  }
  {
    // Unclosed nesting: freed without recursion as well.
    std::string s = kDecl;
    for (int i = 0; i < kDepth; ++i)
      s += "<e x=1>";
    OnSmallStack([&] {
      Parsed p(s);
      EXPECT_NE(p.root, nullptr);
    });
  }
  {
    std::string s = kDecl + "<r>";
    for (int i = 0; i < kDepth; ++i)
      s += "<s>v</s>";
    s += "</r>";
    Parsed p(s);
    EXPECT_EQ(CountChildren(p.root), kDepth);
  }
  {
    const std::size_t kBig = 50u << 20;
    std::string s = kDecl + "<a v=\"";
    s.append(kBig, 'z');
    s += "\">t</a>";
    Parsed p(s);
    ASSERT_NE(p.root, nullptr);
    EXPECT_EQ(std::size_t(p.root->attributes.GetLength()), kBig + 4);
    EXPECT_EQ(U8(p.root->text), "t");
  }
}

TEST(XmlNode, AddChildAndDeepDestruction)
{
  orxtest::NoLeaks noLeaks;
  XMLNode* root = OrxNewObj(XMLNode);
  ASSERT_NE(root, nullptr);
  XMLNode* a = root->AddChild(String("a"));
  XMLNode* b = root->AddChild(String("b"));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(root->firstChild, a);
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(b->prev, a);
  EXPECT_EQ(b->parent, root);

  XMLNode* n = a;
  for (int i = 0; i < 100000; ++i) {
    n = n->AddChild(String("d"));
    ASSERT_NE(n, nullptr);
    n->AddChild(String("sibling"));
  }
  OnSmallStack([&] { FreeXMLTree(root); });
  EXPECT_EQ(root, nullptr);
}

namespace {

XMLNode* MakeFolderItem(const String& name)
{
  XMLNode* item = OrxNewObj(XMLNode);
  item->SetName(String("item"));
  item->SetAttributes(String("type=folder"));
  item->AddChild(String("name"))->AddChild(String("string"))->SetText(name);
  return item;
}

} // namespace

TEST(XmlWrite, ExactBytes)
{
  orxtest::NoLeaks noLeaks;
  Filename f = orxtest::TempDir() + String("Cubes.cbinfo");
  XMLNode* item = MakeFolderItem(String("Cubes"));
  ASSERT_TRUE(WriteXMLFile(f, item, StringEncoding::Utf8));
  EXPECT_EQ(orxtest::ReadFile(f), kDecl + "\r\n"
                                          "<item type=folder>\r\n"
                                          "\t<name>\r\n"
                                          "\t\t<string>Cubes</string>\r\n"
                                          "\t</name>\r\n"
                                          "</item>\r\n");

  // A leaf without text and a preamble.
  XMLNode* other = OrxNewObj(XMLNode);
  other->SetName(String("other"));
  item->AddChild(String("annotation"));
  String preamble("<!-- made by hand -->");
  ASSERT_TRUE(WriteXMLFile(f, item, StringEncoding::Utf8, &preamble));
  const std::string written = kDecl + "\r\n<!-- made by hand -->\r\n"
                                      "<item type=folder>\r\n"
                                      "\t<name>\r\n"
                                      "\t\t<string>Cubes</string>\r\n"
                                      "\t</name>\r\n"
                                      "\t<annotation></annotation>\r\n"
                                      "</item>\r\n";
  EXPECT_EQ(orxtest::ReadFile(f), written);
  // The root's siblings could not be read back: refused, and the file is left as it was.
  item->next = other;
  other->prev = item;
  EXPECT_FALSE(WriteXMLFile(f, item, StringEncoding::Utf8, &preamble));
  EXPECT_EQ(orxtest::ReadFile(f), written);
  other->prev = nullptr;
  String empty;
  ASSERT_TRUE(WriteXMLFile(f, other, StringEncoding::Utf8, &empty));
  EXPECT_EQ(orxtest::ReadFile(f), kDecl + "\r\n\r\n<other></other>\r\n");
  item->next = nullptr;
  FreeXMLTree(other);
  FreeXMLTree(item);
}

TEST(XmlWrite, RoundTripOfAwkwardTexts)
{
  orxtest::NoLeaks noLeaks;
  Filename f = orxtest::TempDir() + String("x.cbinfo");
  const String awkward("Cubes <big> & \"small\" &amp; 'Würfel' \u263a");
  XMLNode* item = MakeFolderItem(awkward);
  item->SetAttributes(String("type=a&b<c"));
  XMLNode* html = item->AddChild(String("page"));
  html->SetAttributes(String("type=\"html\""));
  html->SetText(String("<p>a &amp; b</p>"));
  ASSERT_TRUE(WriteXMLFile(f, item, StringEncoding::Utf8));
  EXPECT_NE(orxtest::ReadFile(f).find("<string>Cubes &lt;big&gt; &amp; \"small\" &amp;amp;"), std::string::npos);
  FreeXMLTree(item);

  Int32 code = -9;
  XMLNode* back = LoadXMLFile(f, &code);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(back->attributes, String("type=a&b<c"));
  ASSERT_NE(back->firstChild, nullptr);
  ASSERT_NE(back->firstChild->firstChild, nullptr);
  EXPECT_EQ(back->firstChild->firstChild->text, awkward);
  ASSERT_NE(back->firstChild->next, nullptr);
  EXPECT_EQ(back->firstChild->next->text, String("<p>a &amp; b</p>"));
  FreeXMLTree(back);
}

TEST(XmlWrite, Failures)
{
  orxtest::NoLeaks noLeaks;
  Filename dir = orxtest::TempDir();
  Filename f = dir + String("keep.cbinfo");
  ASSERT_TRUE(orxtest::WriteFile(f, "old"));
  XMLNode* item = MakeFolderItem(String("Cubes"));

  EXPECT_FALSE(WriteXMLFile(f, item, StringEncoding::Latin1));
  EXPECT_EQ(orxtest::ReadFile(f), "old") << "a refused encoding leaves the file alone";
  EXPECT_FALSE(WriteXMLFile(f, nullptr, StringEncoding::Utf8));
  EXPECT_FALSE(WriteXMLFile(dir + String("no/such/folder.cbinfo"), item, StringEncoding::Utf8));

  orxhost::FailNth(orxhost::FileOp::Write, 1);
  EXPECT_FALSE(WriteXMLFile(f, item, StringEncoding::Utf8));
  orxhost::FailNth(orxhost::FileOp::Open, 1);
  EXPECT_FALSE(WriteXMLFile(f, item, StringEncoding::Utf8));
  orxhost::ClearFaults();

  // Large output goes out in several writes; a later one failing is reported too.
  for (int i = 0; i < 5000; ++i)
    item->AddChild(String("entry"))->SetText(String("some text to make the file large"));
  orxhost::FailNth(orxhost::FileOp::Write, 2);
  EXPECT_FALSE(WriteXMLFile(f, item, StringEncoding::Utf8));
  orxhost::ClearFaults();
  EXPECT_TRUE(WriteXMLFile(f, item, StringEncoding::Utf8));
  FreeXMLTree(item);
}

namespace {

// Same names, attribute texts, texts and shape.
bool SameTree(const XMLNode* a, const XMLNode* b, std::string* why)
{
  if (!a || !b) {
    *why = "missing tree";
    return a == b;
  }
  if (a->name != b->name || a->attributes != b->attributes || a->text != b->text) {
    *why = "node <" + U8(a->name) + "> differs: attributes [" + U8(a->attributes) + "] / [" + U8(b->attributes) +
           "], text [" + U8(a->text) + "] / [" + U8(b->text) + "]";
    return false;
  }
  const XMLNode* ca = a->firstChild;
  const XMLNode* cb = b->firstChild;
  for (; ca && cb; ca = ca->next, cb = cb->next)
    if (!SameTree(ca, cb, why))
      return false;
  if (ca || cb)
    *why = "children of <" + U8(a->name) + "> differ in number";
  return !ca && !cb;
}

XMLNode* NewRoot(const String& name)
{
  XMLNode* n = OrxNewObj(XMLNode);
  n->SetName(name);
  return n;
}

} // namespace

TEST(XmlRead, CutShortOrASecondRootIsAnError)
{
  orxtest::NoLeaks noLeaks;
  for (const std::string doc : std::vector<std::string>{"<a>", "<a><b>", "<a><b></b>", "<a><b>x</b", "<a><b x=\"1", "<a>" + std::string("\r\n")}) {
    Parsed p(kDecl + doc);
    EXPECT_NE(p.root, nullptr) << doc;
    EXPECT_EQ(p.code, XML_TRUNCATED) << doc;
  }
  for (const std::string& doc : {"<a></a><b></b>", "<a/><b/>", "<a/>text", "<a></a>\r\n<a></a>"}) {
    Parsed p(kDecl + doc);
    ASSERT_NE(p.root, nullptr) << doc;
    EXPECT_EQ(p.code, XML_CONTENT_AFTER_ROOT) << doc;
    EXPECT_EQ(p.root->next, nullptr);
  }
  // What may follow the root: blanks, comments, processing instructions.
  for (const std::string& doc : {"<a></a>\r\n\t ", "<a/><!-- end -->", "<a/><?pi x?>\r\n"}) {
    Parsed p(kDecl + doc);
    ASSERT_NE(p.root, nullptr) << doc;
    EXPECT_EQ(p.code, 0) << doc;
  }
}

TEST(XmlRead, AttributeValuesAreDecodedAfterSplitting)
{
  orxtest::NoLeaks noLeaks;
  Parsed p(kDecl + "<a x=\"say &quot;hi&quot;\" y=\"2\"\tz='it&apos;s &lt;b&gt;' w=bare  q = \"sp aced\" e=\"\"></a>");
  ASSERT_NE(p.root, nullptr);
  EXPECT_EQ(p.code, 0);
  EXPECT_EQ(U8(p.root->attributes), "x=\"say &quot;hi&quot;\" y=\"2\"\tz='it&apos;s &lt;b&gt;' w=bare  q = \"sp aced\" e=\"\"");
  const std::vector<std::pair<std::string, std::string>> want = {
      {"x", "say \"hi\""}, {"y", "2"}, {"z", "it's <b>"}, {"w", "bare"}, {"q", "sp aced"}, {"e", ""}};
  for (const auto& [key, value] : want) {
    String v("unset");
    EXPECT_TRUE(p.root->GetAttribute(String(key), &v)) << key;
    EXPECT_EQ(U8(v), value) << key;
  }
  String v;
  EXPECT_FALSE(p.root->GetAttribute(String("hi"), &v)) << "text inside a value is not an attribute";
  EXPECT_FALSE(p.root->GetAttribute(String("X"), &v));

  // Values set one by one are escaped so that they split and decode back.
  XMLNode* n = NewRoot(String("n"));
  const String tricky("say \"hi\" & 'bye' <now> &amp;");
  EXPECT_TRUE(n->AddAttribute(String("t"), tricky));
  EXPECT_TRUE(n->AddAttribute(String("u"), String("")));
  EXPECT_FALSE(n->AddAttribute(String("bad name"), String("x")));
  EXPECT_FALSE(n->AddAttribute(String("z"), String(std::u16string_view(u"a\0b", 3))));
  EXPECT_TRUE(n->GetAttribute(String("t"), &v));
  EXPECT_EQ(v, tricky);
  Filename f = orxtest::TempDir() + String("attr.cbinfo");
  ASSERT_TRUE(WriteXMLFile(f, n, StringEncoding::Utf8));
  Int32 code = -9;
  XMLNode* back = LoadXMLFile(f, &code);
  EXPECT_EQ(code, 0);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->attributes, n->attributes);
  EXPECT_TRUE(back->GetAttribute(String("t"), &v));
  EXPECT_EQ(v, tricky);
  EXPECT_TRUE(back->GetAttribute(String("u"), &v));
  EXPECT_TRUE(v.IsEmpty());
  FreeXMLTree(back);
  FreeXMLTree(n);
}

TEST(XmlWrite, TreesThatWouldReadBackDifferentlyAreRefused)
{
  orxtest::NoLeaks noLeaks;
  Filename f = orxtest::TempDir() + String("keep.cbinfo");
  ASSERT_TRUE(orxtest::WriteFile(f, "old"));
  const String zero(std::u16string_view(u"a\0b", 3));
  struct Case
  {
    const char* what;
    std::function<void(XMLNode*)> make;
  };
  const std::vector<Case> cases = {
      {"attribute text ending in a slash", [](XMLNode* r) { r->SetAttributes(String("x=a/")); }},
      {"attribute text holding >", [](XMLNode* r) { r->SetAttributes(String("x=\"1>2\"")); }},
      {"a zero in a text", [&](XMLNode* r) { r->AddChild(String("t"))->SetText(zero); }},
      {"a zero in attribute text", [&](XMLNode* r) { r->SetAttributes(zero); }},
      {"a zero in a name", [&](XMLNode* r) { r->AddChild(zero); }},
      {"a lone surrogate in a text", [](XMLNode* r) { r->AddChild(String("t"))->SetText(String(u"x\xD800")); }},
      {"text on an element with children",
       [](XMLNode* r) {
         r->SetText(String("lost"));
         r->AddChild(String("c"));
       }},
      {"a sibling of the root",
       [](XMLNode* r) {
         XMLNode* s = OrxNewObj(XMLNode);
         s->SetName(String("s"));
         r->next = s;
         s->prev = r;
       }},
      {"raw text holding its own end tag",
       [](XMLNode* r) {
         XMLNode* h = r->AddChild(String("h"));
         h->SetAttributes(String("type=\"html\""));
         h->SetText(String("<p>a</h>b</p>"));
       }},
      {"raw text with a tag left open",
       [](XMLNode* r) {
         XMLNode* h = r->AddChild(String("h"));
         h->SetAttributes(String("type=\"html\""));
         h->SetText(String("a <b"));
       }},
      {"raw element with children",
       [](XMLNode* r) {
         r->SetAttributes(String("type=\"html\""));
         r->AddChild(String("c"));
       }},
      {"an empty name", [](XMLNode* r) { r->AddChild(String("")); }},
      {"a name with a blank", [](XMLNode* r) { r->AddChild(String("a b")); }},
      {"a name ending in a slash", [](XMLNode* r) { r->AddChild(String("a/")); }},
      {"a name starting with !", [](XMLNode* r) { r->AddChild(String("!a")); }},
      {"a name starting with ?", [](XMLNode* r) { r->AddChild(String("?a?")); }},
      {"a name starting with /", [](XMLNode* r) { r->AddChild(String("/a")); }},
      {"a name holding >", [](XMLNode* r) { r->AddChild(String("a>b")); }},
  };
  for (const Case& c : cases) {
    XMLNode* root = NewRoot(String("root"));
    c.make(root);
    EXPECT_FALSE(WriteXMLFile(f, root, StringEncoding::Utf8)) << c.what;
    EXPECT_EQ(orxtest::ReadFile(f), "old") << c.what << ": refused before the file is touched";
    if (root->next) {
      XMLNode* s = root->next;
      root->next = nullptr;
      s->prev = nullptr;
      FreeXMLTree(s);
    }
    FreeXMLTree(root);
  }
  // A preamble that would add content.
  XMLNode* root = NewRoot(String("root"));
  for (const char* bad : {"<x/>", "text", "<!-- a > b -->"}) {
    String preamble(bad);
    EXPECT_FALSE(WriteXMLFile(f, root, StringEncoding::Utf8, &preamble)) << bad;
  }
  EXPECT_EQ(orxtest::ReadFile(f), "old");
  FreeXMLTree(root);
}

TEST(XmlWrite, WhatIsWrittenReadsBackEqual)
{
  orxtest::NoLeaks noLeaks;
  Filename f = orxtest::TempDir() + String("round.cbinfo");
  XMLNode* root = NewRoot(String("item"));
  root->SetAttributes(String("type=folder a=\"x/y\" b='&amp;' c=\"<\""));
  root->AddChild(String("empty"));
  root->AddChild(String("blank"))->SetText(String(" \t "));
  root->AddChild(String("lines"))->SetText(String("one\r\ntwo\nthree\r"));
  root->AddChild(String("escapes"))->SetText(String("a < b > c & d &amp; </escapes> \"'"));
  root->AddChild(String(u"n\u00e4me\U0001F600"))->SetText(String(u"\u263a\U0001F600\uFFFD"));
  XMLNode* h = root->AddChild(String("h"));
  h->SetAttributes(String("type=\"html\""));
  h->SetText(String("<p>a &amp; <b>b</b></p><br/></hx></h ><!-- c -->"));
  XMLNode* deep = root->AddChild(String("deep"));
  deep->SetAttributes(String("slash=\"/\" "));
  deep->AddChild(String("deeper"))->AddChild(String("deepest"))->SetText(String("x"));
  String preamble("<!-- made by hand --><?pi ok?>\r\n");
  ASSERT_TRUE(WriteXMLFile(f, root, StringEncoding::Utf8, &preamble));
  Int32 code = -9;
  XMLNode* back = LoadXMLFile(f, &code);
  EXPECT_EQ(code, 0);
  std::string why;
  EXPECT_TRUE(SameTree(root, back, &why)) << why;
  FreeXMLTree(back);
  FreeXMLTree(root);
}

namespace {
int g_hookCalls = 0;
Bool RefuseHook(char*&, Int64&)
{
  ++g_hookCalls;
  return false;
}
// Replaces the buffer with a document of its own.
Bool ReplaceHook(char*& buffer, Int64& length)
{
  ++g_hookCalls;
  static const std::string doc = "<?xml?><swapped>yes</swapped>";
  OrxMemFree(buffer);
  buffer = static_cast<char*>(OrxMemAlloc(Int64(doc.size()), __LINE__, __FILE__, false));
  std::memcpy(buffer, doc.data(), doc.size());
  length = Int64(doc.size());
  return true;
}
} // namespace

TEST(XmlLoad, FileErrorsAndHook)
{
  orxtest::NoLeaks noLeaks;
  Filename dir = orxtest::TempDir();
  Filename f = dir + String("a.cbinfo");
  ASSERT_TRUE(orxtest::WriteFile(f, kDecl + "<a>1</a>"));
  Int32 code = 0;

  EXPECT_EQ(LoadXMLFile(dir + String("missing"), &code), nullptr);
  EXPECT_EQ(code, XML_FILE_ERROR);
  EXPECT_EQ(LoadXMLFile(dir, &code), nullptr);
  EXPECT_EQ(code, XML_FILE_ERROR);
  orxhost::FailNth(orxhost::FileOp::Read, 1);
  EXPECT_EQ(LoadXMLFile(f, &code), nullptr);
  EXPECT_EQ(code, XML_FILE_ERROR);
  orxhost::ClearFaults();

  g_hookCalls = 0;
  EXPECT_EQ(LoadXMLFile(f, &code, RefuseHook), nullptr);
  EXPECT_EQ(code, XML_HOOK_FAILED);
  XMLNode* root = LoadXMLFile(f, &code, ReplaceHook);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(U8(root->name), "swapped");
  EXPECT_EQ(g_hookCalls, 2);
  FreeXMLTree(root);

  ASSERT_TRUE(orxtest::WriteFile(f, ""));
  EXPECT_EQ(LoadXMLFile(f, &code), nullptr);
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(orxtest::WriteFile(f, kDecl + "<a>"));
  root = LoadXMLFile(f, nullptr);
  EXPECT_NE(root, nullptr);
  FreeXMLTree(root);
}

TEST(XmlDynArray, GrowthAndStack)
{
  orxtest::NoLeaks noLeaks;
  CStack<Int64> st;
  while (st.GetCount() < 4000 || st.GetCount() < st.GetCapacity())
    ASSERT_TRUE(st.Push(st.GetCount()));
  const Int32 full = st.GetCount();
  st.Push(-7);
  EXPECT_EQ(st.GetCapacity(), full + full / 100) << "a full array grows by a hundredth of its count";
  EXPECT_EQ(st.GetArray()[st.GetCapacity() - 1], 0) << "gained elements are zero";
  Int64 v = -1;
  ASSERT_TRUE(st.Pop(&v));
  EXPECT_EQ(v, -7);
  EXPECT_EQ(st.Top(), full - 1);
  st.Free();
  EXPECT_FALSE(st.Pop());
}
