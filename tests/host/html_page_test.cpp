// Reading pages as sites write them: objects, PARAMs and script blocks.
#include <gtest/gtest.h>

#include "html_page.h"

using host::ParsePage;

namespace {

const CLSID kControl = {0x33CA74CD, 0xE214, 0x41D1, {0x9E, 0x2D, 0x50, 0x7E, 0x7C, 0x17, 0x07, 0x9E}};

TEST(PageObjects, AttributesInAnyCaseAndQuoting) {
  auto page = ParsePage(
      L"<html><body>\n"
      L"<OBJECT ClassID=\"CLSID:33ca74cd-e214-41d1-9e2d-507e7c17079e\" ID=ovt Width='716' HEIGHT=188px\n"
      L"        codebase=\"ovtransfer.cab#version=2,0,672,0\">\n"
      L"  <PARAM NAME=\"DatabaseGUID\" VALUE=\"{ABC}\">\n"
      L"  <param name='UploadRate' value='1024'/>\n"
      L"  <Param name=EnabledRate value=0>\n"
      L"  <param name=\"SnapshotUploadUrl\" value=\"http://h/s?a=1&amp;b=&quot;2&quot;&#x41;&#66;\">\n"
      L"  <param name=\"Empty\" value=\"\"><param name=NoValue>\n"
      L"</OBJECT>\n"
      L"<param name=\"Stray\" value=\"x\">\n");
  ASSERT_EQ(page.objects.size(), 1u);
  const auto& o = page.objects[0];
  ASSERT_TRUE(o.clsid);
  EXPECT_TRUE(IsEqualCLSID(*o.clsid, kControl));
  EXPECT_EQ(o.id, L"ovt");
  EXPECT_EQ(o.width, 716);
  EXPECT_EQ(o.height, 188);
  EXPECT_EQ(o.codebase, L"ovtransfer.cab#version=2,0,672,0");
  EXPECT_EQ(o.line, 2);
  ASSERT_EQ(o.params.size(), 6u);  // the stray PARAM after </object> belongs to nothing
  EXPECT_EQ(o.params[0].name, L"DatabaseGUID");
  EXPECT_EQ(o.params[0].value, L"{ABC}");
  EXPECT_EQ(o.params[1].value, L"1024");
  EXPECT_EQ(o.params[2].name, L"EnabledRate");
  EXPECT_EQ(o.params[2].value, L"0");
  EXPECT_EQ(o.params[3].value, L"http://h/s?a=1&b=\"2\"AB");
  EXPECT_EQ(o.params[4].value, L"");
  EXPECT_EQ(o.params[5].name, L"NoValue");
}

TEST(PageObjects, QuotedValuesMayHoldMarkupCharacters) {
  auto page = ParsePage(L"<object classid=\"clsid:{33CA74CD-E214-41D1-9E2D-507E7C17079E}\" id=\"a>b\">"
                        L"<param name=\"x\" value='<b>&lt;</b>'></object>");
  ASSERT_EQ(page.objects.size(), 1u);
  ASSERT_TRUE(page.objects[0].clsid);  // braces are allowed
  EXPECT_EQ(page.objects[0].id, L"a>b");
  ASSERT_EQ(page.objects[0].params.size(), 1u);
  EXPECT_EQ(page.objects[0].params[0].value, L"<b><</b>");
}

TEST(PageObjects, CommentsScriptsAndOddSizesAreNotObjects) {
  auto page = ParsePage(
      L"<!-- <object classid=\"clsid:33CA74CD-E214-41D1-9E2D-507E7C17079E\" id=hidden></object> -->\n"
      L"<script>var s = '<object classid=\"clsid:33CA74CD-E214-41D1-9E2D-507E7C17079E\">';</script>\n"
      L"<object data=\"movie.swf\" id=flash width=100% height=-4></object>\n"
      L"<object classid=\"clsid:not-a-guid\" id=bad></object>\n");
  ASSERT_EQ(page.objects.size(), 2u);
  EXPECT_EQ(page.objects[0].id, L"flash");
  EXPECT_FALSE(page.objects[0].clsid);
  EXPECT_FALSE(page.objects[0].width);
  EXPECT_FALSE(page.objects[0].height);
  EXPECT_FALSE(page.objects[1].clsid);
  EXPECT_EQ(page.scripts.size(), 1u);
}

TEST(PageObjects, ParamsGoToTheInnermostOpenObject) {
  auto page = ParsePage(L"<object classid=\"clsid:33CA74CD-E214-41D1-9E2D-507E7C17079E\" id=outer>"
                        L"<param name=a value=1>"
                        L"<object classid=\"clsid:33CA74CD-E214-41D1-9E2D-507E7C17079E\" id=inner>"
                        L"<param name=b value=2></object><param name=c value=3></object>");
  ASSERT_EQ(page.objects.size(), 2u);
  ASSERT_EQ(page.objects[0].params.size(), 2u);
  EXPECT_EQ(page.objects[0].params[1].name, L"c");
  ASSERT_EQ(page.objects[1].params.size(), 1u);
  EXPECT_EQ(page.objects[1].params[0].name, L"b");
}

TEST(PageScripts, OnlyJScriptBlocksRunInPageOrder) {
  auto page = ParsePage(
      L"<script>one()</script>\n"
      L"<SCRIPT LANGUAGE=\"JavaScript\">two()</SCRIPT >\n"
      L"<script language='jscript'>three()</script>\n"
      L"<script type=\"text/javascript; charset=utf-8\">four()</script>\n"
      L"<script type=\"text/vbscript\">MsgBox 1</script>\n"
      L"<script language=\"VBScript\">MsgBox 2</script>\n"
      L"<script type=\"text/template\"><div></div></script>\n"
      L"<script for=\"ovt\" event=\"OnDone()\">five()</script>\n"
      L"<script language=javascript1.2>six()</script>\n");
  ASSERT_EQ(page.scripts.size(), 5u);
  EXPECT_EQ(page.scripts[0].text, L"one()");
  EXPECT_EQ(page.scripts[1].text, L"two()");
  EXPECT_EQ(page.scripts[2].text, L"three()");
  EXPECT_EQ(page.scripts[3].text, L"four()");
  EXPECT_EQ(page.scripts[4].text, L"six()");
  EXPECT_EQ(page.scripts[4].first_line, 9);
  ASSERT_EQ(page.skipped.size(), 4u);
  EXPECT_EQ(page.skipped[0].language, L"text/vbscript");
  EXPECT_EQ(page.skipped[0].line, 5);
}

TEST(PageScripts, KeepsLinesAndHidesOldCommentMarkers) {
  auto page = ParsePage(L"<html>\n<body>\n<script type=text/javascript>\n<!--\nvar a = 1;\n  // -->\n-->\n</script>"
                        L"<script src=\"lib.js\"></script><script>unterminated");
  ASSERT_EQ(page.scripts.size(), 3u);
  EXPECT_EQ(page.scripts[0].first_line, 3);  // the code starts right after '>' on line 3
  EXPECT_EQ(page.scripts[0].text, L"\n//  \nvar a = 1;\n  // -->\n// \n");
  EXPECT_EQ(page.scripts[1].src, L"lib.js");
  EXPECT_EQ(page.scripts[2].text, L"unterminated");
}

TEST(PageBody, BackgroundColour) {
  EXPECT_EQ(ParsePage(L"<body bgcolor=\"#102030\">").background, RGB(0x10, 0x20, 0x30));
  EXPECT_EQ(ParsePage(L"<BODY BGCOLOR=White>").background, RGB(255, 255, 255));
  EXPECT_FALSE(ParsePage(L"<body bgcolor=\"#12\">").background);
  EXPECT_FALSE(ParsePage(L"<body>").background);
}

TEST(PageBytes, EncodingsAPageMayUse) {
  // UTF-8 with and without its mark; UTF-16 with its mark; GBK named by the page.
  EXPECT_EQ(host::DecodePageBytes("\xEF\xBB\xBF<p>\xE6\x8E\x92\xE9\x98\x9F"), L"<p>\x6392\x961F");
  EXPECT_EQ(host::DecodePageBytes("<p>\xE6\x8E\x92"), L"<p>\x6392");
  EXPECT_EQ(host::DecodePageBytes(std::string("\xFF\xFE<\0p\0>\0", 8)), L"<p>");
  EXPECT_EQ(host::DecodePageBytes("<meta charset=\"gb2312\"><p>\xC5\xC5\xB6\xD3"),
            L"<meta charset=\"gb2312\"><p>\x6392\x961F");
  EXPECT_EQ(host::DecodePageBytes(""), L"");
}

TEST(PageValues, ClassIdsAndLengths) {
  EXPECT_TRUE(host::ParseClassId(L"  clsid:33CA74CD-E214-41D1-9E2D-507E7C17079E "));
  EXPECT_FALSE(host::ParseClassId(L"33CA74CD-E214-41D1-9E2D-507E7C17079E"));
  EXPECT_FALSE(host::ParseClassId(L"clsid:33CA74CD-E214-41D1-9E2D-507E7C17079"));
  EXPECT_FALSE(host::ParseClassId(L"clsid:"));
  EXPECT_EQ(host::ParsePixelLength(L" 42 "), 42);
  EXPECT_FALSE(host::ParsePixelLength(L"0"));
  EXPECT_FALSE(host::ParsePixelLength(L"4.5"));
  EXPECT_FALSE(host::ParsePixelLength(L"99999999999"));
}

}  // namespace
