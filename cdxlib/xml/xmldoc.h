// XML document access: a thin layer over the XML DOM (libxml2) used by the
// configuration loaders, writers and schema generators.
//
// Error model: one process-wide sticky error code (HRESULT style, negative
// = failed) with a message, a source (what is processed: a device, a
// logger, a file) and a context (where in it). Once a call has failed,
// every later call of the layer returns its failure value (null or -1)
// without touching the document, so a loader can run a long sequence of
// calls and test xml_GetError() once at the end. xml_CreateDocument resets
// the code, so every load or write starts clean. The state is unguarded:
// one document operation at a time in the process.
//
// Texts: the layer takes and returns single-byte Windows-1252 texts (the
// records' code page); the documents are UTF-8. Characters that have no
// Windows-1252 form read back as '?'. Texts returned by the get functions
// are malloc'ed; the caller frees them with free().
//
// Nodes: handles are not owned by the caller. A node that is created and
// never attached, or that xml_RemoveChild takes out, stays with its
// document and is freed by xml_FreeDocument; nodes stay valid until then.
//
// Loading drops whitespace-only text between elements (an element whose
// only content is blanks keeps it), so load, xml_Indent, save gives the
// same bytes however often it is repeated. Saving writes a temporary file
// of this process beside the target ("<path>.<pid>.XXXXXX.tmp", made with
// O_EXCL, platform/files.h), flushes it to disk and renames it into place:
// a crash leaves the old file or the new one, never a torn one. Each save
// first removes what processes that no longer run left beside the same
// file, so a save killed in the middle leaves nothing behind for good.
#pragma once
#include <cstddef>
#include <cstdint>

typedef struct _xmlDoc XmlDocument;
typedef struct _xmlNode XmlNode;

// Codes of the layer (HRESULT values).
constexpr int32_t kXmlErrFileNotFound = static_cast<int32_t>(0x800C0006u);  // load: the file is missing
constexpr int32_t kXmlErrAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kXmlErrOutOfMemory = static_cast<int32_t>(0x8007000Eu);
constexpr int32_t kXmlErrInvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t kXmlErrFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kXmlErrFileTooLarge = static_cast<int32_t>(0x800700DFu);  // load: above xml_MaxFileSize()
// A parse error: this base or'ed with the parser's error number.
constexpr int32_t kXmlErrParseBase = static_cast<int32_t>(0xC00CE000u);

// The placeholder appended in place of a text that cannot stand in XML.
constexpr const char* kXmlIllegalText = "**** Illegal Characters in output stream ****";

// ---------------------------------------------------------------- error state
int32_t xml_GetError();
// Sets the code to 0; the message stays.
void xml_ClearError();
// Sets the code; with a text, the message becomes its first 255 characters.
void xml_SetError(int32_t code, const char* text);
// xml_SetError(kXmlErrFail, text) with the text formatted as printf does.
void xml_SetErrorF(const char* format, ...) __attribute__((format(printf, 1, 2)));
void xml_SetSource(const char* text);   // first 255 characters
void xml_SetContext(const char* text);  // first 255 characters
// "source context - message" in a static buffer.
const char* xml_GetErrorText();
// The message alone.
const char* xml_GetErrorMessage();
// The count of elements opened by xml_OpenElement and not yet closed.
int xml_GetIndentLevel();

// Writes xml_GetErrorText() to the error log (server "." = this machine)
// and sets errno and the last error to 1465. Returns -1.
int xml_ReportError();

// ---------------------------------------------------------------- texts
// Windows-1252 to UTF-8 in the layer's first (second) reusable buffer; the
// buffers start at 1024 characters and grow by 1024 until the text fits.
// Null for a null text. The result stays valid until the next call on the
// same buffer.
const char* BstrFromChar(const char* text);
const char* BstrFromCharAlt(const char* text);
// Characters the buffer of BstrFromChar holds now (tests).
size_t xml_BstrCapacity();

// Windows-1252 <-> UTF-8 of a counted text (malloc'ed, terminated; the
// length without terminator in *outLength when given). UTF-8 that does not
// decode, or characters without a Windows-1252 form, become '?'.
char* xml_Utf8FromCp1252(const char* text, size_t length, size_t* outLength);
char* xml_Cp1252FromUtf8(const char* text, size_t length, size_t* outLength);

