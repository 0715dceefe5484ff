#include "cdxlib/xml/xmldoc.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <iconv.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include "cdxlib/sys/registry.h"
#include "cdxlib/sys/eventlog.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

// ---------------------------------------------------------------- state

struct XmlState {
  int32_t code = 0;
  char message[256] = {};
  char source[256] = {};
  char context[256] = {};
  char errorText[800] = {};
  int level = 0;
  std::vector<char> bstr[3];
};
XmlState g;

void Copy255(char* dst, const char* src) {
  if (!src) src = "";
  snprintf(dst, 256, "%.255s", src);
}

void Fail(int32_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Fail(int32_t code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(g.message, sizeof g.message, format, args);
  va_end(args);
  g.code = code;
}

// The parser and serialiser report through the error state only, never on
// stderr.
void SilentErrors(void*, xmlErrorPtr) {}
void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
  // The handler is per thread in libxml2.
  thread_local bool set = false;
  if (!set) {
    xmlSetStructuredErrorFunc(nullptr, SilentErrors);
    set = true;
  }
}

// Nodes that belong to a document without being attached to it: created
// and never attached, or removed. Freed with the document.
struct DocExtra {
  std::vector<xmlNodePtr> loose;
};
DocExtra* Extra(xmlDocPtr doc) {
  if (!doc) return nullptr;
  if (!doc->_private) doc->_private = new DocExtra;
  return static_cast<DocExtra*>(doc->_private);
}
void KeepLoose(xmlNodePtr node) {
  if (node && node->doc) Extra(node->doc)->loose.push_back(node);
}

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }
const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }

// ---------------------------------------------------------------- code page

// Windows-1252 bytes 0x80..0x9F; the five unassigned ones map to the same
// code point, as the Windows conversion does, so every byte round-trips.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsUnassignedCp1252(unsigned b) { return b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D; }

void PutUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// One iconv descriptor per direction and thread.
struct Iconv {
  iconv_t cd;
  Iconv(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~Iconv() {
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

// Converts from Windows-1252 with iconv, a run of bytes at a time; the
// unassigned bytes (which iconv refuses) are written as their own code
// points. Without iconv the table gives the same result.
void AppendRun(std::string& out, const char* text, size_t length) {
  thread_local Iconv conv("UTF-8", "WINDOWS-1252");
  char* src = const_cast<char*>(text);
  size_t left = length;
  if (conv.ok()) {
    iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
    while (left > 0) {
      char buf[4096];
      char* dst = buf;
      size_t room = sizeof buf;
      const size_t rc = iconv(conv.cd, &src, &left, &dst, &room);
      out.append(buf, sizeof buf - room);
      if (rc == static_cast<size_t>(-1) && errno != E2BIG) break;
    }
  }
  for (; left > 0; ++src, --left) {
    const unsigned b = static_cast<unsigned char>(*src);
    PutUtf8(out, b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b);
  }
}

// Whether a text is plain ASCII, which both code pages write alike (the
// conversions skip iconv for it: most texts of the configuration files).
bool IsAscii(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  return true;
}

std::string ToUtf8(const char* text, size_t length) {
  if (IsAscii(text, length)) return std::string(text, length);
  std::string out;
  out.reserve(length + length / 4 + 8);
  size_t i = 0;
  while (i < length) {
    size_t j = i;
    while (j < length && !IsUnassignedCp1252(static_cast<unsigned char>(text[j]))) ++j;
    if (j > i) AppendRun(out, text + i, j - i);
    if (j < length) PutUtf8(out, static_cast<unsigned char>(text[j]));
    i = j + 1;
  }
  return out;
}

// Length of the UTF-8 sequence at p (1 for a byte that does not start a
// valid one) and its code point.
size_t DecodeUtf8(const unsigned char* p, size_t left, uint32_t* cp) {
  const unsigned b = p[0];
  size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || n > left) return *cp = 0xFFFD, 1;
  uint32_t v = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
  for (size_t k = 1; k < n; ++k) {
    if ((p[k] & 0xC0) != 0x80) return *cp = 0xFFFD, 1;
    v = (v << 6) | (p[k] & 0x3F);
  }
  *cp = v;
  return n;
}

int Cp1252Of(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int k = 0; k < 32; ++k)
    if (kCp1252High[k] == cp) return 0x80 + k;
  return -1;
}

// To Windows-1252 with iconv; characters it cannot take become '?' (as the
// Windows conversion does), the unassigned bytes come back from their code
// points.
std::string ToCp1252(const char* text, size_t length) {
  if (IsAscii(text, length)) return std::string(text, length);
  thread_local Iconv conv("WINDOWS-1252", "UTF-8");
  std::string out;
  out.reserve(length);
  char* src = const_cast<char*>(text);
  size_t left = length;
  if (conv.ok()) iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
  while (left > 0) {
    if (conv.ok()) {
      char buf[4096];
      char* dst = buf;
      size_t room = sizeof buf;
      const size_t rc = iconv(conv.cd, &src, &left, &dst, &room);
      out.append(buf, sizeof buf - room);
      if (rc != static_cast<size_t>(-1) || errno == E2BIG) continue;
      iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
    }
    if (left == 0) break;
    uint32_t cp;
    const size_t n = DecodeUtf8(reinterpret_cast<const unsigned char*>(src), left, &cp);
    const int b = Cp1252Of(cp);
    out += b < 0 ? '?' : static_cast<char>(b);
    src += n;
    left -= n;
  }
  return out;
}

char* Dup(const std::string& s, size_t* outLength) {
  char* p = static_cast<char*>(malloc(s.size() + 1));
  if (!p) return nullptr;
  memcpy(p, s.data(), s.size());
  p[s.size()] = 0;
  if (outLength) *outLength = s.size();
  return p;
}

char* DupFromXml(const xmlChar* s) {
  if (!s) return Dup(std::string(), nullptr);
  const std::string t = ToCp1252(C(s), strlen(C(s)));
  return Dup(t, nullptr);
}

const char* ConvertInto(int which, const char* text) {
  if (!text) return nullptr;
  const std::string u = ToUtf8(text, strlen(text));
  std::vector<char>& buf = g.bstr[which];
  if (buf.size() < 1024) buf.resize(1024);
  // The buffer grows by 1024 characters until the converted text fits.
  while (u.size() + 1 > buf.size()) buf.resize(buf.size() + 1024);
  memcpy(buf.data(), u.data(), u.size());
  buf[u.size()] = 0;
  return buf.data();
}

// Whether the UTF-8 text holds only characters of XML 1.0.
bool IsXmlText(const std::string& u) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(u.data());
  size_t left = u.size();
  while (left > 0) {
    uint32_t cp;
    const size_t n = DecodeUtf8(p, left, &cp);
    const bool ok = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                    (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
    if (!ok || (cp == 0xFFFD && n == 1 && *p != 0xEF)) return false;
    p += n;
    left -= n;
  }
  return true;
}

bool ValidName(const char* utf8) { return utf8 && *utf8 && xmlValidateQName(X(utf8), 0) == 0; }

// The node's name as written (prefix:local).
// Whether the node's name as written (prefix:local) is `q`, without
// building it.
bool HasQName(xmlNodePtr n, const std::string& q) {
  const char* name = n->name ? C(n->name) : "";
  if (!n->ns || !n->ns->prefix) return q == name;
  const size_t plen = strlen(C(n->ns->prefix));
  return q.size() > plen && q.compare(0, plen, C(n->ns->prefix)) == 0 && q[plen] == ':' &&
         q.compare(plen + 1, std::string::npos, name) == 0;
}

std::string QName(xmlNodePtr n) {
  std::string s;
  if (n->ns && n->ns->prefix) {
    s = C(n->ns->prefix);
    s += ':';
  }
  if (n->name) s += C(n->name);
  return s;
}

bool IsNumber(const char* s, double* v) {
  if (!s || !*s) return false;
  // C-locale parse of a plain decimal number (as XPath's number()).
  const char* p = s;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
  const char* start = p;
  if (*p == '-') ++p;
  bool digits = false;
  double val = 0;
  while (*p >= '0' && *p <= '9') val = val * 10 + (*p++ - '0'), digits = true;
  if (*p == '.') {
    ++p;
    double scale = 0.1;
    while (*p >= '0' && *p <= '9') val += (*p++ - '0') * scale, scale /= 10, digits = true;
  }
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
  if (!digits || *p) return false;
  *v = *start == '-' ? -val : val;
  return true;
}

// Gives a parsed subtree to the caller's document, in one walk: every node
// gets the document (as xmlSetTreeDoc does for the nodes a loaded file
// holds: an ID attribute leaves the parser's table, an entity reference
// forgets its declaration), and, with strip, whitespace-only text nodes
// that stand between or beside elements are removed (what a DOM that does
// not preserve white space drops on load). Whether a node has element
// children is looked up once per node.
void Adopt(xmlNodePtr node, xmlDocPtr doc, bool strip) {
  if (node->type == XML_ELEMENT_NODE) {
    for (xmlAttrPtr a = node->properties; a; a = a->next) {
      if (a->atype == XML_ATTRIBUTE_ID) xmlRemoveID(a->doc, a);
      a->doc = doc;
      for (xmlNodePtr t = a->children; t; t = t->next) Adopt(t, doc, false);
    }
  }
  node->doc = doc;
  if (node->type == XML_ENTITY_REF_NODE) {
    // The declaration stays behind: nothing of it is pointed at.
    node->children = node->last = nullptr;
    node->content = nullptr;
    return;
  }
  bool elementChild = false;
  if (strip)
    for (xmlNodePtr s = node->children; s && !elementChild; s = s->next) elementChild = s->type == XML_ELEMENT_NODE;
  for (xmlNodePtr c = node->children; c;) {
    xmlNodePtr next = c->next;
    if (c->type == XML_ELEMENT_NODE) {
      Adopt(c, doc, strip);
    } else if (elementChild && c->type == XML_TEXT_NODE && xmlIsBlankNode(c) && (c->prev || c->next)) {
      xmlUnlinkNode(c);
      xmlFreeNode(c);
    } else {
      Adopt(c, doc, false);
    }
    c = next;
  }
}

// Points the names of a subtree that use the "xml" prefix's declaration
// `from` at `to`.
void MoveXmlNamespace(xmlNodePtr node, xmlNsPtr from, xmlNsPtr to) {
  if (node->ns == from) node->ns = to;
  if (node->type == XML_ELEMENT_NODE)
    for (xmlAttrPtr a = node->properties; a; a = a->next)
      if (a->ns == from) a->ns = to;
  if (node->type == XML_ENTITY_REF_NODE) return;
  for (xmlNodePtr c = node->children; c; c = c->next) MoveXmlNamespace(c, from, to);
}

// The layer's code for a save that failed with a system error number.
int32_t SaveErrorCode(uint32_t err) {
  auto is = [err](std::initializer_list<int> errnos) {
    for (int e : errnos)
      if (err == plat::FromErrno(e)) return true;
    return false;
  };
  if (is({EACCES, EPERM, EROFS})) return kXmlErrAccessDenied;
  if (is({ENOMEM})) return kXmlErrOutOfMemory;
  if (is({ENOENT, ENOTDIR, ENAMETOOLONG, EISDIR, EINVAL})) return kXmlErrInvalidArg;
  return static_cast<int32_t>(0x80070000u | (err & 0xFFFF));
}

// Writes the bytes to a temporary file of this process beside path
// ("<path>.<pid>.XXXXXX.tmp", made with O_EXCL), flushes it and renames it
// into place; first it removes what processes that no longer run left
// beside the same file. A file that exists keeps its permissions (other
// programs read the configuration), a new one gets 0666 less the umask.
// 0, or the system error number of the failing step.
uint32_t WriteAtomically(const std::string& path, const std::string& bytes) {
  plat::RemoveStaleTemps(path, ".tmp");
  struct stat st;
  const mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : plat::NewFileMode();
  std::string temp;
  const int fd = plat::CreateTempBeside(path, ".tmp", mode, &temp);
  if (fd < 0) return plat::GetLastError();
  int err = 0;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (!err && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err) unlink(temp.c_str());
  return err ? plat::FromErrno(err) : 0;
}

}  // namespace

