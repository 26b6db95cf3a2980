// The preset type handlers: one family that differs in the type id, the resource strings, and what
// applying a preset puts into the host's active document.
#pragma once

#include "contenttree/browserinterface.h"
#include "orx/container.h"

class BaseDocument;
class BaseList2D;

// Apply flags: bit 30 hands the element to the caller instead of inserting it.
constexpr Int32 APPLY_TAKE_ELEMENT = 1 << 30;
// The merge filter of object presets: objects, materials and the rest.
constexpr Int32 PRESET_OBJECT_MERGE_FILTER = 59;

struct PresetTypeTable
{
  Int32 id;
  Int32 nameString, typeString; // slot 1, slots 3 and 12 (0: none)
};

class PresetTypePlugin : public BrowserPluginInterface
{
public:
  explicit PresetTypePlugin(const PresetTypeTable& table) : t_(table) {}
  Int32 GetPluginID(String* name) override;
  Bool Identify(BrowserURL& url, const void* header, Int32 headerSize, Int32 reserved) override;
  String* GetTypeName(String* out, NodeRef node, BrowserURL* url, Int32 mode) override;
  // Material and shader presets: the stored preview (quality 4); material presets draw a
  // shaded ball of the material's colour when none is stored. Object thumbnails wait for the
  // preview renderer; the other types give none.
  void* OpenPreviewData(Int32 flags, NodeRef node, BrowserURL* url, Int32* qualities) override;
  void FreePreviewData(void* data) override;
  BaseBitmap* GetPreviewBitmap(void* data, Int32 width, Int32 height, Int32 flags) override;
  BaseBitmap* GetIcon(NodeRef node, BrowserURL* url, Int32 size) override;
  PreviewDialog* CreatePreviewDialog(NodeRef node, Int32 page) override;
  // Applies the data of the node's item (or of the item at url) to the active document.
  Bool Execute(NodeRef node, BrowserURL* url, Int32 flags) override;
  String* GetTypeNames(Int32 mode, Int32* count) override;

private:
  const PresetTypeTable& t_;
};

// Generic presets: files kept in a library. Applying one writes its data to a file of its own and
// hands that file to the handler of its kind.
class BrowserFilePresetPlugin : public PresetTypePlugin
{
public:
  BrowserFilePresetPlugin();
  Bool Execute(NodeRef node, BrowserURL* url, Int32 flags) override;
};

// Default settings shown in the browser: a member of the family that applies nothing.
class BrowserDefaultsPlugin : public PresetTypePlugin
{
public:
  using PresetTypePlugin::PresetTypePlugin;
  Bool Execute(NodeRef node, BrowserURL* url, Int32 flags) override;
};

// Writes data as a file named name (made valid) into a new sub-folder of the temporary folder, by
// a temporary name and a rename, so that a reader of an earlier file is never written over.
// False, with nothing left behind, when it cannot be written.
Bool WriteApplyFile(const String& name, const void* data, Int64 size, Filename* out);

// A ball of the material in the preset data, lit from the upper left, on a grey ground: a new
// 24-bit bitmap of the size, the caller's. Null without a material.
BaseBitmap* DrawMaterialBall(const void* data, Int64 size, Int32 width, Int32 height);

// Each handler of the family, made on the heap and owned by the registry, in the order of the ids.
// A handler whose id is registered already is not registered twice.
void RegisterPresetTypePlugins();

// Applies a preset's data (a native document image) of a preset type to the active document. With
// APPLY_TAKE_ELEMENT the element is taken out of the preset document and given to the caller (who
// owns it) instead. False, with the document unchanged, when there is no active document, no data,
// damaged data or no element of the type.
Bool ApplyPresetData(Int32 type, const void* data, Int64 size, Int32 flags, BaseList2D** taken);

// The element a preset's data holds, taken out of its document and given to the caller, without
// an active document. False when there is none.
Bool TakePresetElement(Int32 type, const void* data, Int64 size, BaseList2D** taken);

// The preset type for a host element (0 when it cannot become a preset), in the fixed test order.
Int32 PresetTypeOfElement(const BaseList2D* e);
// The data of a preset made from a host element: a new document holding a copy of it, saved in the
// native format. *type gets the preset type. False for an element that cannot become a preset.
Bool MakePresetData(BaseList2D* e, ByteArray* out, Int32* type);
