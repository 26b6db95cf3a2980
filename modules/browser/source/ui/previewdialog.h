// The preview dialogs: the pane beside the content list that shows one selected node (its picture
// and its information), made by the node's handler, and the summary of several selected nodes.
// Main thread only, like every dialog.
#pragma once

#include <vector>

#include "contenttree/browserinterface.h"
#include "orx/dialogs.h"
#include "orx/memory.h"

class BrowserDatabase;

// Gadget ids of the preview dialog.
constexpr Int32 IDC_PREVIEW_GROUP = 10077;
constexpr Int32 IDC_PREVIEW_PICTURE_GROUP = 10078;
constexpr Int32 IDC_PREVIEW_PICTURE = 10079;
constexpr Int32 IDC_PREVIEW_INFO = 10085;
constexpr Int32 IDC_PREVIEW_NAME = 10087;
constexpr Int32 IDC_PREVIEW_KIND = 10088;
constexpr Int32 IDC_PREVIEW_SIZE_LABEL = 10091, IDC_PREVIEW_SIZE = 10092;
constexpr Int32 IDC_PREVIEW_MODIFIED_LABEL = 10093, IDC_PREVIEW_MODIFIED = 10094;
constexpr Int32 IDC_PREVIEW_CREATED_LABEL = 10096, IDC_PREVIEW_CREATED = 10097;
constexpr Int32 IDC_PREVIEW_LOCATION_LABEL = 10098, IDC_PREVIEW_LOCATION = 10099;
constexpr Int32 IDC_PREVIEW_FORMAT_LABEL = 10100, IDC_PREVIEW_FORMAT = 10101;
constexpr Int32 IDC_PREVIEW_DETAIL1 = 10102, IDC_PREVIEW_DETAIL2 = 10103, IDC_PREVIEW_DETAIL_LABEL = 10104;
constexpr Int32 IDC_PREVIEW_ANNOTATION_GROUP = 10113;
constexpr Int32 IDC_PREVIEW_ANNOTATION = 10114;       // the text, editable
constexpr Int32 IDC_PREVIEW_ANNOTATION_STATE = 10115; // "read-only" when it cannot be stored
constexpr Int32 IDC_PREVIEW_ANNOTATION_STORE = 10116;
constexpr Int32 IDC_PREVIEW_ANNOTATION_REVERT = 10117;
constexpr Int32 IDC_PREVIEW_CATALOG_BASE = 10156;
constexpr Int32 IDC_PREVIEW_CATALOG_CHOOSE = 10157;
constexpr Int32 IDC_PREVIEWMULTI_TEXT = 10120;
constexpr Int32 IDC_PREVIEWMULTI_PICTURES = 10121;

// Resource strings.
constexpr Int32 IDS_PREVIEW_PICTURE = 10254, IDS_PREVIEW_INFO = 10255, IDS_PREVIEW_ANNOTATION = 10256;
constexpr Int32 IDS_PREVIEWMULTI = 10257;
constexpr Int32 IDS_PREVIEW_SIZE = 10259, IDS_PREVIEW_MODIFIED = 10260, IDS_PREVIEW_CREATED = 10261;
constexpr Int32 IDS_PREVIEW_LOCATION = 10262, IDS_PREVIEW_FORMAT = 10263, IDS_PREVIEW_DETAILS = 10264;
constexpr Int32 IDS_PREVIEW_STORE = 10265, IDS_PREVIEW_REVERT = 10266, IDS_PREVIEW_READONLY = 10267;
constexpr Int32 IDS_PREVIEW_CATALOG_BASE = 10282;

// Draws a picture scaled to fit and centred, or the handler's icon when there is none.
class PreviewBitmap : public GeUserArea
{
public:
  ORX_HOST_ALLOCATED
  PreviewBitmap() = default;
  ~PreviewBitmap() override;
  // Takes the bitmap (null: none).
  void SetBitmap(BaseBitmap* bitmap);
  const BaseBitmap* GetBitmap() const { return bitmap_; }
  void SetIcon(Int32 icon) { icon_ = icon; }
  void DrawMsg(Int32 x1, Int32 y1, Int32 x2, Int32 y2) override;
  Bool GetMinSize(Int32& w, Int32& h) override;

private:
  BaseBitmap* bitmap_ = nullptr;
  Int32 icon_ = 0;
};

// What the browser window holds of a preview pane: the node shown and the page it is open at.
class IPreviewDialog : public SubDialog
{
public:
  ORX_HOST_ALLOCATED
  ~IPreviewDialog() override = default;
  // 0, 1, 2 or PREVIEWPAGE_EXTRA + n.
  virtual Int32 GetPage() const = 0;
  virtual void SetPage(Int32 page) = 0;
  // Ends the dialog: stores or drops its edits and lets go of the node. Answers the page.
  virtual Int32 End(Bool storeEdits) = 0;
  // The node shown; null once ended.
  virtual NodeRef GetNode() const = 0;
};

class PreviewDialog : public IPreviewDialog
{
public:
  PreviewDialog(NodeRef node, const PreviewDialogRequest& request);
  ~PreviewDialog() override;

  Int32 GetPage() const override { return page_; }
  void SetPage(Int32 page) override;
  Int32 End(Bool storeEdits) override;
  NodeRef GetNode() const override { return node_; }

