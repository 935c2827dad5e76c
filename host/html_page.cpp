#include "html_page.h"

#include <algorithm>
#include <cwctype>
#include <map>

namespace host {
namespace {

wchar_t Lower(wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); }

std::wstring ToLower(std::wstring s) {
  for (auto& c : s) c = Lower(c);
  return s;
}

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f'; }

std::wstring Trim(const std::wstring& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsSpace(s[b])) ++b;
  while (e > b && IsSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Case-insensitive search for an ASCII needle (given in lower case).
size_t FindNoCase(const std::wstring& hay, const wchar_t* needle, size_t from) {
  size_t n = wcslen(needle);
  for (size_t i = from; i + n <= hay.size(); ++i) {
    size_t k = 0;
    while (k < n && Lower(hay[i + k]) == needle[k]) ++k;
    if (k == n) return i;
  }
  return std::wstring::npos;
}

void AppendCodePoint(std::wstring& out, unsigned long cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    out += L'\xFFFD';
  } else if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (cp >> 10));
    out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<wchar_t>(cp);
  }
}

// Character references in attribute values; an unknown or unterminated one stays as written.
std::wstring DecodeEntities(const std::wstring& s) {
  static const std::map<std::wstring, wchar_t> named = {
      {L"amp", L'&'}, {L"lt", L'<'}, {L"gt", L'>'}, {L"quot", L'"'}, {L"apos", L'\''}, {L"nbsp", L'\xA0'}};
  std::wstring out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != L'&') {
      out += s[i];
      continue;
    }
    size_t semi = s.find(L';', i + 1);
    if (semi == std::wstring::npos || semi - i > 10) {
      out += s[i];
      continue;
    }
    std::wstring ref = s.substr(i + 1, semi - i - 1);
    if (!ref.empty() && ref[0] == L'#') {
      bool hex = ref.size() > 1 && (ref[1] == L'x' || ref[1] == L'X');
      std::wstring digits = ref.substr(hex ? 2 : 1);
      bool ok = !digits.empty() && std::all_of(digits.begin(), digits.end(), [&](wchar_t c) {
        return hex ? std::iswxdigit(c) : std::iswdigit(c);
      });
      if (ok) {
        AppendCodePoint(out, wcstoul(digits.c_str(), nullptr, hex ? 16 : 10));
        i = semi;
        continue;
      }
    } else if (auto it = named.find(ToLower(ref)); it != named.end()) {
      out += it->second;
      i = semi;
      continue;
    }
    out += s[i];
  }
  return out;
}

struct Tag {
  std::wstring name;                          // lower case
  std::map<std::wstring, std::wstring> attrs; // names lower case; the first of a repeated name wins
  bool self_closing = false;
  size_t end = 0;                             // just past '>'
};

// Reads a start tag whose '<' is at pos. Quoted values may hold '>'.
Tag ReadTag(const std::wstring& t, size_t pos) {
  Tag tag;
  size_t i = pos + 1;
  while (i < t.size() && (std::iswalnum(t[i]) || t[i] == L'-' || t[i] == L':')) tag.name += Lower(t[i++]);
  while (i < t.size()) {
    while (i < t.size() && (IsSpace(t[i]) || t[i] == L'/')) {
      if (t[i] == L'/' && i + 1 < t.size() && t[i + 1] == L'>') tag.self_closing = true;
      ++i;
    }
    if (i >= t.size()) break;
    if (t[i] == L'>') {
      ++i;
      break;
    }
    std::wstring name;
    while (i < t.size() && !IsSpace(t[i]) && t[i] != L'=' && t[i] != L'>' &&
           !(t[i] == L'/' && i + 1 < t.size() && t[i + 1] == L'>'))
      name += Lower(t[i++]);
    while (i < t.size() && IsSpace(t[i])) ++i;
    std::wstring value;
    if (i < t.size() && t[i] == L'=') {
      ++i;
      while (i < t.size() && IsSpace(t[i])) ++i;
      if (i < t.size() && (t[i] == L'"' || t[i] == L'\'')) {
        wchar_t q = t[i++];
        size_t close = t.find(q, i);
        if (close == std::wstring::npos) close = t.size();
        value = t.substr(i, close - i);
        i = std::min(close + 1, t.size());
      } else {
        while (i < t.size() && !IsSpace(t[i]) && t[i] != L'>') value += t[i++];
      }
    }
    if (!name.empty()) tag.attrs.emplace(name, DecodeEntities(value));
  }
  tag.end = i;
  return tag;
}

std::wstring Attr(const Tag& tag, const wchar_t* name) {
  auto it = tag.attrs.find(name);
  return it == tag.attrs.end() ? std::wstring() : it->second;
}