// ---------------------------------------------------------------- error state

int32_t xml_GetError() { return g.code; }
void xml_ClearError() { g.code = 0; }
void xml_SetError(int32_t code, const char* text) {
  g.code = code;
  if (text) Copy255(g.message, text);
}
void xml_SetErrorF(const char* format, ...) {
  char text[512];
  va_list ap;
  va_start(ap, format);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  xml_SetError(kXmlErrFail, text);
}
void xml_SetSource(const char* text) { Copy255(g.source, text); }
void xml_SetContext(const char* text) { Copy255(g.context, text); }
const char* xml_GetErrorText() {
  snprintf(g.errorText, sizeof g.errorText, "%s %s - %s", g.source, g.context, g.message);
  return g.errorText;
}
const char* xml_GetErrorMessage() { return g.message; }
int xml_GetIndentLevel() { return g.level; }

int xml_ReportError() {
  ReportSystemEvent(".", 1, xml_GetErrorText());
  plat::Fail(plat::kErrXmlParse);
  return -1;
}

// ---------------------------------------------------------------- texts

const char* BstrFromChar(const char* text) { return ConvertInto(0, text); }
const char* BstrFromCharAlt(const char* text) { return ConvertInto(1, text); }
size_t xml_BstrCapacity() { return g.bstr[0].size(); }

char* xml_Utf8FromCp1252(const char* text, size_t length, size_t* outLength) {
  return Dup(ToUtf8(text ? text : "", text ? length : 0), outLength);
}
char* xml_Cp1252FromUtf8(const char* text, size_t length, size_t* outLength) {
  return Dup(ToCp1252(text ? text : "", text ? length : 0), outLength);
}

// ---------------------------------------------------------------- documents

XmlDocument* xml_CreateDocument() {
  InitLibrary();
  g.code = 0;
  g.level = 0;
  for (auto& b : g.bstr) std::vector<char>(1024).swap(b);
  xmlDocPtr doc = xmlNewDoc(X("1.0"));
  if (!doc) {
    Fail(kXmlErrOutOfMemory, "CoCreateInstance of MSXML6 failed 0x%x", static_cast<unsigned>(kXmlErrOutOfMemory));
    return nullptr;
  }
  return doc;
}

void xml_FreeDocument(XmlDocument* doc) {
  if (!doc) return;
  if (auto* extra = static_cast<DocExtra*>(doc->_private)) {
    // A loose node attached later belongs to the tree; a loose node inside
    // another loose subtree goes with that subtree.
    // The roots are picked before anything is freed (a node may be listed
    // twice, or lie inside another listed subtree).
    std::vector<xmlNodePtr> roots;
    for (xmlNodePtr n : extra->loose)
      if (!n->parent && n->doc == doc) roots.push_back(n);
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    for (xmlNodePtr n : roots) xmlFreeNode(n);
    delete extra;
    doc->_private = nullptr;
  }
  xmlFreeDoc(doc);
}

namespace {

constexpr uint32_t kDefaultMaxFileMiB = 64;

// Reads a file for the parser, at most `limit` bytes: one byte more marks
// the file too large and ends the parse.
struct LimitedReader {
  int fd;
  uint64_t limit;
  uint64_t read = 0;
  bool tooLarge = false;
};

int ReadLimited(void* context, char* buffer, int len) {
  auto* r = static_cast<LimitedReader*>(context);
  if (len <= 0) return 0;
  const uint64_t room = r->limit + 1 - r->read;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(len), room));
  ssize_t n;
  do {
    n = read(r->fd, buffer, want);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  r->read += static_cast<uint64_t>(n);
  if (r->read > r->limit) {
    r->tooLarge = true;
    return -1;
  }
  return static_cast<int>(n);
}

void FailTooLarge(const char* path, uint64_t limit) {
  Fail(kXmlErrFileTooLarge, "Xml Load Failed (%s), File Too Large: above %llu MiB (\"MaxXmlFileSizeMB\")", path,
       static_cast<unsigned long long>(limit >> 20));
}

}  // namespace

uint64_t xml_MaxFileSize() {
  uint32_t mib = 0, type = 0, size = sizeof mib;
  if (Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_QUERY_VALUE,
                      "MaxXmlFileSizeMB", &type, &mib, &size) != 0 ||
      type != plat::REG_DWORD || size != sizeof mib || mib == 0)
    mib = kDefaultMaxFileMiB;
  return static_cast<uint64_t>(mib) << 20;
}

