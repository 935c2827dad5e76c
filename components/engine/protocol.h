// The engine's side of the receiver's line protocol (OVT/1): the shared line codec, UTF-16
// text in and out of it, and the HRESULTs that the engine's callers see for the server's
// error codes.
#pragma once
#include <windows.h>

#include <string>

#include "line_codec.h"

namespace ovengine {

// The pieces of the shared codec the engine speaks with.
using ovt::ChecksumText;
using ovt::kMaxLineBytes;
using ovt::ParseNumber;
using ovt::ParseReply;
using ovt::PercentEncode;
using ovt::Reply;

// UTF-16 to UTF-8; false for text that is not valid UTF-16 (a lone surrogate), which
// would otherwise reach the server as a different name.
bool ToUtf8(const std::wstring& text, std::string* utf8);
// UTF-8 to UTF-16 for people to read: invalid bytes become U+FFFD.
std::wstring FromUtf8(const std::string& utf8);

// What a caller of the engine sees for an ERR reply.
HRESULT ReplyError(const Reply& reply);
// A reply the engine cannot make sense of: the connection is no longer in step.
inline const HRESULT kBadReply = HRESULT_FROM_WIN32(ERROR_BAD_NET_RESP);

}  // namespace ovengine
