#include "previews/previewsession.h"

#include <new>
#include <vector>

#include "contenttree/nodeconstants.h"
#include "orx/browserpreviews.h"
#include "orx/media.h"
#include "orx/memory.h"
#include "presets/browserdatabase.h"
#include "previews/bgthread.h"

namespace {

class PreviewSession
{
public:
  ~PreviewSession() { thread.Stop(); }

  BGThread thread;
  ContentList list;
  Int64 total = 0;
};

// The content below folder, depth first; links to folders are listed, never entered.
void Collect(const NodeRef& folder, Bool recursive, std::vector<NodeRef>* out)
{
  for (NodeRef c = folder->GetDownNode(); c; c = c->GetNextNode()) {
    const UInt32 status = c->GetStatus();
    if (status & NODESTATUS_DELETED)
      continue;
    if (status & NODEMASK_BROWSABLE) {
      if (recursive && !(status & NODESTATUS_LINK))
        Collect(c, true, out);
      continue;
    }
    out->push_back(c);
  }
}

void Fill(PreviewSession* s, OrxPreviewsRequest* r)
{
  const BGThread::Counts c = s->thread.GetCounts();
  r->total = s->total;
  r->served = c.served;
  r->rendered = c.rendered;
  r->stored = c.stored;
  r->failed = c.failed;
  r->noPicture = c.noPicture;
  r->running = s->thread.IsIdle() ? 0 : 1;
}

Int32 Info(BrowserContentNode* node, OrxPreviewInfo* info, Bool withBitmap)
{
  if (info->size != Int32(sizeof(OrxPreviewInfo)))
    return EDIT_WRONG_KIND;
  info->count = info->width = info->height = info->quality = info->itemFlags = 0;
  info->bitmap = nullptr;
  BrowserURL url;
  if (!node->GetURL(&url, 0))
    return 0;
  BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(url.GetStringRef());
  if (!db)
    return 0;
  ItemHandle item(db->OpenItem(url.GetStringRef(), url.GetHash()));
  if (!item)
    return 0;
  info->itemFlags = item->GetItemFlags() & (dbitem::kRenderFailedFlag | dbitem::kNoPictureFlag);
  info->count = item->GetPreviewCount();
  Int32 largest = -1;
  for (Int32 i = 0; i < info->count; ++i) {
    PreviewInfo p;
    if (item->GetPreviewInfo(i, &p) && Int64(p.a) * p.b > Int64(info->width) * info->height) {
      info->width = p.a;
      info->height = p.b;
      info->quality = p.quality;
      largest = p.imageId;
    }
  }
  ByteArray jpeg;
  if (withBitmap && largest >= 0 && item->GetPreviewData(largest, &jpeg) && !jpeg.empty())
    info->bitmap = GeLoadBitmapFromMemory(jpeg.data(), Int64(jpeg.size()));
  return 0;
}

} // namespace

Int32 PreviewsMessage(BrowserContentNode* node, Int32 op, void* data)
{
  if (!node || !data)
    return MESSAGE_NOT_HANDLED;
  if (op == BROWSERPREVIEWS_INFO || op == BROWSERPREVIEWS_GET)
    return Info(node, static_cast<OrxPreviewInfo*>(data), op == BROWSERPREVIEWS_GET);
  auto* r = static_cast<OrxPreviewsRequest*>(data);
  if (r->size != Int32(sizeof(OrxPreviewsRequest)))
    return EDIT_WRONG_KIND;
  auto* s = static_cast<PreviewSession*>(r->session);
  switch (op) {
    case BROWSERPREVIEWS_START: {
      if (s)
        return EDIT_WRONG_KIND;
      if (!(node->GetStatus() & NODEMASK_BROWSABLE)) {
        r->error = String("not a folder");
        return EDIT_WRONG_KIND;
      }
      std::vector<NodeRef> nodes;
      Collect(NodeRef(node), (r->flags & BROWSERPREVIEWS_RECURSIVE) != 0, &nodes);
      s = new (std::nothrow) PreviewSession;
      if (!s || !s->list.SetNodes(nodes.data(), Int32(nodes.size()))) {
        delete s;
        r->error = String("out of memory");
        return EDIT_WRONG_KIND;
      }
      s->total = Int64(nodes.size());
      if (r->previewSize > 0)
        s->thread.SetPreviewSize(r->previewSize, r->previewSize);
      s->thread.SetForceTarget((r->flags & BROWSERPREVIEWS_FORCE) != 0);
      s->thread.SetTarget(&s->list);
      s->thread.Wake();
      r->session = s;
      Fill(s, r);
      return 0;
    }
    case BROWSERPREVIEWS_POLL:
    case BROWSERPREVIEWS_STOP:
      if (!s)
        return EDIT_WRONG_KIND;
      if (op == BROWSERPREVIEWS_STOP)
        s->thread.Stop();
      s->thread.DeliverChanges();
      Fill(s, r);
      return 0;
    case BROWSERPREVIEWS_FREE:
      if (!s)
        return EDIT_WRONG_KIND;
      s->thread.Stop();
      s->thread.DeliverChanges();
      Fill(s, r);
      delete s;
      r->session = nullptr;
      // What was stored is kept even when the program does not end in order.
      for (Int32 i = 0; i < BrowserDatabase::GetTableCapacity(); ++i)
        if (LibraryPin db = BrowserDatabase::PinLibrary(i))
          db->SaveIfChanged();
      return 0;
    default:
      return MESSAGE_NOT_HANDLED;
  }
}
