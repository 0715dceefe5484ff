#include "cdxlib/xml/xmldoc.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cdxlib/sys/registry.h"
#include "platform/registry.h"
#include "support/child.h"

namespace {

std::string TempDir() {
  char tmpl[] = "/tmp/xmldoc_test_XXXXXX";
  return mkdtemp(tmpl);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

std::string Take(char* s) {
  std::string r = s ? s : "(null)";
  free(s);
  return r;
}

// A small channel-file-like document.
XmlDocument* BuildChannels(int count) {
  XmlDocument* doc = xml_CreateDocument();
  xml_CreateAndAddPINode(doc, "xml", "version='1.0' encoding='UTF-8'");
  xml_CreateAndAddCommentNode(doc, "Created Automatically by Hexaplan.");
  XmlNode* root = xml_OpenElement(doc, "Channels", nullptr);
  xml_CreateAndAddAttributeNode(doc, "xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance", root);
  xml_CreateAndAddAttributeNode(doc, "xmlns", "http://example.invalid/cdx/TT_ai", root);
  for (int i = 0; i < count; ++i) {
    XmlNode* ch = xml_OpenElement(doc, "Channel", root);
    xml_CreateAndAddAttributeNode(doc, "id", std::to_string(i + 1).c_str(), ch);
    XmlNode* tag = xml_OpenElement(doc, "Tag", ch);
    xml_CreateAndAddTextNode(doc, ("TAG" + std::to_string(i)).c_str(), tag);
    xml_CloseElement(doc, tag);
    xml_CloseElement(doc, ch);
  }
  xml_CloseElement(doc, root);
  return doc;
}

class XmlDocTest : public ::testing::Test {
 protected:
  std::string dir = TempDir();
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
};

TEST_F(XmlDocTest, IndentedSaveHasOneElementALineOneTabDeeper) {
  XmlDocument* doc = BuildChannels(2);
  ASSERT_EQ(xml_GetIndentLevel(), 0);
  ASSERT_EQ(xml_Indent(doc, xml_GetRoot(doc), 0), 0);
  ASSERT_EQ(xml_Save(doc, (dir + "/ai.xml").c_str()), 0);
  EXPECT_EQ(ReadFile(dir + "/ai.xml"),
            "<?xml version='1.0' encoding='UTF-8'?>\n"
            "<!--Created Automatically by Hexaplan.-->\n"
            "<Channels xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xmlns=\"http://example.invalid/cdx/TT_ai\">\n"
            "\t<Channel id=\"1\">\n\t\t<Tag>TAG0</Tag>\n\t</Channel>\n"
            "\t<Channel id=\"2\">\n\t\t<Tag>TAG1</Tag>\n\t</Channel>\n"
            "</Channels>\n");
  xml_FreeDocument(doc);
}

TEST_F(XmlDocTest, LoadIndentSaveIsIdempotentAndFindsChannelsInTheDefaultNamespace) {
  const std::string path = dir + "/ai.xml";
  XmlDocument* doc = BuildChannels(3);
  xml_Indent(doc, xml_GetRoot(doc), 0);
  ASSERT_EQ(xml_Save(doc, path.c_str()), 0);
  xml_FreeDocument(doc);
  const std::string first = ReadFile(path);
  for (int round = 0; round < 3; ++round) {
    doc = xml_CreateDocument();
    ASSERT_EQ(xml_Load(doc, path.c_str()), 0) << xml_GetErrorText();
    XmlNode* root = xml_GetRoot(doc);
    // The channel is found by its id although the file carries a default
    // namespace, and numerically ("2.0" is id 2).
    XmlNode* ch = xml_FindByAttribute(root, "Channel", "id", round == 1 ? "2.0" : "2");
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(Take(xml_getText(xml_FindByName(ch, "Tag"))), "TAG1");
    EXPECT_EQ(xml_FindByAttribute(root, "Channel", "id", "4"), nullptr);
    EXPECT_EQ(xml_GetError(), 0);
    ASSERT_EQ(xml_Indent(doc, root, 0), 0);
    ASSERT_EQ(xml_Save(doc, path.c_str()), 0);
    xml_FreeDocument(doc);
    EXPECT_EQ(ReadFile(path), first) << "round " << round;
  }
}

// Names in the "xml" namespace (xml:lang, xml:space, xml:id) refer to the
// parsed document's own declaration of that prefix: a loaded file must save
// them back, also once a document type that declared an ID is dropped, and
// whether the document read a file before or not.
TEST_F(XmlDocTest, NamesInTheXmlNamespaceSurviveLoadAndSave) {
  const std::string in = dir + "/in.xml", out = dir + "/out.xml";
  const std::string body =
      "<?xml version='1.0' encoding='UTF-8'?>\n"
      "<!DOCTYPE Channels [<!ATTLIST Channel xml:id ID #IMPLIED>]>\n"
      "<Channels xml:lang=\"en\"><Channel id=\"1\" xml:id=\"c1\"><Tag xml:space=\"preserve\"> T </Tag></Channel>"
      "</Channels>";
  WriteFile(in, body);
  XmlDocument* doc = xml_CreateDocument();
  for (int round = 0; round < 2; ++round) {  // the second load replaces the first one's content
    ASSERT_EQ(xml_Load(doc, in.c_str()), 0) << xml_GetErrorText();
    ASSERT_EQ(xml_Save(doc, out.c_str()), 0) << xml_GetErrorText();
    const std::string saved = ReadFile(out);
    EXPECT_NE(saved.find("<Channels xml:lang=\"en\">"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<Channel id=\"1\" xml:id=\"c1\">"), std::string::npos) << saved;
    EXPECT_NE(saved.find("<Tag xml:space=\"preserve\"> T </Tag>"), std::string::npos) << saved;
  }
  xml_FreeDocument(doc);
}

TEST_F(XmlDocTest, ErrorIsStickyUntilTheNextDocument) {
  XmlDocument* doc = xml_CreateDocument();
  XmlNode* root = xml_OpenElement(doc, "Root", nullptr);
  xml_SetSource("dev_1");
  xml_SetContext("Dev/Proc Config");
  EXPECT_EQ(xml_FindByAttribute(root, "Channel", nullptr, "1"), nullptr);
  const int32_t code = xml_GetError();
  ASSERT_LT(code, 0);
  const std::string text = xml_GetErrorText();
  EXPECT_NE(text.find("dev_1 Dev/Proc Config - xml_FindByAttribute"), std::string::npos) << text;
  // Every later call does nothing and keeps the first failure.
  EXPECT_EQ(xml_CreateElement(doc, "Other"), nullptr);
  EXPECT_EQ(xml_OpenElement(doc, "Other", root), nullptr);
  EXPECT_EQ(xml_CreateAndAddTextNode(doc, "x", root), -1);
  EXPECT_EQ(xml_Save(doc, (dir + "/x.xml").c_str()), -1);
  EXPECT_EQ(xml_GetError(), code);
  EXPECT_EQ(xml_GetErrorText(), text);
  EXPECT_NE(access((dir + "/x.xml").c_str(), F_OK), 0);
  // ClearError keeps the message; a new document starts clean.
  xml_ClearError();
  EXPECT_EQ(xml_FirstChild(root), nullptr) << "the document was not touched";
  EXPECT_EQ(xml_GetError(), 0);
  EXPECT_NE(std::string(xml_GetErrorMessage()).find("xml_FindByAttribute"), std::string::npos);
  xml_SetError(1465, "server says no");
  EXPECT_EQ(xml_GetError(), 1465);
  EXPECT_STREQ(xml_GetErrorMessage(), "server says no");
  xml_FreeDocument(doc);
  doc = xml_CreateDocument();
  EXPECT_EQ(xml_GetError(), 0);
  EXPECT_NE(xml_CreateElement(doc, "Fine"), nullptr);
  xml_FreeDocument(doc);
}

TEST_F(XmlDocTest, LongTextsConvertWholeAndSourceIsCutTo255) {
  xml_FreeDocument(xml_CreateDocument());
  const std::string long3000(3000, 'x');
  const char* u = BstrFromChar(long3000.c_str());
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(strlen(u), 3000u);
  EXPECT_EQ(xml_BstrCapacity(), 3072u);
  EXPECT_EQ(BstrFromChar(nullptr), nullptr);
  xml_SetSource(std::string(400, 's').c_str());
  xml_SetContext("");
  xml_SetError(-1, std::string(400, 'm').c_str());
  EXPECT_EQ(std::string(xml_GetErrorText()), std::string(255, 's') + "  - " + std::string(255, 'm'));
}

TEST_F(XmlDocTest, Windows1252TextsSurviveRecordToFileToRecord) {
  // é, €, the unassigned 0x81, quotes and markup characters that need escaping.
  const std::string text = "Caf\xe9 \x80 5 \x81\x8d\x8f\x90\x9d <&> \"q\" 'a' \x93z\x94\xff";
  XmlDocument* doc = xml_CreateDocument();
  XmlNode* root = xml_OpenElement(doc, "R", nullptr);
  XmlNode* t = xml_OpenElement(doc, "T", root);
  xml_CreateAndAddTextNode(doc, text.c_str(), t);
  xml_CreateAndAddAttributeNode(doc, "a", text.c_str(), t);
  ASSERT_EQ(xml_Save(doc, (dir + "/t.xml").c_str()), 0);
  xml_FreeDocument(doc);
  const std::string bytes = ReadFile(dir + "/t.xml");
  EXPECT_NE(bytes.find("Caf\xc3\xa9 \xe2\x82\xac"), std::string::npos) << "UTF-8 in the file";
  doc = xml_CreateDocument();
  ASSERT_EQ(xml_Load(doc, (dir + "/t.xml").c_str()), 0) << xml_GetErrorText();
  XmlNode* back = xml_FindByName(xml_GetRoot(doc), "T");
  EXPECT_EQ(Take(xml_getText(back)), text);
  EXPECT_EQ(Take(xml_getAttribute(back, "a")), text);
  xml_FreeDocument(doc);
  // A character that has no Windows-1252 form reads as '?'.
  WriteFile(dir + "/u.xml", "<R><T>a\xe2\x98\x83z</T></R>");
  doc = xml_CreateDocument();
  ASSERT_EQ(xml_Load(doc, (dir + "/u.xml").c_str()), 0);
  EXPECT_EQ(Take(xml_getText(xml_FindByName(xml_GetRoot(doc), "T"))), "a?z");
  xml_FreeDocument(doc);
}

TEST_F(XmlDocTest, IllegalCharactersGiveThePlaceholderAndTheFileReloads) {
  XmlDocument* doc = xml_CreateDocument();
  XmlNode* root = xml_OpenElement(doc, "R", nullptr);
  XmlNode* t = xml_OpenElement(doc, "Tag", root);
  EXPECT_EQ(xml_CreateAndAddTextNode(doc, "AB\x01" "C", t), 0);
  EXPECT_EQ(xml_GetError(), 0);
  ASSERT_EQ(xml_Save(doc, (dir + "/i.xml").c_str()), 0);
  xml_FreeDocument(doc);
  doc = xml_CreateDocument();
  ASSERT_EQ(xml_Load(doc, (dir + "/i.xml").c_str()), 0) << xml_GetErrorText();
  EXPECT_EQ(Take(xml_getText(xml_FindByName(xml_GetRoot(doc), "Tag"))), kXmlIllegalText);
  xml_FreeDocument(doc);
}

TEST_F(XmlDocTest, InvalidNamesAreRefused) {
  for (const char* name : {"bad name", "1abc", "", "a<b", "x:y:z"}) {
    XmlDocument* doc = xml_CreateDocument();
    XmlNode* root = xml_OpenElement(doc, "R", nullptr);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(xml_CreateElement(doc, name), nullptr) << name;
    EXPECT_LT(xml_GetError(), 0) << name;
    xml_ClearError();
    EXPECT_EQ(xml_CreateAndAddAttributeNode(doc, name, "v", root), -1) << name;
    EXPECT_LT(xml_GetError(), 0) << name;
    xml_FreeDocument(doc);
  }
  // Dotted names with digits (logger items) are valid.
  XmlDocument* doc = xml_CreateDocument();
  EXPECT_NE(xml_OpenElement(doc, "LogChannels.0.Range.Prefix", nullptr), nullptr);
  xml_FreeDocument(doc);
}

TEST_F(XmlDocTest, LoadFailuresGiveTheirResultsAndMessages) {
  XmlDocument* doc = xml_CreateDocument();
  const std::string missing = dir + "/none.xml";
  EXPECT_EQ(xml_Load(doc, missing.c_str()), 1);
  EXPECT_EQ(xml_GetError(), kXmlErrFileNotFound);
  EXPECT_EQ(std::string(xml_GetErrorMessage()), "Xml Load Failed (" + missing + "), File Not Found");
  xml_FreeDocument(doc);

  struct Case {
    const char* name;
    const char* bytes;
  } cases[] = {
      {"truncated", "<Channels><Channel id=\"1\"><Tag>x</Tag>"},
      {"mismatched", "<a><b></a></b>"},
      {"empty", ""},
      {"two roots", "<a/><b/>"},
      {"external entity", "<!DOCTYPE a [<!ENTITY e SYSTEM \"/etc/passwd\">]><a>&e;</a>"},
  };
  for (const Case& c : cases) {
    const std::string path = dir + "/bad.xml";
    WriteFile(path, c.bytes);
    doc = xml_CreateDocument();
    const int rc = xml_Load(doc, path.c_str());
    if (std::string(c.name) == "external entity") {
      // Parsed, but the entity is not resolved: nothing of the file leaks in.
      ASSERT_EQ(rc, 0) << xml_GetErrorText();
      EXPECT_EQ(Take(xml_getText(xml_GetRoot(doc))).find("root:"), std::string::npos);
    } else {
      EXPECT_EQ(rc, -1) << c.name;
      EXPECT_LT(xml_GetError(), 0) << c.name;
      const std::string m = xml_GetErrorMessage();
      EXPECT_EQ(m.rfind("Xml Load Failed (" + path + ")", 0), 0u) << m;
    }
    xml_FreeDocument(doc);
  }
}

void SetMaxXmlFileSizeMB(uint32_t mib) {
  uint32_t type = plat::REG_DWORD, size = sizeof mib;
  ASSERT_EQ(Reg_AccessValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", plat::KEY_SET_VALUE,
                            "MaxXmlFileSizeMB", &type, &mib, &size),
            0u);
}

// A file above the limit (sparse: its size alone counts) is refused before
// it is read; the registry value raises the limit, and a file at the limit
// is parsed as any other.
TEST_F(XmlDocTest, FilesAboveTheSizeLimitAreRefusedUnread) {
  Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "MaxXmlFileSizeMB");
  EXPECT_EQ(xml_MaxFileSize(), 64ull << 20);
  const std::string path = dir + "/huge.xml";
  struct Case {
    uint32_t registryMiB;  // 0: no value
    off_t size;
    bool tooLarge;
  } cases[] = {
      {0, (64 << 20) + 1, true},
      {0, 64 << 20, false},
      {65, (64 << 20) + 1, false},
      {1, (1 << 20) + 1, true},
  };
  for (const Case& c : cases) {
    if (c.registryMiB)
      SetMaxXmlFileSizeMB(c.registryMiB);
    else
      Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "MaxXmlFileSizeMB");
    WriteFile(path, "<Channels>");
    ASSERT_EQ(truncate(path.c_str(), c.size), 0);
    XmlDocument* doc = xml_CreateDocument();
    EXPECT_EQ(xml_Load(doc, path.c_str()), -1);
    const std::string m = xml_GetErrorMessage();
    if (c.tooLarge) {
      EXPECT_EQ(xml_GetError(), kXmlErrFileTooLarge) << c.size;
      EXPECT_EQ(m.rfind("Xml Load Failed (" + path + "), File Too Large", 0), 0u) << m;
      EXPECT_NE(m.find("MaxXmlFileSizeMB"), std::string::npos) << m;
    } else {
      // Read, and refused for its content (the zeros after "<Channels>").
      EXPECT_NE(xml_GetError(), kXmlErrFileTooLarge) << c.size << ": " << m;
      EXPECT_EQ(m.find("Too Large"), std::string::npos) << m;
    }
    xml_FreeDocument(doc);
  }
  Reg_DeleteValue(plat::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quillomatic\\Coordinatrix", "MaxXmlFileSizeMB");
}

