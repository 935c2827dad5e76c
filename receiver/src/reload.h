// SIGHUP: take up changed files without a restart and without disturbing uploads.
#pragma once

#include <asio.hpp>
#include <functional>
#include <memory>
#include <string>

#include "event_log.h"
#include "stream.h"
#include "users.h"

namespace ovr {

// Re-reads the users file into users and reopens the completed-files log (a log moved
// away by logrotate keeps every line written before). A part that fails keeps what it
// had. Tells what happened on standard error, one line per part.
void Reload(Users& users, const std::string& users_path, EventLog& log);

// Reads the certificate chain and its key again and hands the new context to use. Files
// that cannot be used (unreadable, not PEM, a key of another certificate) keep the context
// in use; a certificate out of its dates is taken, with a warning. Tells what happened on
// standard error.
void ReloadCertificate(const std::string& chain_file, const std::string& key_file,
                       const std::function<void(std::shared_ptr<asio::ssl::context>)>& use);

// Calls reload on the signal set's executor at every signal until the set is cancelled.
void OnEverySignal(asio::signal_set& signals, std::function<void()> reload);

// One warning naming every user whose password is stored in clear; nothing if none.
void WarnOfPlainPasswords(const Users& users, const std::string& path);

}  // namespace ovr
