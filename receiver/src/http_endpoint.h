// The HTTP endpoint for the control's duration reports and stills: POST <target> with
// "$dur$=<seconds>" in the query, an empty body (duration) or a JPEG still.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <string>
#include <string_view>

#include "storage.h"

namespace ovr {

// Largest still the control sends.
constexpr size_t kMaxStill = 2047998;

// Serves one connection (one request); the socket's executor must be a strand of its own.
// TLS with tls, in clear when it is null.
void ServeHttp(asio::ip::tcp::socket socket, asio::ssl::context* tls, Storage& storage);

// The last "$dur$" value in the target's query, if it is a decimal number (a '-' allowed).
bool FindDuration(std::string_view target, std::string& seconds);
// A file-name-safe text made from the query (without "$dur$") for a still's name.
std::string StillHint(std::string_view target);

}  // namespace ovr