TEST_F(XmlDocTest, FailedSaveLeavesTheGoodFile) {
  const std::string path = dir + "/ai.xml";
  XmlDocument* doc = BuildChannels(1);
  ASSERT_EQ(xml_Save(doc, path.c_str()), 0);
  xml_FreeDocument(doc);
  const std::string good = ReadFile(path);
  // The target is a directory: the rename fails, nothing is left behind.
  mkdir((dir + "/sub").c_str(), 0777);
  doc = BuildChannels(2);
  EXPECT_EQ(xml_Save(doc, (dir + "/sub").c_str()), -1);
  EXPECT_NE(std::string(xml_GetErrorMessage()).find("Save XML File (" + dir + "/sub) failed"), std::string::npos);
  xml_FreeDocument(doc);
  doc = BuildChannels(2);
  EXPECT_EQ(xml_Save(doc, (dir + "/nodir/ai.xml").c_str()), -1);
  EXPECT_EQ(xml_GetError(), kXmlErrInvalidArg);
  EXPECT_NE(std::string(xml_GetErrorMessage()).find("Invalid filename"), std::string::npos);
  xml_FreeDocument(doc);
  EXPECT_EQ(ReadFile(path), good);
  EXPECT_EQ(Take(nullptr), "(null)");
  std::string listing;
  for (const char* e : {"/ai.xml", "/sub"}) listing += access((dir + e).c_str(), F_OK) == 0 ? "y" : "n";
  EXPECT_EQ(listing, "yy");
  EXPECT_EQ(std::system(("test $(ls -A " + dir + " | wc -l) -eq 2").c_str()), 0) << "no temporary file left";
}