namespace {

// What a streaming load hands over and keeps (the parser context's
// _private while the file is parsed).
struct Stream {
  XmlChildHandler handler;
  void* context;
  xmlDocPtr holder;                // keeps the elements kept until the load ends
  std::vector<xmlNodePtr> kept;    // their order of arrival
};

// Removes the whitespace-only text nodes that stand between or beside
// elements, as Adopt does (the node stays in its document).
void StripBlanks(xmlNodePtr node) {
  bool elementChild = false;
  for (xmlNodePtr s = node->children; s && !elementChild; s = s->next) elementChild = s->type == XML_ELEMENT_NODE;
  for (xmlNodePtr c = node->children; c;) {
    xmlNodePtr next = c->next;
    if (c->type == XML_ELEMENT_NODE) {
      StripBlanks(c);
    } else if (elementChild && c->type == XML_TEXT_NODE && xmlIsBlankNode(c) && (c->prev || c->next)) {
      xmlUnlinkNode(c);
      xmlFreeNode(c);
    }
    c = next;
  }
}

// The parser's end of an element; a child of the root element is handed to
// the handler once complete, then freed with the root's content before it,
// so the tree never holds more than the root and one child. The root is
// left without children: the parser would extend a text node left last in
// place.
void EndElementStreamed(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* uri) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  xmlNodePtr ended = ctxt->node;
  xmlSAX2EndElementNs(ctx, localname, prefix, uri);
  xmlNodePtr root = ended ? ended->parent : nullptr;
  if (!root || root->type != XML_ELEMENT_NODE || root->parent != reinterpret_cast<xmlNodePtr>(ctxt->myDoc)) return;
  auto* s = static_cast<Stream*>(ctxt->_private);
  StripBlanks(ended);
  const bool keep = g.code >= 0 && s->handler(s->context, root, ended);
  xmlUnlinkNode(ended);
  if (keep) {
    Adopt(ended, s->holder, false);
    s->kept.push_back(ended);
  } else {
    xmlFreeNode(ended);
  }
  while (xmlNodePtr c = root->children) {
    xmlUnlinkNode(c);
    xmlFreeNode(c);
  }
}

