// The user's choice of servers reached without TLS, for trusted networks only: values of
// HKEY_CURRENT_USER\Software\Corvane\Engine\PlainServers named after the server as the
// page gives it ("uploads.example.net"), or with its port ("10.0.0.5:8852"). Every other
// server must start TLS.
#pragma once
#include <windows.h>

#include <string>

namespace ovengine {

inline constexpr wchar_t kPlainServersKey[] = L"Software\\Corvane\\Engine\\PlainServers";

bool NamedAsPlain(const std::wstring& server_name, USHORT port);

}  // namespace ovengine