// Which script blocks are JScript: no language and no type, or one of the JavaScript names.
std::optional<std::wstring> ForeignLanguage(const Tag& tag) {
  std::wstring type = ToLower(Trim(Attr(tag, L"type")));
  std::wstring language = ToLower(Trim(Attr(tag, L"language")));
  if (!type.empty()) {
    std::wstring base = type.substr(0, type.find(L';'));
    base = Trim(base);
    static const wchar_t* ok[] = {L"text/javascript", L"text/jscript", L"application/javascript",
                                  L"application/x-javascript", L"text/ecmascript", L"application/ecmascript"};
    for (auto* name : ok)
      if (base == name) return std::nullopt;
    return Attr(tag, L"type");
  }
  if (language.empty() || language == L"jscript" || language == L"javascript" || language == L"ecmascript" ||
      (language.rfind(L"javascript1.", 0) == 0))
    return std::nullopt;
  return Attr(tag, L"language");
}

// Old pages hide their code from ancient browsers in "<!-- ... -->"; the script engine
// must see those markers as line comments. Lengths stay, so columns do too.
std::wstring NeutraliseCommentMarkers(std::wstring code) {
  size_t line_start = 0;
  while (line_start <= code.size()) {
    size_t i = line_start;
    while (i < code.size() && (code[i] == L' ' || code[i] == L'\t')) ++i;
    if (code.compare(i, 4, L"<!--") == 0) code.replace(i, 4, L"//  ");
    else if (code.compare(i, 3, L"-->") == 0) code.replace(i, 3, L"// ");
    size_t nl = code.find(L'\n', line_start);
    if (nl == std::wstring::npos) break;
    line_start = nl + 1;
  }
  return code;
}

}  // namespace

std::optional<CLSID> ParseClassId(const std::wstring& classid) {
  std::wstring s = Trim(classid);
  if (ToLower(s.substr(0, 6)) != L"clsid:") return std::nullopt;
  s = Trim(s.substr(6));
  if (!s.empty() && s.front() == L'{') s.erase(0, 1);
  if (!s.empty() && s.back() == L'}') s.pop_back();
  if (s.size() != 36) return std::nullopt;
  std::wstring braced = L"{" + s + L"}";
  CLSID id;
  if (FAILED(CLSIDFromString(braced.c_str(), &id))) return std::nullopt;
  return id;
}