TEST_F(XmlDocTest, PutElementReplacesRemoveChildKeepsTheRest) {
  XmlDocument* doc = xml_CreateDocument();
  XmlNode* root = xml_OpenElement(doc, "R", nullptr);
  XmlNode* a = xml_PutElement(doc, "A", root);
  xml_CreateAndAddTextNode(doc, "old", a);
  xml_PutElement(doc, "B", root);
  XmlNode* a2 = xml_PutElement(doc, "A", root);
  xml_CreateAndAddTextNode(doc, "new", a2);
  EXPECT_EQ(xml_FirstChild(root), a2);
  EXPECT_EQ(Take(xml_getText(xml_FindByName(root, "A"))), "new");
  // The replaced node stays valid until the document is freed.
  EXPECT_EQ(Take(xml_getText(a)), "old");
  EXPECT_EQ(xml_RemoveChild(root, a2), 0);
  EXPECT_EQ(Take(xml_getName(xml_FirstChild(root))), "B");
  EXPECT_EQ(Take(xml_getText(a2)), "new");
  XmlNamePair pairs[4];
  xml_PutElement(doc, "C", root);
  ASSERT_EQ(xml_IterateChan(root, pairs, 4), 2);
  EXPECT_STREQ(pairs[0].name, "B");
  EXPECT_STREQ(pairs[1].name, "C");
  for (int i = 0; i < 2; ++i) free(pairs[i].name), free(pairs[i].text);
  // Never attached: freed with the document (leak check under ASan).
  xml_CreateElement(doc, "Loose");
  xml_FreeDocument(doc);
}

