// How the host's commands reach the browser: through its published table, the way any other
// plug-in does. One command runs per process, so the table of the running command is one global.
#pragma once

#include <cstdlib>
#include <functional>
#include <string>
#include <utility>

#include "orx/browserlib.h"

// The browser's table while a command runs; null before OpenBrowserLibrary and after Close.
extern const OrxBrowserLibrary* g_lib;
// False, with a message naming the command, when the plug-in published no table.
bool OpenBrowserLibrary(const std::string& command);
void CloseBrowserLibrary();
// A command's work with the table open, closed again on return; 1 when there is no table.
int RunWithBrowserLibrary(const std::string& command, const std::function<int()>& work);

// s as a JSON string, quotes included.
std::string JsonText(const std::string& s);

// A URL in storage of the size and alignment the browser asks for.
class Url
{
public:
  Url();
  explicit Url(const std::string& text) : Url() { Set(text); }
  ~Url();
  Url(const Url&) = delete;
  Url& operator=(const Url&) = delete;
  // Command-line bytes: a file name in a URL keeps bytes that are not UTF-8. The short file URL
  // "file:/PATH" (as RFC 8089 allows it) and an absolute path "/PATH" are taken as
  // "file://localhost/PATH", the only host part the browser knows; "file:/" itself stays the root
  // of the volumes. Every URL of the browser starts with its scheme, so neither can mean more.
  void Set(const std::string& text);
  std::string Text() const;
  OrxBrowserURL* Get() const { return reinterpret_cast<OrxBrowserURL*>(storage_); }

private:
  unsigned char* storage_;
};

// A counted node reference of the browser.
class Node
{
public:
  Node() = default;
  explicit Node(OrxBrowserNode* n) : n_(n) {} // takes the reference over
  Node(const Node& o) : n_(o.n_)
  {
    if (n_)
      g_lib->header.addNodeReference(n_);
  }
  Node(Node&& o) noexcept : n_(std::exchange(o.n_, nullptr)) {}
  Node& operator=(Node o)
  {
    std::swap(n_, o.n_);
    return *this;
  }
  ~Node()
  {
    if (n_)
      g_lib->header.releaseNode(n_);
  }
  OrxBrowserNode* Get() const { return n_; }
  explicit operator bool() const { return n_ != nullptr; }

  std::string Name() const;
  std::string URL(UInt32 flags = 0) const;
  std::string TypeName() const;
  UInt32 Info(Int64* size) const { return g_lib->content->GetInfo(n_, size); }
  DateTime Time(Int32 which) const;
  Int32 Kind() const { return g_lib->content->GetNodeType(n_); }

private:
  OrxBrowserNode* n_ = nullptr;
};