std::optional<int> ParsePixelLength(const std::wstring& value) {
  std::wstring s = ToLower(Trim(value));
  if (s.size() > 2 && s.compare(s.size() - 2, 2, L"px") == 0) s = Trim(s.substr(0, s.size() - 2));
  if (s.empty() || s.size() > 6) return std::nullopt;
  if (!std::all_of(s.begin(), s.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) return std::nullopt;
  int v = static_cast<int>(wcstol(s.c_str(), nullptr, 10));
  if (v <= 0 || v > 32767) return std::nullopt;
  return v;
}

std::optional<COLORREF> ParseHtmlColor(const std::wstring& value) {
  std::wstring s = ToLower(Trim(value));
  static const std::map<std::wstring, COLORREF> names = {
      {L"white", RGB(255, 255, 255)}, {L"black", RGB(0, 0, 0)},     {L"silver", RGB(192, 192, 192)},
      {L"gray", RGB(128, 128, 128)},  {L"red", RGB(255, 0, 0)},     {L"green", RGB(0, 128, 0)},
      {L"blue", RGB(0, 0, 255)},      {L"yellow", RGB(255, 255, 0)}};
  if (auto it = names.find(s); it != names.end()) return it->second;
  if (!s.empty() && s[0] == L'#') s.erase(0, 1);
  if (s.size() != 6 || !std::all_of(s.begin(), s.end(), [](wchar_t c) { return std::iswxdigit(c) != 0; }))
    return std::nullopt;
  unsigned long v = wcstoul(s.c_str(), nullptr, 16);
  return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

Page ParsePage(const std::wstring& t) {
  Page page;
  std::vector<size_t> newlines;
  for (size_t i = 0; i < t.size(); ++i)
    if (t[i] == L'\n') newlines.push_back(i);
  auto line_at = [&](size_t pos) {
    return static_cast<int>(std::lower_bound(newlines.begin(), newlines.end(), pos) - newlines.begin()) + 1;
  };

  std::vector<size_t> open_objects;  // indexes into page.objects, innermost last
  size_t pos = 0;
  while ((pos = t.find(L'<', pos)) != std::wstring::npos) {
    if (t.compare(pos, 4, L"<!--") == 0) {
      size_t end = t.find(L"-->", pos + 4);
      pos = end == std::wstring::npos ? t.size() : end + 3;
      continue;
    }
    if (pos + 1 < t.size() && (t[pos + 1] == L'!' || t[pos + 1] == L'?')) {
      size_t end = t.find(L'>', pos);
      pos = end == std::wstring::npos ? t.size() : end + 1;
      continue;
    }
    if (pos + 1 < t.size() && t[pos + 1] == L'/') {
      size_t i = pos + 2;
      std::wstring name;
      while (i < t.size() && std::iswalnum(t[i])) name += Lower(t[i++]);
      if (name == L"object" && !open_objects.empty()) open_objects.pop_back();
      size_t end = t.find(L'>', i);
      pos = end == std::wstring::npos ? t.size() : end + 1;
      continue;
    }
    if (pos + 1 >= t.size() || !std::iswalpha(t[pos + 1])) {
      ++pos;  // a lone '<' in text
      continue;
    }
    Tag tag = ReadTag(t, pos);
    int line = line_at(pos);
    pos = tag.end;

    if (tag.name == L"script") {
      size_t close = FindNoCase(t, L"</script", pos);
      size_t body_end = close == std::wstring::npos ? t.size() : close;
      std::wstring body = tag.self_closing ? std::wstring() : t.substr(pos, body_end - pos);
      int body_line = line_at(pos);
      if (!tag.self_closing) {
        size_t gt = close == std::wstring::npos ? std::wstring::npos : t.find(L'>', close);
        pos = gt == std::wstring::npos ? t.size() : gt + 1;
      }
      if (auto foreign = ForeignLanguage(tag)) {
        page.skipped.push_back({*foreign, line});
      } else if (tag.attrs.count(L"for") || tag.attrs.count(L"event")) {
        page.skipped.push_back({L"event handler", line});  // the control fires no events
      } else {
        PageScript script;
        script.text = NeutraliseCommentMarkers(body);
        script.src = Trim(Attr(tag, L"src"));
        script.first_line = body_line;
        page.scripts.push_back(std::move(script));
      }
      continue;
    }
    if (tag.name == L"style" || tag.name == L"textarea" || tag.name == L"title" || tag.name == L"xmp") {
      // Raw text: markup inside is not markup.
      std::wstring closing = L"</" + tag.name;
      size_t close = FindNoCase(t, closing.c_str(), pos);
      if (close == std::wstring::npos) break;
      pos = close;
      continue;
    }
    if (tag.name == L"object") {
      PageObject object;
      object.classid = Trim(Attr(tag, L"classid"));
      object.clsid = ParseClassId(object.classid);
      object.id = Trim(Attr(tag, L"id"));
      if (object.id.empty()) object.id = Trim(Attr(tag, L"name"));
      object.codebase = Attr(tag, L"codebase");
      object.width = ParsePixelLength(Attr(tag, L"width"));
      object.height = ParsePixelLength(Attr(tag, L"height"));
      object.line = line;
      page.objects.push_back(std::move(object));
      if (!tag.self_closing) open_objects.push_back(page.objects.size() - 1);
      continue;
    }
    if (tag.name == L"param") {
      if (!open_objects.empty() && tag.attrs.count(L"name"))
        page.objects[open_objects.back()].params.push_back({Trim(Attr(tag, L"name")), Attr(tag, L"value")});
      continue;
    }
    if (tag.name == L"body" && !page.background) page.background = ParseHtmlColor(Attr(tag, L"bgcolor"));
  }
  return page;
}

std::wstring DecodePageBytes(const std::string& bytes) {
  auto convert = [&](UINT cp, size_t skip, DWORD flags) -> std::optional<std::wstring> {
    if (bytes.size() - skip > 0x7FFFFFFF) return std::nullopt;
    int len = static_cast<int>(bytes.size() - skip);
    if (len == 0) return std::wstring();
    int n = MultiByteToWideChar(cp, flags, bytes.data() + skip, len, nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(cp, flags, bytes.data() + skip, len, out.data(), n);
    return out;
  };
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::wstring out((bytes.size() - 2) / 2, L'\0');
    for (size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                    (static_cast<unsigned char>(bytes[3 + 2 * i]) << 8));
    return out;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    if (auto s = convert(CP_UTF8, 3, 0)) return *s;
  }
  if (auto s = convert(CP_UTF8, 0, MB_ERR_INVALID_CHARS)) return *s;
  // Not UTF-8: a Chinese site's page is usually GBK and says so.
  std::string head = bytes.substr(0, 4096);
  for (auto& c : head) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  UINT cp = CP_ACP;
  size_t at = head.find("charset=");
  if (at != std::string::npos) {
    std::string name = head.substr(at + 8, 12);
    if (!name.empty() && (name[0] == '"' || name[0] == '\'')) name.erase(0, 1);
    if (name.rfind("gb2312", 0) == 0 || name.rfind("gbk", 0) == 0 || name.rfind("gb18030", 0) == 0) cp = 936;
    else if (name.rfind("big5", 0) == 0) cp = 950;
    else if (name.rfind("iso-8859-1", 0) == 0 || name.rfind("windows-1252", 0) == 0) cp = 1252;
  }
  if (auto s = convert(cp, 0, 0)) return *s;
  return std::wstring();
}

}  // namespace host
