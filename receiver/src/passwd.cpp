#include "passwd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "paths.h"
#include "unique_fd.h"
#include "users.h"

namespace ovr {
namespace {

namespace fs = std::filesystem;

// Longest password read: enough for any passphrase, and a runaway pipe ends here.
constexpr size_t kMaxPassword = 4096;

[[noreturn]] void Throw(const std::string& what) { throw UsersError(what); }

[[noreturn]] void ThrowErrno(const std::string& what) {
  Throw(what + ": " + std::strerror(errno));
}

std::string ReadText(const fs::path& path, bool& exists) {
  std::error_code ec;
  exists = fs::exists(path, ec);
  if (!exists) return {};
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in || in.bad()) Throw("cannot read " + path.string());
  return text.str();
}

// The file's text with user's line set to "user:hash" (replaced where it was, else added).
std::string WithLine(const std::string& text, std::string_view user, std::string_view hash) {
  std::string line = std::string(user) + ':' + std::string(hash);
  std::string out;
  bool done = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    size_t next = end == std::string::npos ? text.size() : end + 1;
    std::string_view old(text.data() + start, next - start);
    size_t colon = old.find(':');
    if (!done && colon != std::string_view::npos && old.substr(0, colon) == user) {
      // The line's own ending stays ("\r\n", "\n" or none at the end of the file).
      size_t ending = old.size() >= 2 && old.substr(old.size() - 2) == "\r\n" ? 2
                      : !old.empty() && old.back() == '\n'                 ? 1
                                                                            : 0;
      out += line;
      out.append(old.substr(old.size() - ending));
      done = true;
    } else {
      out.append(old);
    }
    start = next;
  }
  if (!done) {
    if (!out.empty() && out.back() != '\n') out += '\n';
    out += line + '\n';
  }
  return out;
}

void WriteAll(int fd, const std::string& data, const std::string& name) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ThrowErrno("cannot write " + name);
    done += static_cast<size_t>(n);
  }
}

// One line from standard input; false at end of input before any byte.
bool ReadLine(std::string& line) {
  line.clear();
  char c;
  ssize_t n;
  while ((n = ::read(0, &c, 1)) == 1 && c != '\n') {
    if (line.size() == kMaxPassword) Throw("password longer than 4096 bytes");
    line += c;
  }
  if (n < 0) ThrowErrno("cannot read the password");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return n == 1 || !line.empty();
}

// Asks on the terminal with echo off.
std::string Ask(const char* prompt) {
  std::cerr << prompt << std::flush;
  termios saved;
  bool quiet = ::tcgetattr(0, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(0, TCSAFLUSH, &silent);
  }
  std::string line;
  bool got = false;
  try {
    got = ReadLine(line);
  } catch (...) {
    if (quiet) ::tcsetattr(0, TCSAFLUSH, &saved);
    throw;
  }
  if (quiet) ::tcsetattr(0, TCSAFLUSH, &saved);
  std::cerr << '\n';
  if (!got) Throw("no password given");
  return line;
}

std::string ReadPassword(const std::string& user) {
  std::string password;
  if (::isatty(0)) {
    password = Ask(("New password for " + user + ": ").c_str());
    if (Ask("Again: ") != password) Throw("the two passwords differ; nothing changed");
  } else if (!ReadLine(password)) {
    Throw("no password on standard input");
  }
  if (password.empty()) Throw("empty password; nothing changed");
  return password;
}

}  // namespace

void SetUserLine(const std::string& path_text, std::string_view user, std::string_view hash) {
  if (user.empty() || user.front() == '#' || user.find_first_of(":\r\n", 0) != std::string_view::npos ||
      user.find('\0') != std::string_view::npos || !IsValidUtf8(user))
    Throw("a user name must be UTF-8 without ':', line ends or a leading '#'");

  // Through a symbolic link to the file it names, so the link stays.
  fs::path path = path_text;
  std::error_code ec;
  if (fs::is_symlink(path, ec)) path = fs::canonical(path);
  bool exists = false;
  std::string text = WithLine(ReadText(path, exists), user, hash);
  Users::Parse(text);  // a file that would not load is not written

  struct stat old{};
  if (exists && ::stat(path.c_str(), &old) != 0) ThrowErrno("cannot read " + path.string());
  fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::string temp = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  UniqueFd fd(::mkstemp(temp.data()));
  if (!fd.Valid()) ThrowErrno("cannot make a file in " + dir.string());
  try {
    // The new file takes the old one's owner, group and mode, so the service can still read it.
    if (::fchmod(fd.Get(), exists ? (old.st_mode & 07777) : 0600) != 0) ThrowErrno("cannot set the mode of " + temp);
    if (exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
        ::fchown(fd.Get(), old.st_uid, old.st_gid) != 0)
      ThrowErrno("cannot give " + temp + " the owner of " + path.string());
    WriteAll(fd.Get(), text, temp);
    if (::fsync(fd.Get()) != 0 || !fd.Close()) ThrowErrno("cannot write " + temp);
    if (::rename(temp.c_str(), path.c_str()) != 0) ThrowErrno("cannot replace " + path.string());
  } catch (...) {
    fd.Reset();
    ::unlink(temp.c_str());
    throw;
  }
  UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.Valid()) ::fsync(folder.Get());  // the rename itself reaches the disk
}

int PasswdCommand(const std::string& path, const std::string& user) {
  try {
    std::string password = ReadPassword(user);
    SetUserLine(path, user, HashPassword(password));
    std::cerr << "ovreceiver: password of " << user << " set in " << path
              << " (a running receiver reads it on SIGHUP)\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "ovreceiver: " << e.what() << '\n';
    return 2;
  }
}

}  // namespace ovr
