// The preview dialogs as the handlers make, end and delete them, read through the host's
// headless dialog model.
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "contenttest.h"
#include "core/calltable.h"
#include "orx/browserlib.h"
#include "nodes/baselistnode.h"
#include "presets/catalognode.h"
#include "orx/bitmap.h"
#include "orx/media.h"
#include "orx/scenedoc.h"
#include "scene/scenedoc.h"
#include "ui/previewdialog.h"
#include "ui/uimodel.h"

namespace sc = orxhost::scene;
namespace ui = orxhost::ui;

namespace {

std::string Text(Int32 dialog, Int32 id)
{
  const ui::Gadget* g = ui::FindGadget(dialog, id);
  return g ? g->text : std::string("<no gadget>");
}

bool DialogExists(Int32 handle)
{
  ui::DialogView v;
  return ui::GetDialog(handle, &v);
}

String AnnotationOf(const std::string& url)
{
  BrowserURL u{String(url.c_str())};
  BrowserDatabase* db = BrowserDatabase::FindLibraryForURL(u.GetStringRef());
  BrowserDatabaseItem* item = db ? db->OpenItem(u.GetStringRef(), u.GetHash()) : nullptr;
  if (!item)
    return String("<no item>");
  String a = item->GetAnnotation();
  item->Close();
  return a;
}

class PreviewDialogs : public contenttest::ContentTest
{
protected:
  void SetUp() override
  {
    ui::BindMainThread();
    ui::Reset();
    const char* res = std::getenv("ORX_TEST_RES");
    ASSERT_TRUE(res && GeOpenResource(Filename(String(res)) + String("strings.txt")));
    ContentTest::SetUp();
    InstallPreviewDialogs(true);
  }
  void TearDown() override
  {
    InstallPreviewDialogs(true);
    ui::Reset();
    std::error_code ec;
    std::filesystem::remove_all((orxtest::HomeDir() + String("volumes")).ToUtf8(), ec);
    ContentTest::TearDown();
  }
  // A library with one folder and a red material preset "Red" in it, made by the preset handler.
  NodeRef MaterialPreset()
  {
    Start();
    const Filename f = orxtest::TempDir() + String("dialogs.libqz");
    EXPECT_TRUE(contenttest::MakeLibrary(f, "preset://dialogs.libqz", {{"Folder", true}}));
    EXPECT_TRUE(RegisterLibrary(f, 0, nullptr));
    NodeRef folder = contenttest::Find("preset://dialogs.libqz/Folder");
    if (!folder)
      return nullptr;
    auto doc = std::make_unique<BaseDocument>();
    auto material = std::make_unique<BaseList2D>(Mbase);
    material->name = "Red";
    material->data.SetFloat(MATERIAL_COLOR, 1.0);
    material->data.SetFloat(MATERIAL_COLOR + 1, 0.0);
    material->data.SetFloat(MATERIAL_COLOR + 2, 0.0);
    BaseList2D* raw = material.get();
    EXPECT_TRUE(sc::Insert(doc.get(), std::move(material), nullptr, nullptr));
    EXPECT_EQ(folder->CopyHere(NodeRef(new BrowserBaseListNode(raw)), EDITPHASE_DO, nullptr, nullptr, nullptr),
              EDIT_OK);
    return contenttest::Find("preset://dialogs.libqz/Folder/Red");
  }
  // A small picture on a volume of the test home, as a file node.
  NodeRef PictureFile(const char* name, Int32 w = 12, Int32 h = 8)
  {
    const Filename dir = orxtest::HomeDir() + String("volumes") + String("pics");
    std::error_code ec;
    std::filesystem::create_directories(dir.ToUtf8(), ec);
    BaseBitmap b;
    EXPECT_TRUE(b.Init(w, h));
    for (Int32 y = 0; y < h; ++y)
      for (Int32 x = 0; x < w; ++x)
        b.SetPixel(x, y, 20, 200, 40);
    EXPECT_TRUE(GeSaveBitmap(b, dir + String(name), SAVEBITMAP_PNG));
    Start();
    url_ = "file://localhost" + (dir + String(name)).ToUtf8();
    return contenttest::Find(url_);
  }
  std::string url_;
};

TEST_F(PreviewDialogs, AMaterialPresetShowsItsNameTypeAndPicture)
{
  NodeRef red = MaterialPreset();
  ASSERT_TRUE(red);
  BrowserPluginInterface* h = red->GetPluginInterface(0);
  ASSERT_TRUE(h);
  PreviewDialog* d = h->CreatePreviewDialog(red, 1);
  ASSERT_TRUE(d);
  const Int32 handle = d->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  EXPECT_EQ(Text(handle, IDC_PREVIEW_NAME), "Red");
  EXPECT_EQ(Text(handle, IDC_PREVIEW_KIND), "Material Preset");
  EXPECT_EQ(Text(handle, IDC_PREVIEW_LOCATION), "preset://dialogs.libqz/Folder");
  EXPECT_EQ(Text(handle, IDC_PREVIEW_SIZE_LABEL), "Size");
  EXPECT_TRUE(ui::FindGadget(handle, IDC_PREVIEW_ANNOTATION_GROUP)) << "library items keep annotations";

  // The picture is the material's ball, drawn scaled into the area.
  const ui::Gadget* area = ui::FindGadget(handle, IDC_PREVIEW_PICTURE);
  ASSERT_TRUE(area && area->attach);
  int reddish = 0;
  bool drawn = false;
  for (const ui::DrawCall& c : ui::DrawArea(area->attach, 160, 160)) {
    if (c.op != ui::DrawOp::Bitmap || !c.pixels)
      continue;
    drawn = c.bw > 0 && c.bh > 0 && c.x2 < 160 && c.y2 < 160;
    for (std::size_t i = 0; i + 2 < c.pixels->size(); i += std::size_t(c.channels)) {
      const auto* p = c.pixels->data() + i;
      reddish += p[0] > 80 && p[0] > 2 * p[1] && p[0] > 2 * p[2];
    }
  }
  EXPECT_TRUE(drawn);

  EXPECT_GT(reddish, 100);
  EXPECT_EQ(h->DestroyPreviewDialog(red, d), 1);
  EXPECT_FALSE(DialogExists(handle));
}

// Slot 9 answers the page and deletes; slot 10 answers the page and keeps the dialog, which lets
// go of its node. Every page form comes back as it was given.
TEST_F(PreviewDialogs, EndingAnswersThePageOpenedAtAndOnlyDestroyDeletes)
{
  NodeRef red = MaterialPreset();
  ASSERT_TRUE(red);
  BrowserPluginInterface* h = red->GetPluginInterface(0);
  for (Int32 page : {0, 1, 2, PREVIEWPAGE_EXTRA, PREVIEWPAGE_EXTRA + 3}) {
    PreviewDialog* d = h->CreatePreviewDialog(red, page);
    ASSERT_TRUE(d);
    const Int32 handle = d->GetHandle();
    ASSERT_TRUE(ui::OpenSubDialog(handle));
    EXPECT_EQ(h->ClosePreviewDialog(red, d), page);
    EXPECT_TRUE(DialogExists(handle)) << "closing keeps the dialog";
    EXPECT_TRUE(d->Ended());
    EXPECT_FALSE(d->GetNode()) << "a closed dialog holds no node";
    EXPECT_EQ(h->DestroyPreviewDialog(red, d), page);
    EXPECT_FALSE(DialogExists(handle)) << "destroying deletes it";
  }
  // A page of no known form opens the first page.
  PreviewDialog* d = h->CreatePreviewDialog(red, 7);
  ASSERT_TRUE(d);
  EXPECT_EQ(h->DestroyPreviewDialog(red, d), 0);
}

// Closing with stored edits writes the edited annotation; the handlers that drop edits leave the
// item as it was. The store button writes whatever the handler's rule.
TEST_F(PreviewDialogs, AnEditedAnnotationIsWrittenOnlyWhereTheHandlerStoresEdits)
{
  NodeRef pic = PictureFile("green.png");
  ASSERT_TRUE(pic);
  BrowserPluginInterface* image = pic->GetPluginInterface(0);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->GetPluginID(nullptr), HANDLER_ID_IMAGE);
  PreviewDialog* d = image->CreatePreviewDialog(pic, 0);
  ASSERT_TRUE(d);
  Int32 handle = d->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  EXPECT_EQ(Text(handle, IDC_PREVIEW_NAME), "green.png");
  EXPECT_EQ(Text(handle, IDC_PREVIEW_DETAIL1), "12 x 8");
  ASSERT_TRUE(ui::TypeText(handle, IDC_PREVIEW_ANNOTATION, "meadow"));
  EXPECT_EQ(image->ClosePreviewDialog(pic, d), 0);
  EXPECT_EQ(AnnotationOf(url_), String("meadow")) << "the image handler stores edits";
  image->DestroyPreviewDialog(pic, d);
  // A new dialog shows the stored text.
  d = image->CreatePreviewDialog(pic, 0);
  ASSERT_TRUE(d);
  handle = d->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  EXPECT_EQ(Text(handle, IDC_PREVIEW_ANNOTATION), "meadow");
  image->DestroyPreviewDialog(pic, d);

