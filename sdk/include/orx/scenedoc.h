// Scene documents of the host: element kinds, the settings ids of their containers, and the codes
// of the document family of the service table.
#pragma once

#include "orx/types.h"

// Element kinds (host type ids).
constexpr Int32 Obase = 5155;            // object
constexpr Int32 Onull = 5140;            // a new, empty object
constexpr Int32 Tbase = 5694;            // tag
constexpr Int32 Tfixed = 5695;           // a tag that cannot become a preset
constexpr Int32 Tnodes = 5698;           // a tag that holds a node setup (one per object)
constexpr Int32 Mbase = 5702;            // material
constexpr Int32 Mshaderholder = 5703;    // material that holds a shader
constexpr Int32 Xbase = 5707;            // shader
constexpr Int32 VPbase = 5709;           // post effect
constexpr Int32 RDbase = 110304;         // render settings

// Document settings (sub-containers of the document's settings).
constexpr Int32 DOCUMENT_SETTINGS_GENERAL = 2101;
constexpr Int32 DOCUMENT_SETTINGS_DOCUMENT = 2102;
constexpr Int32 DOCUMENT_SETTINGS_MODELING = 2117;

// Settings ids of element containers.
constexpr Int32 OBJECT_MATRIX = 900;     // 12 Float entries 900..911: offset, then the x, y, z axes
constexpr Int32 OBJECT_POINTS = 920;     // Bytes: big-endian doubles, x y z per point
constexpr Int32 OBJECT_POLYGONS = 921;   // Bytes: big-endian Int32, four point indices per polygon (d == c: triangle)
constexpr Int32 MATERIAL_COLOR = 1000;   // Float entries 1000..1002: red, green, blue in 0..1
constexpr Int32 MATERIAL_REFLECTANCE = 1010; // Float 0..1
constexpr Int32 MATERIAL_TEXTURE = 1020; // Filename of a texture picture
constexpr Int32 SHADER_LINK = 1030;      // of a shader-holding material: Int32 1 when its shader is its colour
constexpr Int32 POSTEFFECT_ONEPERRENDER = 1040; // Bool: one effect of this kind per render settings
// A node setup: its nodes, one sub-container per node keyed by the node's id (1 and up), and its
// links, one sub-container per link keyed 1 and up.
constexpr Int32 NODESETUP_NODES = 1100;
constexpr Int32 NODESETUP_LINKS = 1101;
constexpr Int32 NODE_KIND = 1;           // Int32, what the node computes
constexpr Int32 NODE_NAME = 2;           // String
constexpr Int32 NODE_POSITION = 3;       // Float entries 3 and 4: x and y in the editor
constexpr Int32 NODE_PARAMETERS = 100;   // the node's own settings from here on
constexpr Int32 LINK_FROM = 1, LINK_FROM_PORT = 2, LINK_TO = 3, LINK_TO_PORT = 4; // Int32 node ids and ports

// The native scene format.
constexpr Int32 FORMAT_NATIVE = 1001026;
constexpr Int32 SCENE_FORMAT_VERSION = 1;

// Lists of a document.
constexpr Int32 SCENELIST_OBJECTS = 0, SCENELIST_MATERIALS = 1, SCENELIST_RENDER = 2;
// Active elements of a document.
constexpr Int32 ACTIVE_OBJECT = 0, ACTIVE_MATERIAL = 1, ACTIVE_TAG = 2, ACTIVE_RENDER = 3;

// Undo entry kinds: NEW after an insertion, DELETE before a removal.
constexpr Int32 UNDOTYPE_NEW = 44;
constexpr Int32 UNDOTYPE_DELETE = 45;

// Merge filter: which parts of the merged document are added.
constexpr Int32 SCENEFILTER_OBJECTS = 1;
constexpr Int32 SCENEFILTER_MATERIALS = 2;
constexpr Int32 SCENEFILTER_DOCSETTINGS = 4;  // replaces the document's settings
constexpr Int32 SCENEFILTER_RENDER = 8;
constexpr Int32 SCENEFILTER_MERGE = 16;       // add to the document (always so here)
constexpr Int32 SCENEFILTER_ACTIVATE = 32;    // the first merged object and material become active

// Previews: the document's first material as a ball, instead of its objects.
constexpr Int32 SCENEPREVIEW_MATERIAL = 1;

// Calls into the host's document family. Each answers null or false when the host has no such
// family (an older host) or the call fails.
class BaseDocument;
class BaseList2D;
class BaseContainer;
class String;
class Filename;

BaseDocument* GetActiveDocument();
BaseDocument* LoadDocumentFromMemory(const void* data, Int64 size, Int32 flags);
// *out is host memory, the caller's (OrxMemFree).
Bool SaveDocumentToMemory(const BaseDocument* doc, void** out, Int64* size);
BaseDocument* NewDocument();
void FreeDocument(BaseDocument* doc);
BaseList2D* DocFirst(const BaseDocument* doc, Int32 list);
BaseList2D* ElemNext(const BaseList2D* e);
BaseList2D* ElemDown(const BaseList2D* e);
BaseList2D* ElemUp(const BaseList2D* e);
Int32 ElemKind(const BaseList2D* e);
BaseContainer* ElemData(BaseList2D* e);
void ElemSetName(BaseList2D* e, const String& name);
BaseDocument* ElemDocument(const BaseList2D* e);
BaseList2D* ElemNew(Int32 kind);
BaseList2D* ElemClone(const BaseList2D* e);
void ElemFree(BaseList2D* e);
Bool ElemRemove(BaseList2D* e);
Bool DocInsert(BaseDocument* doc, BaseList2D* e, BaseList2D* parent, BaseList2D* pred);
BaseList2D* DocGetActive(const BaseDocument* doc, Int32 which);
void DocSetActive(BaseDocument* doc, Int32 which, BaseList2D* e);
Bool DocStartUndo(BaseDocument* doc);
Bool DocAddUndo(BaseDocument* doc, Int32 kind, BaseList2D* e);
Bool DocEndUndo(BaseDocument* doc);
Bool DocMergeMemory(BaseDocument* doc, const void* data, Int64 size, Int32 filter);
void DocChanged(BaseDocument* doc);
BaseContainer* DocSettings(BaseDocument* doc);
// A preview of element, or of doc when element is null (see SCENEPREVIEW_), from the host's
// renderer: a new 24-bit bitmap, the caller's. Null, with the reason in *reason when given, when
// there is nothing to show, the renderer cannot start or the host has none. Any thread.
class BaseBitmap;
BaseBitmap* RenderDocumentPreview(const BaseDocument* doc, const BaseList2D* element, Int32 width, Int32 height,
                                  Int32 flags, String* reason = nullptr);