// ---------------------------------------------------------------- documents
// A new empty document; resets the error code, the level and the buffers.
XmlDocument* xml_CreateDocument();
// Frees the document with every node it created (null is ignored).
void xml_FreeDocument(XmlDocument* doc);
// 0 loaded; 1 the file is missing (code kXmlErrFileNotFound); -1 failed.
// The document's former content is dropped. A file above xml_MaxFileSize()
// fails with kXmlErrFileTooLarge and "Xml Load Failed (%s), File Too
// Large ...", without being read (a stream that passes the limit while it is
// read is cut there): a parsed document takes many times its file's size.
int xml_Load(XmlDocument* doc, const char* path);
// xml_Load for files of many like elements (a channel file of thousands of
// channels), which it never holds whole: each child element of the root
// element goes to handler(context, root, element) as soon as its end tag
// is read (whitespace dropped as xml_Load drops it) and is freed after,
// with the root's other content, unless the handler returns true: a kept
// element is detached and stays with doc until xml_FreeDocument. Once the
// error code is set, no element is handed over, but the file is still
// parsed to its end, so a file that is not well-formed fails with the
// parser's error (replacing any other) as in xml_Load. Afterwards doc
// holds the rest of the file: the root, without the elements handed over.
// Handed and kept elements are read, never changed (their short texts
// are held inside their nodes). Results as xml_Load.
typedef bool (*XmlChildHandler)(void* context, XmlNode* root, XmlNode* element);
int xml_LoadStreaming(XmlDocument* doc, const char* path, XmlChildHandler handler, void* context);
// The largest file xml_Load reads: the DWORD "MaxXmlFileSizeMB" (MiB) under
// HKEY_LOCAL_MACHINE "SOFTWARE\Quillomatic\Coordinatrix", 64 MiB when it is
// missing or 0.
uint64_t xml_MaxFileSize();
// 0 saved, else -1 (see the messages in xmldoc.cpp). A file that exists
// keeps its permissions, a new one gets 0666 less the umask.
int xml_Save(XmlDocument* doc, const char* path);
// The document element; null with "No Root element found".
XmlNode* xml_GetRoot(XmlDocument* doc);

// ---------------------------------------------------------------- building
XmlNode* xml_CreateElement(XmlDocument* doc, const char* name);
// Creates, appends to parent (the document itself when parent is null) and
// raises the level.
XmlNode* xml_OpenElement(XmlDocument* doc, const char* name, XmlNode* parent);
// Lowers the level: 0; 1 without effect when an argument is missing.
int xml_CloseElement(XmlDocument* doc, XmlNode* element);
// A new element that replaces parent's child element of that name, or is
// appended when there is none.
XmlNode* xml_PutElement(XmlDocument* doc, const char* name, XmlNode* parent);
int xml_AppendChildToParent(XmlNode* node, XmlNode* parent);
// Inserts node before reference (in reference's parent); always 0, a
// failure is recorded in the error state.
int xml_InsertBefore(XmlNode* node, XmlNode* reference);
int xml_InsertTextBefore(XmlDocument* doc, const char* text, XmlNode* reference);
// Appends a text; a text with characters XML cannot hold gets the
// placeholder kXmlIllegalText in its place.
int xml_CreateAndAddTextNode(XmlDocument* doc, const char* text, XmlNode* parent);
int xml_CreateAndAddAttributeNode(XmlDocument* doc, const char* name, const char* value, XmlNode* element);
int xml_CreateAndAddCommentNode(XmlDocument* doc, const char* text);
int xml_CreateAndAddPINode(XmlDocument* doc, const char* target, const char* data);
int xml_CreateAndAddCDATANode(XmlDocument* doc, const char* text, XmlNode* parent);
// Lays the subtree out: a line break and depth tabs before the node (depth
// > 0), children one tab deeper, and the closing tag of an element with
// element children on a line of its own.
int xml_Indent(XmlDocument* doc, XmlNode* node, int depth);

// ---------------------------------------------------------------- reading
// The first child element of that (qualified) name; null when none (no
// error).
XmlNode* xml_FindByName(XmlNode* node, const char* name);
// The first child element `name` whose attribute has the value; a numeric
// value is compared as a number ("1" matches id="1.0").
XmlNode* xml_FindByAttribute(XmlNode* node, const char* name, const char* attribute, const char* value);
XmlNode* xml_FirstChild(XmlNode* node);
XmlNode* xml_LastChild(XmlNode* node);
XmlNode* xml_NextSibling(XmlNode* node);
XmlNode* xml_PreviousSibling(XmlNode* node);
char* xml_getName(XmlNode* node);
// The first text child's text; "" for an element without one.
char* xml_getText(XmlNode* element);
char* xml_getAttribute(XmlNode* element, const char* name);
// Takes the child out of its parent (it stays with the document).
int xml_RemoveChild(XmlNode* parent, XmlNode* child);

struct XmlNamePair {
  char* name;  // malloc'ed
  char* text;  // malloc'ed
};
// Up to count name/text pairs of the element's children, each of which must
// be an element: the number collected, or -1.
int xml_IterateChan(XmlNode* element, XmlNamePair* pairs, int count);
// Whether the node is an element.
bool xml_IsElement(XmlNode* node);

// For loaders that read many elements: no allocation for the caller.
// Whether the node is an element of that qualified name.
bool xml_IsElementNamed(XmlNode* node, const char* name);
// xml_getText's text in a buffer of the layer's, valid until the next call
// (per thread); null as xml_getText.
const char* xml_TextView(XmlNode* element);
