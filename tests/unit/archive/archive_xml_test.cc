// XML archive: file form, line-end rule, foreign roots, OpenText wrapper stripping.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/archive/obj_archive_xml.h"
#include "common/platform/text.h"

namespace {

std::string StoreXml(void (*fill)(CNxObjAr&)) {
  TNxMemStream s;
  auto ar = CreateArchiveForWrite(s.Designation(), ObjArFormat::XML);
  EXPECT_TRUE(ar);
  fill(*ar);
  ar->Close();
  return s.Bytes();
}

std::string AsUtf8(const std::string& utf16le) {
  EXPECT_GE(utf16le.size(), 2u);
  EXPECT_EQ(utf16le.substr(0, 2), std::string("\xFF\xFE"));
  std::u16string u((utf16le.size() - 2) / 2, u'\0');
  std::memcpy(u.data(), utf16le.data() + 2, u.size() * 2);
  return Utf16ToUtf8(u);
}

std::unique_ptr<CNxObjAr> Load(const std::string& bytes, TNxMemStream& s) {
  s.Bytes() = bytes;
  s.Seek(0);
  return OpenArchiveForRead(s.Designation(), ObjArFormat::Auto);
}

TEST(XmlFormat, FileFormAndOrder) {
  // The value is written between the two children and still lands on the root element.
  std::string text = AsUtf8(StoreXml([](CNxObjAr& ar) {
    ar.EnterNode("PRJ0"); ar.LeaveNode();
    ar.WriteInt("Count", 2);
    ar.EnterNode("PRJ1"); ar.LeaveNode();
  }));
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-16\"?>", 0), 0u) << text;
  size_t root = text.find("<XML_OBJ_STORE Count=\"2\">");
  size_t p0 = text.find("<PRJ0"), p1 = text.find("<PRJ1");
  ASSERT_NE(root, std::string::npos) << text;
  EXPECT_LT(root, p0);
  EXPECT_LT(p0, p1);
}

TEST(XmlFormat, ReadsAndLineEnds) {
  std::string bytes = StoreXml([](CNxObjAr& ar) {
    ar.WriteString("t12", "12");
    ar.WriteString("t125", "12.5");
    ar.WriteString("abc", "abc");
    ar.WriteString("crlf", "a\r\nb");
    ar.WriteString("lf", "a\nb");
    ar.WriteString("cr", "a\rb");
    ar.WriteString("special", "<&\"'>\t中");
    ar.WriteFloat("d", 0.1);
    ar.WriteString("dup", "old");
    ar.WriteString("dup", "new");
  });
  TNxMemStream s;
  auto ar = Load(bytes, s);
  ASSERT_TRUE(ar);
  EXPECT_EQ(ar->FormatName(), "XML");
  struct Case { const char* name; const char* want; };
  const Case texts[] = {
      {"crlf", "a\r\nb"}, {"lf", "a\r\nb"}, {"cr", "a\rb"}, {"special", "<&\"'>\t中"}, {"dup", "new"},
      {"missing", "def"},
  };
  for (const Case& c : texts) EXPECT_EQ(ar->ReadString(c.name, "def"), c.want) << c.name;
  EXPECT_EQ(ar->ReadInt("t12", 9), 12);
  EXPECT_EQ(ar->ReadInt("t125", 9), 9);
  EXPECT_EQ(ar->ReadInt("abc", 9), 9);
  EXPECT_DOUBLE_EQ(ar->ReadFloat("d", 0), 0.1);
  EXPECT_EQ(ar->ReadString("missing", "x\ny"), "x\r\ny");  // the rule covers defaults too
}

TEST(XmlFormat, RawLineEndsInTheFileBecomeCrLf) {
  TNxMemStream s;
  auto ar = Load("<?xml version=\"1.0\"?>\n<R a=\"x\r\ny\" b=\"p\nq\"/>", s);
  ASSERT_TRUE(ar);
  EXPECT_EQ(ar->ReadString("a", ""), "x\r\ny");
  EXPECT_EQ(ar->ReadString("b", ""), "p\r\nq");
}

TEST(XmlFormat, ForeignRootNameLoads) {
  TNxMemStream s;
  auto ar = Load("<Other Count=\"1\"><PRJ0 Name=\"n\"/></Other>", s);
  ASSERT_TRUE(ar);
  EXPECT_EQ(ar->ReadInt("Count", 0), 1);
  ASSERT_TRUE(ar->EnterNode("PRJ0"));
  EXPECT_EQ(ar->ReadString("Name", ""), "n");
}

TEST(XmlFormat, MalformedDocumentsGiveNone) {
  const char* bad[] = {"", "<a>", "<a></b>", "plain text", "<?xml version=\"1.0\"?>"};
  for (const char* b : bad) {
    TNxMemStream s;
    EXPECT_FALSE(Load(b, s)) << b;
  }
}