  // Presets drop edits on close.
  NodeRef red = MaterialPreset();
  ASSERT_TRUE(red);
  BrowserPluginInterface* preset = red->GetPluginInterface(0);
  d = preset->CreatePreviewDialog(red, 2);
  ASSERT_TRUE(d);
  handle = d->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  ASSERT_TRUE(ui::TypeText(handle, IDC_PREVIEW_ANNOTATION, "dropped"));
  EXPECT_EQ(preset->ClosePreviewDialog(red, d), 2);
  EXPECT_EQ(AnnotationOf("preset://dialogs.libqz/Folder/Red"), String());
  preset->DestroyPreviewDialog(red, d);
  // Deleting drops edits too.
  d = preset->CreatePreviewDialog(red, 0);
  handle = d->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  ASSERT_TRUE(ui::TypeText(handle, IDC_PREVIEW_ANNOTATION, "gone"));
  preset->DestroyPreviewDialog(red, d);
  EXPECT_EQ(AnnotationOf("preset://dialogs.libqz/Folder/Red"), String());
  // The store button writes at once.
  d = preset->CreatePreviewDialog(red, 0);
  handle = d->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  ASSERT_TRUE(ui::TypeText(handle, IDC_PREVIEW_ANNOTATION, "kept"));
  ASSERT_TRUE(ui::Click(handle, IDC_PREVIEW_ANNOTATION_STORE));
  EXPECT_EQ(AnnotationOf("preset://dialogs.libqz/Folder/Red"), String("kept"));
  preset->DestroyPreviewDialog(red, d);
}