  // Reads the node's fields and picture; called once by the factory before the dialog is shown.
  void Load();
  Bool CreateLayout() override;
  Bool InitValues() override;
  Bool Command(Int32 id) override;

  // The texts shown, by gadget id (empty when the node had none or is gone).
  String Field(Int32 id) const;
  String Annotation() const { return annotation_; }
  Bool HasAnnotationGroup() const { return (request_.flags & PREVIEWDIALOG_ANNOTATION) != 0; }
  PreviewBitmap& Picture() { return picture_; }
  Int32 Kind() const { return request_.kind; }
  Bool Ended() const { return ended_; }

protected:
  // What the kinds add: the two detail values (gadgets 10102 and 10103).
  virtual void Details(String* first, String* second);
  // Whether the picture comes from the handler's preview data (the icon is drawn otherwise).
  virtual Bool WantsPreview() const { return true; }
  // Extra gadgets below the information group.
  virtual void LayoutExtra() {}
  virtual Bool CommandExtra(Int32 id) { return false; }
  void SetField(Int32 id, const String& text);

  NodeRef node_;
  PreviewDialogRequest request_;
  Int32 page_ = 0;
  Bool ended_ = false;
  Bool laidOut_ = false;
  BrowserURL url_;
  Bool hasURL_ = false;

private:
  Bool StoreAnnotation();
  struct FieldText
  {
    Int32 id;
    String text;
  };
  std::vector<FieldText> fields_;
  String annotation_;     // as read from the node's item
  Bool annotationEditable_ = false;
  PreviewBitmap picture_;
};

// The kinds. Each adds little: the picture's size where there is a picture, and the catalog's base
// path for catalog files.
class ImagePreviewDialog : public PreviewDialog
{
public:
  using PreviewDialog::PreviewDialog;

protected:
  void Details(String* first, String* second) override;
};
class MoviePreviewDialog : public ImagePreviewDialog
{
public:
  using ImagePreviewDialog::ImagePreviewDialog;
};
// Kinds whose handlers give no preview data: the icon stands for them.
class SoundPreviewDialog : public PreviewDialog
{
public:
  using PreviewDialog::PreviewDialog;

protected:
  Bool WantsPreview() const override { return false; }
};
class ScriptPreviewDialog : public SoundPreviewDialog
{
public:
  using SoundPreviewDialog::SoundPreviewDialog;
};
class KorvexPreviewDialog : public SoundPreviewDialog
{
public:
  using SoundPreviewDialog::SoundPreviewDialog;
};
class LayoutFilePreviewDialog : public SoundPreviewDialog
{
public:
  using SoundPreviewDialog::SoundPreviewDialog;
};
// Presets of the library: the library's name and file.
class PresetPreviewDialog : public PreviewDialog
{
public:
  using PreviewDialog::PreviewDialog;

protected:
  void Details(String* first, String* second) override;
};
class RenderDataPreviewDialog : public PresetPreviewDialog
{
public:
  using PresetPreviewDialog::PresetPreviewDialog;

protected:
  Bool WantsPreview() const override { return false; }
};
class PresetLibraryPreviewDialog : public PresetPreviewDialog
{
public:
  using PresetPreviewDialog::PresetPreviewDialog;
};
// A catalog file: its base path, which editing or choosing stores with the catalog.
class CatalogPreviewDialog : public PreviewDialog
{
public:
  using PreviewDialog::PreviewDialog;
  String BasePath() const { return base_; }

protected:
  Bool WantsPreview() const override { return false; }
  void LayoutExtra() override;
  Bool CommandExtra(Int32 id) override;

private:
  BrowserDatabase* Catalog();
  Bool StoreBasePath(const String& path);
  String base_;
};

// The summary of several selected nodes: string 10257 with "%d1" the number of nodes and "%d2" the
// number of them that hold other content (folders, libraries, catalogs), and small pictures.
class PreviewMultiUserArea : public GeUserArea
{
public:
  ORX_HOST_ALLOCATED
  ~PreviewMultiUserArea() override;
  void SetNodes(const std::vector<NodeRef>& nodes);
  void DrawMsg(Int32 x1, Int32 y1, Int32 x2, Int32 y2) override;
  Bool GetMinSize(Int32& w, Int32& h) override;
  Int32 PictureCount() const { return Int32(pictures_.size()); }

private:
  void Clear();
  std::vector<BaseBitmap*> pictures_; // null where a node has none
};

class PreviewMultiDialog : public SubDialog
{
public:
  ORX_HOST_ALLOCATED
  explicit PreviewMultiDialog(std::vector<NodeRef> nodes);
  Bool CreateLayout() override;
  Bool InitValues() override;
  Int32 SelectedCount() const { return Int32(nodes_.size()); }
  Int32 ContainerCount() const;
  String Text() const;

private:
  std::vector<NodeRef> nodes_;
  PreviewMultiUserArea pictures_;
};

// The text of string 10257 for the two counts.
String PreviewMultiText(const String& pattern, Int32 first, Int32 second);

// Puts the factory and the end operations in (done when the module is loaded) or takes them out.
void InstallPreviewDialogs(Bool on);
// The dialog a factory call made, by the pointer handlers pass around.
inline IPreviewDialog* AsPreviewDialog(PreviewDialog* dialog) { return dialog; }
