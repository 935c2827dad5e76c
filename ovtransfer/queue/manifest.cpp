#include "manifest.h"

namespace {

// The secondary remote name after its last "/", cut before the first "?" of that rest.
std::wstring BaseName(const std::wstring& remote_name) {
  const size_t slash = remote_name.rfind(L'/');
  std::wstring base = slash == std::wstring::npos ? remote_name : remote_name.substr(slash + 1);
  return base.substr(0, base.find(L'?'));
}

}  // namespace

std::wstring BuildManifest(const std::wstring& link, const std::wstring& remote_name2, const UploadTask& task) {
  // Values go in as they are: nothing is escaped.
  std::wstring text = L"<?xml version=\"1.0\" encoding=\"unicode\"?>\r\n<WEBRESOURCE version=\"1.0\">\r\n<ENTRY href=\"";
  text += link;
  text += L"\" base=\"";
  text += BaseName(remote_name2);
  text += L"\" type=\"link\" />\r\n<INFO>\r\n<TOTALSIZE>";
  text += std::to_wstring(task.total_size);
  text += L"</TOTALSIZE>\r\n</INFO>\r\n<FILES>\r\n";
  for (const UploadFile& entry : task.files) {
    if (entry.relative_name.empty()) continue;
    text += L"<FILE href=\"" + entry.relative_name + L"\" size=\"" + std::to_wstring(entry.size) + L"\" />\r\n";
  }
  text += L"</FILES>\r\n</WEBRESOURCE>\r\n";
  return text;
}
