// libFuzzer target of the XML document layer's reading side: any bytes as a
// file, loaded, walked (names, texts, attributes, id lookups), laid out and
// saved again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "cdxlib/xml/xmldoc.h"
#include "fuzz_tempdir.h"

// The error log is not part of this harness.
void ReportSystemEvent(const char*, int, const char*) {}

namespace {

void Walk(XmlNode* node, int depth) {
  if (depth > 64) return;
  for (XmlNode* c = xml_FirstChild(node); c; c = xml_NextSibling(c)) {
    if (!xml_IsElement(c)) continue;
    free(xml_getName(c));
    free(xml_getText(c));
    free(xml_getAttribute(c, "id"));
    Walk(c, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = FuzzTempDir("xml_load_fuzz_");
  if (dir.empty()) return 0;
  const std::string in = dir + "/in.xml", out = dir + "/out.xml";
  FILE* f = fopen(in.c_str(), "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  XmlDocument* doc = xml_CreateDocument();
  if (xml_Load(doc, in.c_str()) == 0) {
    XmlNode* root = xml_GetRoot(doc);
    if (root) {
      Walk(root, 0);
      for (const char* id : {"1", "2", "3.0"})
        if (XmlNode* ch = xml_FindByAttribute(root, "Channel", "id", id)) {
          free(xml_getText(xml_FindByName(ch, "Tag")));
          xml_RemoveChild(root, ch);
        }
      xml_Indent(doc, root, 0);
      xml_Save(doc, out.c_str());
    }
  }
  xml_FreeDocument(doc);
  return 0;
}