// A child saves two versions of a large document in turn and reports every
// finished save on a pipe; the parent kills it with SIGKILL after a random
// number of reports, so the kill lands anywhere in a save. The file must
// then be one of the two versions, whole.
TEST_F(XmlDocTest, KillDuringSaveLeavesOldOrNewFile) {
  const std::string path = dir + "/ai.xml";
  std::string versions[2];
  for (int v = 0; v < 2; ++v) {
    XmlDocument* doc = BuildChannels(v == 0 ? 600 : 700);
    xml_Indent(doc, xml_GetRoot(doc), 0);
    ASSERT_EQ(xml_Save(doc, path.c_str()), 0);
    xml_FreeDocument(doc);
    versions[v] = ReadFile(path);
  }
  std::mt19937 rng(12345);
  for (int round = 0; round < 100; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      for (int v = round;; ++v) {
        XmlDocument* doc = BuildChannels(v % 2 == 0 ? 600 : 700);
        xml_Indent(doc, xml_GetRoot(doc), 0);
        if (xml_Save(doc, path.c_str()) != 0) _exit(3);
        xml_FreeDocument(doc);
        if (write(fds[1], "s", 1) != 1) _exit(4);
      }
    }
    close(fds[1]);
    const int reports = static_cast<int>(rng() % 3);
    char c;
    for (int k = 0; k < reports; ++k) ASSERT_EQ(read(fds[0], &c, 1), 1);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    const std::string now = ReadFile(path);
    ASSERT_TRUE(now == versions[0] || now == versions[1]) << "round " << round << ", " << now.size() << " bytes";
  }
  // Killed saves may leave their temporary files; the target is whole, and
  // the next save removes what the killed processes left beside it.
  XmlDocument* doc = xml_CreateDocument();
  EXPECT_EQ(xml_Load(doc, path.c_str()), 0);
  EXPECT_EQ(xml_Save(doc, path.c_str()), 0);
  xml_FreeDocument(doc);
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename() != "ai.xml") left.push_back(e.path().filename().string());
  EXPECT_TRUE(left.empty()) << left.size() << " left, the first " << left[0];
}

}  // namespace
