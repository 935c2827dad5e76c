// What the page host needs from an HTML page: its objects with their PARAMs and its
// JScript blocks, in document order. A forgiving scanner, as browsers are: unknown markup
// is skipped, attribute names and tags ignore case, values may be quoted either way or not.
#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace host {

struct PageParam {
  std::wstring name;
  std::wstring value;
};

struct PageObject {
  std::wstring classid;       // the classid attribute as written ("clsid:...")
  std::optional<CLSID> clsid; // parsed from classid; empty when it names no class id
  std::wstring id;
  std::wstring codebase;
  std::optional<int> width;   // pixels; empty when absent or not a pixel length
  std::optional<int> height;
  std::vector<PageParam> params;
  int line = 1;               // line of the <object> tag, for messages
};

struct PageScript {
  std::wstring text;      // the code, with HTML comment markers turned into line comments
  std::wstring src;       // the src attribute, when the code lives in another file
  int first_line = 1;     // page line on which text starts (1-based)
};

struct SkippedScript {
  std::wstring language;  // what the block asked for (language or type)
  int line = 1;
};

struct Page {
  std::vector<PageObject> objects;
  std::vector<PageScript> scripts;
  std::vector<SkippedScript> skipped;  // blocks in other languages or for events
  std::optional<COLORREF> background;  // <body bgcolor=...>
};

Page ParsePage(const std::wstring& html);

// Page bytes to text: byte-order marks for UTF-8 and UTF-16, else UTF-8 when the bytes are
// valid UTF-8, else the code page a <meta charset> names, else the system's ANSI code page.
std::wstring DecodePageBytes(const std::string& bytes);

// "clsid:33CA74CD-..." (braces optional, any case) to a class id.
std::optional<CLSID> ParseClassId(const std::wstring& classid);

// "716", "716px" -> 716. Percentages, negatives and junk give nothing.
std::optional<int> ParsePixelLength(const std::wstring& value);

// "#RRGGBB", "RRGGBB" or a few colour names -> COLORREF.
std::optional<COLORREF> ParseHtmlColor(const std::wstring& value);

}  // namespace host
