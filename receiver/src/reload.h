// SIGHUP: take up changed files without a restart and without disturbing uploads.
#pragma once

#include <asio.hpp>
#include <functional>
#include <string>

#include "event_log.h"
#include "users.h"

namespace ovr {

// Re-reads the users file into users and reopens the completed-files log (a log moved
// away by logrotate keeps every line written before). A part that fails keeps what it
// had. Tells what happened on standard error, one line per part.
void Reload(Users& users, const std::string& users_path, EventLog& log);

// Calls reload on the signal set's executor at every signal until the set is cancelled.
void OnEverySignal(asio::signal_set& signals, std::function<void()> reload);

// One warning naming every user whose password is stored in clear; nothing if none.
void WarnOfPlainPasswords(const Users& users, const std::string& path);

}  // namespace ovr
