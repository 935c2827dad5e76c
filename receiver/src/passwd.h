// "ovreceiver passwd FILE USER": adds or replaces one user's password hash in a users file.
#pragma once

#include <string>
#include <string_view>

namespace ovr {

// Sets user's line in the users file at path to "user:hash", keeping every other line as
// it is (a new file is made, mode 0600). The file is replaced with rename(2), keeping its
// owner, group and mode: readers see the old file or the new one, never half of one.
// Throws UsersError when the user name cannot be stored or the result would not load.
void SetUserLine(const std::string& path, std::string_view user, std::string_view hash);

// Reads the password (asked twice on a terminal, one line from a pipe), hashes it and
// stores it. Gives the process exit status; messages go to standard error.
int PasswdCommand(const std::string& path, const std::string& user);

}  // namespace ovr
