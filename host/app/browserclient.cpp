#include "browserclient.h"

#include <algorithm>
#include <cstdio>

#include "orx/services.h"

const OrxBrowserLibrary* g_lib = nullptr;

bool OpenBrowserLibrary(const std::string& command)
{
  g_lib = static_cast<const OrxBrowserLibrary*>(
      GeGetLibrary(BROWSERLIB_ID, BROWSERLIB_VERSION, Int32(sizeof(OrxBrowserLibrary))));
  if (!g_lib)
    std::fprintf(stderr, "orxhost %s: the plug-in published no browser library\n", command.c_str());
  return g_lib != nullptr;
}

void CloseBrowserLibrary() { g_lib = nullptr; }

int RunWithBrowserLibrary(const std::string& command, const std::function<int()>& work)
{
  if (!OpenBrowserLibrary(command))
    return 1;
  const int rc = work();
  CloseBrowserLibrary();
  return rc;
}

std::string JsonText(const std::string& s)
{
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

Url::Url()
{
  const std::size_t align = std::size_t(std::max<Int32>(g_lib->header.urlAlign, 8));
  const std::size_t size = (std::size_t(g_lib->header.urlSize) + align - 1) / align * align;
  storage_ = static_cast<unsigned char*>(std::aligned_alloc(align, size));
  g_lib->url->Init(Get());
}

Url::~Url()
{
  g_lib->url->Free(Get());
  std::free(storage_);
}

namespace {
std::string BrowserFormOfTypedUrl(const std::string& text)
{
  const std::string shortForm = "file:/";
  if (text.size() > shortForm.size() && text.compare(0, shortForm.size(), shortForm) == 0 &&
      text[shortForm.size()] != '/')
    return "file://localhost/" + text.substr(shortForm.size());
  if (text.size() > 1 && text[0] == '/')
    return "file://localhost" + text;
  return text;
}
} // namespace

void Url::Set(const std::string& text)
{
  String s = String::FromBytes(BrowserFormOfTypedUrl(text), StringEncoding::System);
  g_lib->url->SetString(Get(), &s);
}

std::string Url::Text() const
{
  String s;
  g_lib->url->GetString(Get(), &s);
  return s.ToUtf8();
}

std::string Node::Name() const
{
  String s;
  g_lib->content->GetName(n_, &s);
  return s.ToUtf8();
}

std::string Node::URL(UInt32 flags) const
{
  Url u;
  g_lib->content->GetURL(n_, u.Get(), flags);
  return u.Text();
}

std::string Node::TypeName() const
{
  String s;
  g_lib->content->GetTypeName(n_, &s, 0);
  return s.ToUtf8();
}

DateTime Node::Time(Int32 which) const
{
  DateTime t;
  g_lib->content->GetFileTime(n_, which, &t);
  return t;
}