// Parses path into doc (its former content dropped); with a stream, the
// root's children are handed over as they end (see xml_LoadStreaming).
int Load(XmlDocument* doc, const char* path, Stream* stream) {
  if (g.code < 0) return -1;
  if (!doc || !path) {
    Fail(kXmlErrInvalidArg, "Xml Load Failed (%s)", path ? path : "");
    return -1;
  }
  InitLibrary();
  struct stat st;
  if (stat(path, &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    Fail(kXmlErrFileNotFound, "Xml Load Failed (%s), File Not Found", path);
    return 1;
  }
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (!ctxt) {
    Fail(kXmlErrOutOfMemory, "Xml Load Failed (%s)", path);
    return -1;
  }
  // A document that read a file before keeps that file's names in its
  // dictionary: the parse puts the new names there too, so they live as
  // long as the document (the prefixes the parser compares by address are
  // looked up there again).
  if (doc->dict && doc->dict != ctxt->dict) {
    xmlDictFree(ctxt->dict);
    ctxt->dict = doc->dict;
    xmlDictReference(ctxt->dict);
    ctxt->str_xml = xmlDictLookup(ctxt->dict, X("xml"), 3);
    ctxt->str_xmlns = xmlDictLookup(ctxt->dict, X("xmlns"), 5);
    ctxt->str_xml_ns = xmlDictLookup(ctxt->dict, XML_XML_NAMESPACE, 36);
  }
  // No network, no external entities or DTDs, CDATA read as text. A
  // streamed tree is only read, then freed: short texts are kept inside
  // their nodes (one allocation less per element).
  const int options = XML_PARSE_NONET | XML_PARSE_NOCDATA | (stream ? XML_PARSE_COMPACT : 0);
  if (stream) {
    stream->holder = xmlNewDoc(X("1.0"));
    if (!stream->holder) {
      xmlFreeParserCtxt(ctxt);
      Fail(kXmlErrOutOfMemory, "Xml Load Failed (%s)", path);
      return -1;
    }
    // The kept elements' names live in the parser's dictionary.
    stream->holder->dict = ctxt->dict;
    xmlDictReference(ctxt->dict);
    ctxt->_private = stream;
    ctxt->sax->endElementNs = EndElementStreamed;
  }
  // The kept elements go with the parse: freed on failure, else given to
  // doc as loose nodes.
  auto dropKept = [stream] {
    if (!stream) return;
    for (xmlNodePtr n : stream->kept) xmlFreeNode(n);
    stream->kept.clear();
    xmlFreeDoc(stream->holder);
    stream->holder = nullptr;
  };
  const uint64_t limit = xml_MaxFileSize();
  LimitedReader reader{::open(path, O_RDONLY | O_CLOEXEC), limit};
  xmlDocPtr parsed = nullptr;
  if (reader.fd < 0) {
    parsed = xmlCtxtReadFile(ctxt, path, nullptr, options);  // the parser reports why it cannot be read
  } else {
    struct stat opened;
    if (fstat(reader.fd, &opened) == 0 && S_ISREG(opened.st_mode) && static_cast<uint64_t>(opened.st_size) > limit)
      reader.tooLarge = true;
    else
      parsed = xmlCtxtReadIO(ctxt, ReadLimited, nullptr, &reader, path, nullptr, options);
    ::close(reader.fd);
  }
  if (reader.tooLarge) {
    FailTooLarge(path, limit);
    if (parsed) xmlFreeDoc(parsed);
    dropKept();
    xmlFreeParserCtxt(ctxt);
    return -1;
  }
  if (!parsed || !ctxt->wellFormed) {
    const xmlError* e = xmlCtxtGetLastError(ctxt);
    const int32_t code = kXmlErrParseBase | ((e && e->code ? e->code : 1) & 0xFFF);
    if (e && e->message) {
      std::string reason = e->message;
      while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
      if (e->line > 0) reason += " (line " + std::to_string(e->line) + ")";
      Fail(code, "Xml Load Failed (%s) %s 0x%8x", path, reason.c_str(), static_cast<unsigned>(code));
    } else {
      Fail(code, "Xml Load Failed (%s)", path);
    }
    if (parsed) xmlFreeDoc(parsed);
    dropKept();
    xmlFreeParserCtxt(ctxt);
    return -1;
  }
  xmlFreeParserCtxt(ctxt);
  // Move the parsed content into the caller's document, which takes the
  // parser's dictionary of names along (or had it already): the names stay
  // where they are (a node's free tells the dictionary's strings from its
  // own).
  if (parsed->dict && !doc->dict) {
    doc->dict = parsed->dict;
    xmlDictReference(doc->dict);
  }
  xmlNodePtr old = doc->children;
  while (old) {
    xmlNodePtr next = old->next;
    xmlUnlinkNode(old);
    KeepLoose(old);
    old = next;
  }
  while (xmlNodePtr n = parsed->children) {
    xmlUnlinkNode(n);
    if (n->type == XML_DTD_NODE) {
      // A document type is parsed (never loaded or applied) and dropped.
      xmlFreeDtd(reinterpret_cast<xmlDtdPtr>(n));
      continue;
    }
    Adopt(n, doc, n->type == XML_ELEMENT_NODE);
    xmlAddChild(reinterpret_cast<xmlNodePtr>(doc), n);
  }
  // Names in the "xml" namespace (xml:lang, xml:id) point at the parsed
  // document's declaration of its prefix, which goes with the content; a
  // document that has one already keeps its own.
  if (xmlNsPtr parsedXml = parsed->oldNs) {
    if (!doc->oldNs) {
      doc->oldNs = parsedXml;
      parsed->oldNs = nullptr;
    } else {
      for (xmlNodePtr n = doc->children; n; n = n->next) MoveXmlNamespace(n, parsedXml, doc->oldNs);
      if (stream)
        for (xmlNodePtr n : stream->kept) MoveXmlNamespace(n, parsedXml, doc->oldNs);
    }
  }
  if (parsed->encoding && !doc->encoding) doc->encoding = xmlStrdup(parsed->encoding);
  doc->standalone = parsed->standalone;
  xmlFreeDoc(parsed);
  if (stream) {
    for (xmlNodePtr n : stream->kept) {
      Adopt(n, doc, false);
      KeepLoose(n);
    }
    stream->kept.clear();
    xmlFreeDoc(stream->holder);
    stream->holder = nullptr;
  }
  return 0;
}

}  // namespace

int xml_Load(XmlDocument* doc, const char* path) { return Load(doc, path, nullptr); }

int xml_LoadStreaming(XmlDocument* doc, const char* path, XmlChildHandler handler, void* context) {
  if (!handler) return xml_Load(doc, path);
  Stream stream{handler, context, nullptr, {}};
  return Load(doc, path, &stream);
}

