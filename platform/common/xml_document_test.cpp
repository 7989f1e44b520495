// The XML document's preserving round trip: bytes kept, encodings kept, texts plain to the
// caller, new elements laid out like their siblings, and what cannot be parsed refused.
#include "platform/xml_document.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string RoundTrip(const std::string& in) {
  XmlDocument doc;
  std::string error;
  EXPECT_TRUE(doc.ParsePreserving(in, error)) << error;
  return doc.Bytes();
}

TEST(XmlPreserving, EveryNodeKindAndAllWhitespaceComeBackByteForByte) {
  const std::string in =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
      "<!DOCTYPE profile [ <!ENTITY machine \"mill\"> ]>\r\n"
      "<!-- written by the host;  keep -->\r\n"
      "<?host-tool version 3?>\r\n"
      "<profile version=\"3\">\r\n"
      "\t<Host units=\"mm &amp; deg\">A&amp;B &lt;x&gt; &#x41;&#66; &machine;</Host>\r\n"
      "\t<Script><![CDATA[ if (a < b && c) ]]></Script>\r\n"
      "\t<Multi note=\"line one\r\n\tline two\">  padded  </Multi>\r\n"
      "\t<Empty/>\r\n"
      "</profile>\r\n"
      "<!-- after the root -->\r\n";
  EXPECT_EQ(RoundTrip(in), in);
}

TEST(XmlPreserving, TheFilesOwnFormsOfQuotesAndEmptyElementsAreKept) {
  for (const char* in : {
           "<profile a='1'>\n  <b c='2'/>\n</profile>\n",
           "<?xml version=\"1.0\"?>\n<profile>\n  <a x=\"1\" />\n  <b />\n</profile>\n",
           "<profile><a></a><b x=\"1\"></b></profile>",
           "<profile><a/><b/></profile>",
       }) {
    EXPECT_EQ(RoundTrip(in), in);
  }
}

TEST(XmlPreserving, AQuoteInsideTheOtherQuotesStaysInsideItsValue) {
  XmlDocument doc;
  std::string error;
  ASSERT_TRUE(doc.ParsePreserving("<p a=\"1\" b=\"2\" c=\"3\" d='say \"hi\"'/>", error)) << error;
  XmlDocument again;
  ASSERT_TRUE(again.ParsePreserving(doc.Bytes(), error)) << doc.Bytes() << ": " << error;
  EXPECT_EQ(again.Bytes(), doc.Bytes());
  EXPECT_EQ(doc.Bytes(), "<p a=\"1\" b=\"2\" c=\"3\" d=\"say &quot;hi&quot;\"/>");
}

TEST(XmlPreserving, NonUtf8BytesOfADeclaredEncodingSurvive) {
  // GB2312 for "machine" (two characters) in one section and Latin-1 in a comment.
  const std::string gb =
      "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<profile>\n  <Host>\xBB\xFA\xB4\xB2</Host>\n"
      "  <!-- caf\xE9 -->\n  <VEX><seg_len>3000</seg_len></VEX>\n</profile>\n";
  XmlDocument doc;
  std::string error;
  ASSERT_TRUE(doc.ParsePreserving(gb, error)) << error;
  EXPECT_EQ(doc.Bytes(), gb);
  doc.Root().FirstChild("VEX").FirstChild("seg_len").SetText("2500");
  std::string expected = gb;
  expected.replace(expected.find("3000"), 4, "2500");
  EXPECT_EQ(doc.Bytes(), expected);

  const std::string latin = "<?xml version='1.0' encoding='ISO-8859-1'?><p>\xE9\xFF\x80</p>";
  EXPECT_EQ(RoundTrip(latin), latin);
  const std::string utf8_bom = "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<p>\xC3\xA9</p>\n";
  EXPECT_EQ(RoundTrip(utf8_bom), utf8_bom);
  XmlDocument utf8;
  ASSERT_TRUE(utf8.ParsePreserving(utf8_bom, error));
  EXPECT_EQ(utf8.Root().Text(), "\xC3\xA9") << "UTF-8 text is read as UTF-8";
}

TEST(XmlPreserving, Utf16WithItsMarkIsWrittenBackInUtf16) {
  std::string u16 = "\xFF\xFE";
  for (char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<p><v>7</v></p>\r\n")) {
    u16 += c;
    u16 += '\0';
  }
  XmlDocument doc;
  std::string error;
  ASSERT_TRUE(doc.ParsePreserving(u16, error)) << error;
  EXPECT_EQ(doc.Bytes(), u16);
  EXPECT_EQ(doc.Root().FirstChild("v").Text(), "7");
}