// A picture far larger than the pane is kept small; its own size is what the dialog tells.
TEST_F(PreviewDialogs, ALargePictureIsKeptAtThePanesSizeAndToldAtItsOwn)
{
  NodeRef pic = PictureFile("wide.png", 1200, 300);
  ASSERT_TRUE(pic);
  BrowserPluginInterface* image = pic->GetPluginInterface(0);
  ASSERT_TRUE(image);
  PreviewDialog* d = image->CreatePreviewDialog(pic, 0);
  ASSERT_TRUE(d);
  ASSERT_TRUE(ui::OpenSubDialog(d->GetHandle()));
  EXPECT_EQ(Text(d->GetHandle(), IDC_PREVIEW_DETAIL1), "1200 x 300");
  const BaseBitmap* kept = d->Picture().GetBitmap();
  ASSERT_TRUE(kept);
  EXPECT_LE(kept->GetWidth(), 512);
  EXPECT_EQ(kept->GetWidth(), 4 * kept->GetHeight());
  image->DestroyPreviewDialog(pic, d);
}

TEST_F(PreviewDialogs, WithoutTheUserInterfaceHandlersAnswerNoDialog)
{
  NodeRef red = MaterialPreset();
  ASSERT_TRUE(red);
  BrowserPluginInterface* h = red->GetPluginInterface(0);
  InstallPreviewDialogs(false);
  EXPECT_EQ(h->CreatePreviewDialog(red, 0), nullptr);
  EXPECT_EQ(h->DestroyPreviewDialog(red, nullptr), 0);
  EXPECT_EQ(h->ClosePreviewDialog(red, nullptr), 0);
  NodeRef presets = GetRootNode(ROOT_PRESET);
  ASSERT_TRUE(presets);
  if (BrowserPluginInterface* c = FindPluginByID(HANDLER_ID_CATEGORY))
    EXPECT_EQ(c->CreatePreviewDialog(presets, 0), nullptr);
  InstallPreviewDialogs(true);
  PreviewDialog* d = h->CreatePreviewDialog(red, 0);
  EXPECT_TRUE(d);
  h->DestroyPreviewDialog(red, d);
}