int xml_Save(XmlDocument* doc, const char* path) {
  if (g.code < 0) return -1;
  if (!path) {
    Fail(-1, "VariantFromChar('%s') failed", "(null)");
    return -1;
  }
  if (!doc) {
    Fail(kXmlErrInvalidArg, "Save XML File (%s) failed, Invalid filename 0x%x", path,
         static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  std::string bytes;
  // The declaration: the document's own "xml" instruction when it starts
  // with one, else one made here (the serialiser's is never written, so
  // there is never a second one).
  xmlNodePtr first = doc->children;
  if (!(first && first->type == XML_PI_NODE && xmlStrcmp(first->name, X("xml")) == 0)) {
    // Written as the system's own instruction is, so a reloaded file saves
    // back to the same bytes.
    bytes = "<?xml version='1.0' encoding='UTF-8'";
    if (doc->standalone == 1) bytes += " standalone='yes'";
    bytes += "?>\n";
  }
  xmlBufferPtr buf = xmlBufferCreate();
  if (!buf) {
    Fail(kXmlErrOutOfMemory, "Save XML File (%s) failed, Out Of Memory 0x%x", path,
         static_cast<unsigned>(kXmlErrOutOfMemory));
    return -1;
  }
  xmlSaveCtxtPtr save = xmlSaveToBuffer(buf, "UTF-8", XML_SAVE_NO_DECL);
  long rc = save ? xmlSaveDoc(save, doc) : -1;
  if (save && xmlSaveClose(save) < 0) rc = -1;
  if (rc < 0) {
    xmlBufferFree(buf);
    Fail(kXmlErrOutOfMemory, "Save XML File (%s) failed, Out Of Memory 0x%x", path,
         static_cast<unsigned>(kXmlErrOutOfMemory));
    return -1;
  }
  bytes.append(C(xmlBufferContent(buf)), static_cast<size_t>(xmlBufferLength(buf)));
  xmlBufferFree(buf);
  const uint32_t err = WriteAtomically(path, bytes);
  if (err) {
    const int32_t code = SaveErrorCode(err);
    const unsigned u = static_cast<unsigned>(code);
    if (code == kXmlErrAccessDenied)
      Fail(code, "Save XML File (%s) failed, Access Denied 0x%x", path, u);
    else if (code == kXmlErrOutOfMemory)
      Fail(code, "Save XML File (%s) failed, Out Of Memory 0x%x", path, u);
    else if (code == kXmlErrInvalidArg)
      Fail(code, "Save XML File (%s) failed, Invalid filename 0x%x", path, u);
    else
      Fail(code, "Save XML File (%s) failed, Error 0x%x", path, u);
    return -1;
  }
  return 0;
}

XmlNode* xml_GetRoot(XmlDocument* doc) {
  if (g.code < 0) return nullptr;
  xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
  if (!root) Fail(kXmlErrFail, "No Root element found");
  return root;
}

// ---------------------------------------------------------------- building

XmlNode* xml_CreateElement(XmlDocument* doc, const char* name) {
  if (g.code < 0) return nullptr;
  const char* u = BstrFromChar(name);
  if (!u) {
    Fail(-1, "BstrFromChar('%s') failed", "(null)");
    return nullptr;
  }
  if (!doc || !ValidName(u)) {
    Fail(kXmlErrInvalidArg, "xml_CreateElement('%s') failed 0x%x", name, static_cast<unsigned>(kXmlErrInvalidArg));
    return nullptr;
  }
  xmlNodePtr n = xmlNewDocNode(doc, nullptr, X(u), nullptr);
  if (!n) {
    Fail(kXmlErrOutOfMemory, "xml_CreateElement('%s') failed 0x%x", name, static_cast<unsigned>(kXmlErrOutOfMemory));
    return nullptr;
  }
  KeepLoose(n);
  return n;
}

int xml_AppendChildToParent(XmlNode* node, XmlNode* parent) {
  if (g.code < 0) return -1;
  if (!node || !parent) {
    Fail(kXmlErrInvalidArg, "xml_AppendChildToParent() failed 0x%x", static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  if (node->parent) xmlUnlinkNode(node);
  if (!xmlAddChild(parent, node)) {
    Fail(kXmlErrFail, "xml_AppendChildToParent() failed 0x%x", static_cast<unsigned>(kXmlErrFail));
    return -1;
  }
  return 0;
}

XmlNode* xml_OpenElement(XmlDocument* doc, const char* name, XmlNode* parent) {
  xmlNodePtr n = xml_CreateElement(doc, name);
  if (!n) return nullptr;
  if (xml_AppendChildToParent(n, parent ? parent : reinterpret_cast<xmlNodePtr>(doc)) != 0) return nullptr;
  ++g.level;
  return n;
}

int xml_CloseElement(XmlDocument* doc, XmlNode* element) {
  if (!doc || !element) return 1;
  if (g.level > 0) --g.level;
  return 0;
}

XmlNode* xml_PutElement(XmlDocument* doc, const char* name, XmlNode* parent) {
  if (g.code < 0) return nullptr;
  if (!parent) {
    Fail(kXmlErrInvalidArg, "xml_PutElement('%s') failed 0x%x", name ? name : "",
         static_cast<unsigned>(kXmlErrInvalidArg));
    return nullptr;
  }
  xmlNodePtr n = xml_CreateElement(doc, name);
  if (!n) return nullptr;
  if (xmlNodePtr old = xml_FindByName(parent, name)) {
    xmlReplaceNode(old, n);
    KeepLoose(old);
    return n;
  }
  return xml_AppendChildToParent(n, parent) == 0 ? n : nullptr;
}

int xml_InsertBefore(XmlNode* node, XmlNode* reference) {
  if (g.code < 0) return 0;
  if (!node || !reference || !reference->parent) {
    Fail(kXmlErrInvalidArg, "xml_InsertBefore() failed 0x%x", static_cast<unsigned>(kXmlErrInvalidArg));
    return 0;
  }
  if (node->parent) xmlUnlinkNode(node);
  if (!xmlAddPrevSibling(reference, node))
    Fail(kXmlErrFail, "xml_InsertBefore() failed 0x%x", static_cast<unsigned>(kXmlErrFail));
  return 0;
}

int xml_InsertTextBefore(XmlDocument* doc, const char* text, XmlNode* reference) {
  if (g.code < 0) return -1;
  const char* u = BstrFromChar(text);
  if (!u || !doc || !reference || !reference->parent) {
    Fail(kXmlErrInvalidArg, "xml_InsertBefore('%s') failed 0x%x", text ? text : "",
         static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  xmlNodePtr t = xmlNewDocText(doc, X(u));
  // A text node next to another one is merged into it (and freed).
  if (!t || !xmlAddPrevSibling(reference, t)) {
    if (t) xmlFreeNode(t);
    Fail(kXmlErrFail, "xml_InsertBefore('%s') failed 0x%x", text, static_cast<unsigned>(kXmlErrFail));
    return -1;
  }
  return 0;
}

int xml_CreateAndAddTextNode(XmlDocument* doc, const char* text, XmlNode* parent) {
  if (g.code < 0) return -1;
  if (!doc || !parent || !text) {
    Fail(kXmlErrInvalidArg, "xml_CreateAndAddTextNode('%s') failed 0x%x", text ? text : "",
         static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  std::string u = ToUtf8(text, strlen(text));
  if (!IsXmlText(u)) u = kXmlIllegalText;
  xmlNodePtr t = xmlNewDocTextLen(doc, X(u.c_str()), static_cast<int>(u.size()));
  if (!t || !xmlAddChild(parent, t)) {
    if (t) xmlFreeNode(t);
    Fail(kXmlErrFail, "xml_CreateAndAddTextNode('%s') failed 0x%x", text, static_cast<unsigned>(kXmlErrFail));
    return -1;
  }
  return 0;
}

int xml_CreateAndAddAttributeNode(XmlDocument* doc, const char* name, const char* value, XmlNode* element) {
  if (g.code < 0) return -1;
  if (!name || !value) {
    // As the layer always did: the message is left, the code stays 0.
    snprintf(g.message, sizeof g.message, "BstrFromChar('%s') or VariantFromChar('%s') failed", name ? name : "",
             value ? value : "");
    return -1;
  }
  const std::string n = ToUtf8(name, strlen(name));
  const std::string v = ToUtf8(value, strlen(value));
  if (!doc || !element || element->type != XML_ELEMENT_NODE || !ValidName(n.c_str()) || !IsXmlText(v)) {
    Fail(kXmlErrInvalidArg, "xml_CreateAndAddAttributeNode('%s','%s') failed 0x%x", name, value,
         static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  if (!xmlSetProp(element, X(n.c_str()), X(v.c_str()))) {
    Fail(kXmlErrFail, "xml_CreateAndAddAttributeNode('%s','%s') failed 0x%x", name, value,
         static_cast<unsigned>(kXmlErrFail));
    return -1;
  }
  return 0;
}

int xml_CreateAndAddCommentNode(XmlDocument* doc, const char* text) {
  if (g.code < 0) return -1;
  const std::string u = ToUtf8(text ? text : "", text ? strlen(text) : 0);
  if (!doc || !IsXmlText(u) || u.find("--") != std::string::npos || (!u.empty() && u.back() == '-')) {
    Fail(kXmlErrInvalidArg, "xml_CreateAndAddCommentNode('%s') failed 0x%x", text ? text : "",
         static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  xmlNodePtr c = xmlNewDocComment(doc, X(u.c_str()));
  if (!c || !xmlAddChild(reinterpret_cast<xmlNodePtr>(doc), c)) {
    if (c) xmlFreeNode(c);
    Fail(kXmlErrFail, "xml_CreateAndAddCommentNode('%s') failed 0x%x", text, static_cast<unsigned>(kXmlErrFail));
    return -1;
  }
  return 0;
}

int xml_CreateAndAddPINode(XmlDocument* doc, const char* target, const char* data) {
  if (g.code < 0) return -1;
  if (!target || !data) {
    snprintf(g.message, sizeof g.message, "BstrFromChar('%s') or BstrFromChar('%s') failed", target ? target : "",
             data ? data : "");
    return -1;
  }
  const std::string t = ToUtf8(target, strlen(target));
  const std::string d = ToUtf8(data, strlen(data));
  if (!doc || !ValidName(t.c_str()) || !IsXmlText(d) || d.find("?>") != std::string::npos) {
    Fail(kXmlErrInvalidArg, "xml_CreateAndAddPINode('%s','%s') failed 0x%x", target, data,
         static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  xmlNodePtr pi = xmlNewDocPI(doc, X(t.c_str()), X(d.c_str()));
  if (!pi || !xmlAddChild(reinterpret_cast<xmlNodePtr>(doc), pi)) {
    if (pi) xmlFreeNode(pi);
    Fail(kXmlErrFail, "xml_CreateAndAddPINode('%s','%s') failed 0x%x", target, data,
         static_cast<unsigned>(kXmlErrFail));
    return -1;
  }
  return 0;
}

int xml_CreateAndAddCDATANode(XmlDocument* doc, const char* text, XmlNode* parent) {
  if (g.code < 0) return -1;
  const std::string u = ToUtf8(text ? text : "", text ? strlen(text) : 0);
  if (!doc || !parent || !IsXmlText(u) || u.find("]]>") != std::string::npos) {
    Fail(kXmlErrInvalidArg, "xml_CreateAndAddCDATANode('%s') failed 0x%x", text ? text : "",
         static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  xmlNodePtr c = xmlNewCDataBlock(doc, X(u.c_str()), static_cast<int>(u.size()));
  if (!c || !xmlAddChild(parent, c)) {
    if (c) xmlFreeNode(c);
    Fail(kXmlErrFail, "xml_CreateAndAddCDATANode('%s') failed 0x%x", text, static_cast<unsigned>(kXmlErrFail));
    return -1;
  }
  return 0;
}

int xml_Indent(XmlDocument* doc, XmlNode* node, int depth) {
  if (g.code < 0) return -1;
  if (!doc || !node) return -1;
  std::string layout(1, '\n');
  layout.append(static_cast<size_t>(depth > 0 ? depth : 0), '\t');
  if (depth > 0 && node->parent) {
    xmlNodePtr t = xmlNewDocText(doc, X(layout.c_str()));
    if (!t || !xmlAddPrevSibling(node, t)) {
      if (t) xmlFreeNode(t);
      Fail(kXmlErrOutOfMemory, "xml_Indent() failed 0x%x", static_cast<unsigned>(kXmlErrOutOfMemory));
      return -1;
    }
  }
  bool elementChildren = false;
  for (xmlNodePtr c = node->children; c;) {
    xmlNodePtr next = c->next;
    if (c->type == XML_ELEMENT_NODE) {
      elementChildren = true;
      if (xml_Indent(doc, c, depth + 1) != 0) return -1;
    }
    c = next;
  }
  if (elementChildren) {
    xmlNodePtr t = xmlNewDocText(doc, X(layout.c_str()));
    if (!t || !xmlAddChild(node, t)) {
      if (t) xmlFreeNode(t);
      Fail(kXmlErrOutOfMemory, "xml_Indent() failed 0x%x", static_cast<unsigned>(kXmlErrOutOfMemory));
      return -1;
    }
  }
  return 0;
}

// ---------------------------------------------------------------- reading

XmlNode* xml_FindByName(XmlNode* node, const char* name) {
  if (g.code < 0 || !node || !name) return nullptr;
  const std::string u = ToUtf8(name, strlen(name));
  for (xmlNodePtr c = node->children; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE && HasQName(c, u)) return c;
  return nullptr;
}

XmlNode* xml_FindByAttribute(XmlNode* node, const char* name, const char* attribute, const char* value) {
  if (g.code < 0) return nullptr;
  if (!node || !name || !attribute || !value) {
    Fail(kXmlErrInvalidArg, "xml_FindByAttribute('%s[@%s=%s]') failed 0x%x", name ? name : "",
         attribute ? attribute : "", value ? value : "", static_cast<unsigned>(kXmlErrInvalidArg));
    return nullptr;
  }
  const std::string n = ToUtf8(name, strlen(name));
  const std::string a = ToUtf8(attribute, strlen(attribute));
  const std::string v = ToUtf8(value, strlen(value));
  double number = 0;
  const bool numeric = IsNumber(v.c_str(), &number);
  for (xmlNodePtr c = node->children; c; c = c->next) {
    if (c->type != XML_ELEMENT_NODE || !HasQName(c, n)) continue;
    xmlChar* got = xmlGetProp(c, X(a.c_str()));
    if (!got) continue;
    double gotNumber = 0;
    const bool match = numeric ? (IsNumber(C(got), &gotNumber) && gotNumber == number) : v == C(got);
    xmlFree(got);
    if (match) return c;
  }
  return nullptr;
}

XmlNode* xml_FirstChild(XmlNode* node) { return g.code < 0 || !node ? nullptr : node->children; }
XmlNode* xml_LastChild(XmlNode* node) { return g.code < 0 || !node ? nullptr : node->last; }
XmlNode* xml_NextSibling(XmlNode* node) { return g.code < 0 || !node ? nullptr : node->next; }
XmlNode* xml_PreviousSibling(XmlNode* node) { return g.code < 0 || !node ? nullptr : node->prev; }

char* xml_getName(XmlNode* node) {
  if (g.code < 0 || !node) return nullptr;
  if (node->type == XML_TEXT_NODE) return Dup("#text", nullptr);
  const std::string q = QName(node);
  return Dup(ToCp1252(q.data(), q.size()), nullptr);
}

char* xml_getText(XmlNode* element) {
  if (g.code < 0 || !element) return nullptr;
  for (xmlNodePtr c = element->children; c; c = c->next)
    if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) return DupFromXml(c->content);
  return Dup(std::string(), nullptr);
}

char* xml_getAttribute(XmlNode* element, const char* name) {
  if (g.code < 0 || !element || !name) return nullptr;
  const std::string n = ToUtf8(name, strlen(name));
  xmlChar* v = xmlGetProp(element, X(n.c_str()));
  if (!v) return nullptr;
  char* out = DupFromXml(v);
  xmlFree(v);
  return out;
}

int xml_RemoveChild(XmlNode* parent, XmlNode* child) {
  if (g.code < 0) return -1;
  if (!parent || !child || child->parent != parent) {
    Fail(kXmlErrInvalidArg, "xml_RemoveChild() failed 0x%x", static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  xmlUnlinkNode(child);
  KeepLoose(child);
  return 0;
}

int xml_IterateChan(XmlNode* element, XmlNamePair* pairs, int count) {
  if (g.code < 0) return -1;
  if (!element || !pairs) {
    Fail(kXmlErrInvalidArg, "xml_IterateChan() failed 0x%x", static_cast<unsigned>(kXmlErrInvalidArg));
    return -1;
  }
  int n = 0;
  for (xmlNodePtr c = element->children; c && n < count; c = c->next) {
    if (c->type != XML_ELEMENT_NODE) {
      for (int k = 0; k < n; ++k) free(pairs[k].name), free(pairs[k].text);
      Fail(kXmlErrFail, "xml_IterateChan() failed 0x%x", static_cast<unsigned>(kXmlErrFail));
      return -1;
    }
    pairs[n].name = xml_getName(c);
    pairs[n].text = xml_getText(c);
    ++n;
  }
  return n;
}

bool xml_IsElement(XmlNode* node) { return node && node->type == XML_ELEMENT_NODE; }

bool xml_IsElementNamed(XmlNode* node, const char* name) {
  if (!node || node->type != XML_ELEMENT_NODE || !name) return false;
  const size_t n = strlen(name);
  return HasQName(node, IsAscii(name, n) ? std::string(name, n) : ToUtf8(name, n));
}

const char* xml_TextView(XmlNode* element) {
  if (g.code < 0 || !element) return nullptr;
  thread_local std::string text;
  text.clear();
  for (xmlNodePtr c = element->children; c; c = c->next)
    if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) {
      const char* u = c->content ? C(c->content) : "";
      const size_t n = strlen(u);
      if (IsAscii(u, n))
        text.assign(u, n);  // keeps the buffer
      else
        text = ToCp1252(u, n);
      break;
    }
  return text.c_str();
}