TEST(XmlPreserving, TextsArePlainToTheCallerAndEscapedInTheFile) {
  XmlDocument doc;
  std::string error;
  ASSERT_TRUE(doc.ParsePreserving("<p><a>x &amp; y&#33;</a><b><![CDATA[<raw>]]></b><c/></p>", error));
  XmlElement root = doc.Root();
  EXPECT_EQ(root.FirstChild("a").Text(), "x & y!");
  EXPECT_EQ(root.FirstChild("b").Text(), "<raw>");
  EXPECT_EQ(root.FirstChild("c").Text(), "");
  root.FirstChild("c").SetText("1 < 2 & 3");
  root.FirstChild("b").SetText("ends ]]> here");
  EXPECT_EQ(doc.Bytes(), "<p><a>x &amp; y&#33;</a><b>ends ]]&gt; here</b><c>1 &lt; 2 &amp; 3</c></p>");
  XmlDocument again;
  ASSERT_TRUE(again.ParsePreserving(doc.Bytes(), error)) << error;
  EXPECT_EQ(again.Root().FirstChild("c").Text(), "1 < 2 & 3");
}

TEST(XmlPreserving, NewElementsFollowTheLayoutAndRemovedOnesTakeTheirLine) {
  XmlDocument doc;
  std::string error;
  ASSERT_TRUE(doc.ParsePreserving("<profile>\n  <Host>\n    <a>1</a>\n  </Host>\n</profile>\n", error));
  XmlElement host = doc.Root().FirstChild("Host");
  host.AppendChild("b").SetText("2");
  XmlElement vex = doc.Root().AppendChild("VEX");
  vex.AppendChild("seg_len").SetText("3000");
  vex.AppendChild("mpg_src").SetText("0");
  EXPECT_EQ(doc.Bytes(),
            "<profile>\n  <Host>\n    <a>1</a>\n    <b>2</b>\n  </Host>\n"
            "  <VEX>\n    <seg_len>3000</seg_len>\n    <mpg_src>0</mpg_src>\n  </VEX>\n</profile>\n");
  vex.RemoveChild(vex.FirstChild("seg_len"));
  host.RemoveChild(host.FirstChild("b"));
  EXPECT_EQ(doc.Bytes(),
            "<profile>\n  <Host>\n    <a>1</a>\n  </Host>\n  <VEX>\n    <mpg_src>0</mpg_src>\n  </VEX>\n</profile>\n");
}

TEST(XmlPreserving, WhatIsNoDocumentIsRefusedWithAReason) {
  for (const char* bad : {"<profile><a></b></profile>", "<a/><b/>", "text<a/>", "", "<profile>"}) {
    XmlDocument doc;
    std::string error;
    EXPECT_FALSE(doc.ParsePreserving(bad, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_FALSE(doc.Root()) << bad;
  }
}

TEST(XmlPreserving, LoadTellsMissingAndBlankFromUnreadable) {
  const fs::path dir = fs::temp_directory_path() / "kv-xml-load";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = (dir / "p.xml").string();
  XmlDocument doc;
  std::string error;
  EXPECT_EQ(doc.LoadPreserving(path, error), XmlLoad::kMissing);
  std::ofstream(path) << " \r\n";
  EXPECT_EQ(doc.LoadPreserving(path, error), XmlLoad::kMissing) << "white space holds nothing to keep";
  std::ofstream(path) << "<profile><VEX></profile>";
  EXPECT_EQ(doc.LoadPreserving(path, error), XmlLoad::kUnreadable);
  EXPECT_NE(error.find("mismatch"), std::string::npos) << error;
  std::ofstream(path) << "<profile><VEX/></profile>";
  EXPECT_EQ(doc.LoadPreserving(path, error), XmlLoad::kLoaded);
  EXPECT_TRUE(doc.Root().FirstChild("VEX"));
  EXPECT_EQ(doc.LoadPreserving(dir.string(), error), XmlLoad::kUnreadable) << "a folder at the path";
  fs::remove_all(dir);
}

TEST(XmlDocument, PlainLoadDecodesAndANewDocumentIsSavedDeclaredAndIndented) {
  const fs::path dir = fs::temp_directory_path() / "kv-xml-plain";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = (dir / "p.xml").string();
  {
    XmlDocument doc;
    doc.CreateRoot("profile").AppendChild("VEX").AppendChild("seg_len").SetText("a&b");
    ASSERT_TRUE(doc.Save(path));
  }
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "<?xml version=\"1.0\"?>\n<profile>\n  <VEX>\n    <seg_len>a&amp;b</seg_len>\n  </VEX>\n</profile>\n");
  XmlDocument doc;
  ASSERT_TRUE(doc.Load(path));
  EXPECT_EQ(doc.Root().FirstChild("VEX").FirstChild("seg_len").Text(), "a&b");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace platform