// A preset deleted while (or before) its dialog is made shows empty fields and stores nothing.
TEST_F(PreviewDialogs, ADeletedPresetGivesADialogWithEmptyFields)
{
  NodeRef red = MaterialPreset();
  ASSERT_TRUE(red);
  BrowserPluginInterface* h = red->GetPluginInterface(0);
  PreviewDialog* before = h->CreatePreviewDialog(red, 0);
  ASSERT_TRUE(before);
  ASSERT_TRUE(ui::OpenSubDialog(before->GetHandle()));
  ASSERT_EQ(red->Delete(EDITPHASE_DO, nullptr, nullptr), EDIT_OK);
  ASSERT_TRUE(red->IsDeleted());
  PreviewDialog* d = h->CreatePreviewDialog(red, 1);
  ASSERT_TRUE(d);
  const Int32 handle = d->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  for (Int32 id : {IDC_PREVIEW_NAME, IDC_PREVIEW_KIND, IDC_PREVIEW_SIZE, IDC_PREVIEW_MODIFIED, IDC_PREVIEW_LOCATION,
                   IDC_PREVIEW_ANNOTATION})
    EXPECT_EQ(Text(handle, id), "") << id;
  const ui::Gadget* area = ui::FindGadget(handle, IDC_PREVIEW_PICTURE);
  ASSERT_TRUE(area);
  for (const ui::DrawCall& c : ui::DrawArea(area->attach, 100, 100))
    EXPECT_NE(c.op, ui::DrawOp::Bitmap);
  // An edit typed into the dialog made before the deletion does not bring the item back.
  ASSERT_TRUE(ui::TypeText(before->GetHandle(), IDC_PREVIEW_ANNOTATION, "late"));
  ASSERT_TRUE(ui::Click(before->GetHandle(), IDC_PREVIEW_ANNOTATION_STORE));
  EXPECT_EQ(h->ClosePreviewDialog(red, before), 0);
  EXPECT_EQ(AnnotationOf("preset://dialogs.libqz/Folder/Red"), String("<no item>"));
  EXPECT_EQ(h->DestroyPreviewDialog(red, d), 1);
  EXPECT_EQ(h->DestroyPreviewDialog(red, before), 0);
}

// A link in a catalog shows its target's dialog, which the link's handler also ends; the catalog
// itself shows its base path, and an edit of it is stored with the catalog.
TEST_F(PreviewDialogs, CatalogLinksShowTheirTargetAndCatalogsTheirBasePath)
{
  NodeRef red = MaterialPreset();
  ASSERT_TRUE(red);
  const Filename file = contenttest::UserFolder() + String("Mine.catqz");
  ASSERT_GE(CreateLibrary(BrowserURL(String("catalog://Mine.catqz")), String("Mine"), file), 0);
  GetRootNode(ROOT_CATALOG)->LoadChildren();
  NodeRef catalog = contenttest::Find("catalog://Mine.catqz");
  ASSERT_TRUE(catalog);
  NodeRef link(CatalogNode::AddLink(catalog, red, false).Get());
  ASSERT_TRUE(link);
  BrowserPluginInterface* lh = link->GetPluginInterface(0);
  ASSERT_TRUE(lh);
  PreviewDialog* d = lh->CreatePreviewDialog(link, 2);
  ASSERT_TRUE(d);
  Int32 handle = d->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  EXPECT_EQ(Text(handle, IDC_PREVIEW_NAME), "Red");
  EXPECT_EQ(Text(handle, IDC_PREVIEW_KIND), "Material Preset");
  EXPECT_EQ(lh->ClosePreviewDialog(link, d), 2);
  EXPECT_EQ(lh->DestroyPreviewDialog(link, d), 2);

  BrowserPluginInterface* ch = catalog->GetPluginInterface(0);
  ASSERT_TRUE(ch);
  d = ch->CreatePreviewDialog(catalog, 0);
  ASSERT_TRUE(d);
  handle = d->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  const ui::Gadget* base = ui::FindGadget(handle, IDC_PREVIEW_CATALOG_BASE);
  ASSERT_TRUE(base);
  EXPECT_TRUE(base->enabled);
  ASSERT_TRUE(ui::TypeText(handle, IDC_PREVIEW_CATALOG_BASE, "/srv/content"));
  BrowserDatabase* db = BrowserDatabase::FindLibraryForFile(file);
  ASSERT_TRUE(db);
  String stored;
  db->GetCatalogString(&stored);
  EXPECT_EQ(stored, String("/srv/content"));
  ch->DestroyPreviewDialog(catalog, d);
}

