// The users file: who may upload, with which password.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ovr {

struct UsersError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A password hash in the users file's format (yescrypt, "$y$..."), made with a fresh random
// salt at the library's default cost: one check takes tens of milliseconds on purpose.
std::string HashPassword(std::string_view password);

class Users {
 public:
  // Lines "user:secret" (the first ':' separates), '#' comment lines and empty lines
  // ignored. The secret is a password hash in crypt(3) form ("$y$...", "$6$..." and the
  // other schemes the system's libcrypt knows), or else a password in clear (still read,
  // for files from before hashing; see plain()). Throws UsersError naming the line of the
  // first fault.
  static Users Parse(std::string_view text);
  static Users Load(const std::string& path);

  // Safe from any thread, also while Replace runs. Takes tens of milliseconds for a hashed
  // entry (and for an unknown user, so that timing does not tell who exists): call it off
  // the threads that serve connections.
  bool Check(std::string_view user, std::string_view password) const;
  // Takes other's users for every later Check; checks already running finish with the old.
  void Replace(const Users& other);
  size_t size() const;
  // Users whose password is stored in clear, sorted by name.
  std::vector<std::string> plain() const;

 private:
  struct Entry {
    std::string secret;
    bool hashed = false;
  };
  using Table = std::map<std::string, Entry, std::less<>>;
  std::shared_ptr<const Table> Snapshot() const;

  std::shared_ptr<const Table> table_ = std::make_shared<Table>();
};

}  // namespace ovr