TEST(XmlFormat, CallerErrorsKeepThePosition) {
  TNxMemStream s;
  auto ar = Load("<R v=\"1\"><A w=\"2\"/></R>", s);
  ASSERT_TRUE(ar);
  EXPECT_FALSE(ar->LeaveNode());
  EXPECT_FALSE(ar->EnterNode("B"));
  EXPECT_EQ(ar->ReadInt("v", 0), 1);
  ASSERT_TRUE(ar->EnterNode("A"));
  EXPECT_EQ(ar->ReadInt("w", 0), 2);
  ASSERT_TRUE(ar->LeaveNode());
  EXPECT_FALSE(ar->LeaveNode());
  EXPECT_EQ(ar->ReadInt("v", 0), 1);
}

TEST(XmlFormat, OpenTextStripsTheWrapper) {
  CNxObjArXML ar;
  ASSERT_TRUE(ar.OpenText("", true));
  ar.EnterNode("PRJ0"); ar.WriteString("Name", "a"); ar.LeaveNode();
  ar.EnterNode("PRJ1"); ar.LeaveNode();
  ar.Close();
  EXPECT_EQ(ar.Target(), "<PRJ0 Name=\"a\"/><PRJ1/>");

  CNxObjArXML empty;
  ASSERT_TRUE(empty.OpenText("", true));
  empty.Close();
  EXPECT_EQ(empty.Target(), "");

  CNxObjArXML back;
  ASSERT_TRUE(back.OpenText(ar.Target(), false));
  ASSERT_TRUE(back.EnterNode("PRJ0"));
  EXPECT_EQ(back.ReadString("Name", ""), "a");
}

// The archive's text must be the DOM writer's text for the same tree built directly:
// every byte value in an attribute, names that are empty, non-ASCII or not UTF-8, a value
// overwritten, values after children, nesting. Both file form (UTF-16) and OpenText. The
// file form holds UTF-16 made by the programs' converter, so the DOM is given the text
// that converter makes of bytes that are not UTF-8 (the DOM's writer would drop them or
// write lone surrogates); OpenText keeps the program's UTF-8 bytes as they are.
TEST(XmlFormat, TextIsTheDomWritersText) {
  struct TBoth {
    CNxObjAr& ar;
    std::vector<pugi::xml_node> dom;
    bool utf16 = true;
    std::string Dom(const std::string& t) const { return utf16 ? ValidUtf8(t) : t; }
    void Enter(const std::string& n) {
      ar.EnterNode(n);
      dom.push_back(dom.back().append_child(Dom(n).c_str()));
    }
    void Leave() {
      ar.LeaveNode();
      dom.pop_back();
    }
    void Put(const std::string& n, const std::string& v) {
      ar.WriteString(n, v);
      pugi::xml_attribute a = dom.back().attribute(Dom(n).c_str());
      if (!a) a = dom.back().append_attribute(Dom(n).c_str());
      a.set_value(Dom(v).c_str());
    }
  };
  // (OpenText keeps values off the root: its text is the root's children only.)
  const auto fill = [](TBoth& b, bool onText) {
    b.Enter("Bytes");
    for (int c = 1; c < 256; ++c) b.Put("v" + std::to_string(c), "a" + std::string(1, char(c)) + "b");
    b.Leave();
    for (const char* name : {"", "\xE4\xB8\xAD\xE6\x96\x87", "\xC3", "x\xF0\x9F\x98\x80", "\xED\xA0\x80", "\xF7\xBF\xBF\xBFz"}) {
      b.Enter(name);
      b.Put(name, name);
      b.Put("", "unnamed");
      b.Put("", "unnamed again");
      b.Put("dup", "first");
      b.Enter("Inner");
      b.Leave();
      b.Put("dup", "second, after a child");
      b.Leave();
    }
    if (!onText) b.Put("Count", "2");
  };
  for (const bool onText : {false, true}) {
    SCOPED_TRACE(onText ? "OpenText" : "file form");
    TNxMemStream s;
    CNxObjArXML ar;
    ASSERT_TRUE(onText ? ar.OpenText("", true) : ar.Open(s.Designation(), true));
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-16";
    TBoth both{ar, {doc.append_child("XML_OBJ_STORE")}, !onText};
    fill(both, onText);
    ar.Close();
    struct TOut : pugi::xml_writer {
      std::string text;
      void write(const void* d, size_t n) override { text.append(static_cast<const char*>(d), n); }
    } want;
    if (onText) {
      doc.document_element().print(want, "", pugi::format_raw, pugi::encoding_utf8);
      EXPECT_EQ("<XML_OBJ_STORE>" + ar.Target() + "</XML_OBJ_STORE>", want.text);
    } else {
      doc.save(want, "\t", pugi::format_indent | pugi::format_write_bom, pugi::encoding_utf16_le);
      EXPECT_EQ(s.Bytes(), want.text);
    }
  }
}

}  // namespace