TEST_F(PreviewDialogs, SeveralNodesAreCountedAndDrawnSmall)
{
  EXPECT_EQ(PreviewMultiText(String("%d1 items, %d2 folders; %d1"), 3, 1).ToUtf8(), "3 items, 1 folders; 3");
  EXPECT_EQ(PreviewMultiText(String("none"), 3, 1).ToUtf8(), "none");
  NodeRef red = MaterialPreset();
  ASSERT_TRUE(red);
  NodeRef folder = contenttest::Find("preset://dialogs.libqz/Folder");
  ASSERT_TRUE(folder);
  auto* multi = new PreviewMultiDialog({red, folder, red});
  EXPECT_EQ(multi->SelectedCount(), 3);
  EXPECT_EQ(multi->ContainerCount(), 1);
  const Int32 handle = multi->GetHandle();
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  EXPECT_EQ(Text(handle, IDC_PREVIEWMULTI_TEXT), "3 items selected, 1 of them folders");
  const ui::Gadget* area = ui::FindGadget(handle, IDC_PREVIEWMULTI_PICTURES);
  ASSERT_TRUE(area);
  int cells = 0;
  for (const ui::DrawCall& c : ui::DrawArea(area->attach, 400, 60))
    cells += c.op == ui::DrawOp::Bitmap || c.op == ui::DrawOp::Frame;
  EXPECT_EQ(cells, 3);
  delete multi;
}

// Other plug-ins and the host reach the dialogs through the published table: the handler's entry
// makes one, PreviewDialogCall lays it out, ends it through the node's handler and deletes it.
TEST_F(PreviewDialogs, ThePublishedTableEndsDialogsThroughTheNodesHandler)
{
  NodeRef red = MaterialPreset();
  ASSERT_TRUE(red);
  const OrxBrowserLibrary* lib = GetBrowserLibrary();
  ASSERT_TRUE(lib);
  auto* node = reinterpret_cast<OrxBrowserNode*>(red.Get());
  OrxBrowserHandler* h = lib->content->GetPluginInterface(node, 0);
  ASSERT_TRUE(h);
  OrxBrowserPreviewDialog* d = lib->handler->CreatePreviewDialog(h, node, PREVIEWPAGE_EXTRA + 1);
  ASSERT_TRUE(d);
  const Int32 handle = lib->main->PreviewDialogCall(d, nullptr, BROWSER_PREVIEWDIALOG_HANDLE, 0);
  ASSERT_NE(handle, 0);
  ASSERT_TRUE(ui::OpenSubDialog(handle));
  EXPECT_EQ(Text(handle, IDC_PREVIEW_NAME), "Red");
  EXPECT_EQ(lib->main->PreviewDialogCall(d, nullptr, BROWSER_PREVIEWDIALOG_PAGE, 0), PREVIEWPAGE_EXTRA + 1);
  EXPECT_EQ(lib->main->PreviewDialogCall(d, nullptr, BROWSER_PREVIEWDIALOG_CLOSE, 0), 0) << "no node, no handler";
  EXPECT_EQ(lib->main->PreviewDialogCall(d, node, BROWSER_PREVIEWDIALOG_CLOSE, 0), PREVIEWPAGE_EXTRA + 1);
  EXPECT_TRUE(DialogExists(handle));
  EXPECT_EQ(lib->main->PreviewDialogCall(d, node, BROWSER_PREVIEWDIALOG_DELETE, 0), PREVIEWPAGE_EXTRA + 1);
  EXPECT_FALSE(DialogExists(handle));
  EXPECT_EQ(lib->main->PreviewDialogCall(nullptr, node, BROWSER_PREVIEWDIALOG_DELETE, 0), 0);

  OrxPreviewMultiRequest r{};
  EXPECT_EQ(lib->main->PreviewDialogCall(nullptr, &r, BROWSER_PREVIEWDIALOG_MULTI, 0), 0) << "no nodes";
  OrxBrowserNode* nodes[] = {node, node};
  r.nodes = nodes;
  r.count = 2;
  ASSERT_EQ(lib->main->PreviewDialogCall(nullptr, &r, BROWSER_PREVIEWDIALOG_MULTI, 0), 1);
  ASSERT_TRUE(r.dialog && r.handle);
  ASSERT_TRUE(ui::OpenSubDialog(r.handle));
  EXPECT_EQ(Text(r.handle, IDC_PREVIEWMULTI_TEXT), "2 items selected, 0 of them folders");
  EXPECT_EQ(lib->main->PreviewDialogCall(r.dialog, nullptr, BROWSER_PREVIEWDIALOG_MULTI_FREE, 0), 1);
  EXPECT_FALSE(DialogExists(r.handle));
}

} // namespace
