#include "users.h"

#include <crypt.h>

#include <fstream>
#include <sstream>

#include "paths.h"

namespace ovr {
namespace {

// Compares without stopping at the first difference, so that timing tells nothing about
// how much of a password was right.
bool SameSecret(std::string_view given, std::string_view stored) {
  unsigned char diff = given.size() == stored.size() ? 0 : 1;
  for (size_t i = 0; i < stored.size(); ++i)
    diff |= static_cast<unsigned char>((i < given.size() ? given[i] : 0) ^ stored[i]);
  return diff == 0;
}

// A secret starting with '$' and a scheme libcrypt knows is a hash; anything else,
// including a password that merely starts with '$', is a password in clear.
bool IsHash(const std::string& secret) {
  return secret.size() > 1 && secret[0] == '$' &&
         crypt_checksalt(secret.c_str()) != CRYPT_SALT_INVALID;
}

// Hashes password with the scheme and salt of setting (a stored hash); "" on failure.
std::string Crypt(std::string_view password, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();  // 32 KiB: not on the stack
  std::string phrase(password);
  const char* out = crypt_r(phrase.c_str(), setting.c_str(), data.get());
  // Failures give NULL or a string starting with '*', which never equals a stored hash.
  return out && out[0] != '*' ? out : std::string();
}

// Checked against when the user does not exist, at the default cost.
const char kNobodysHash[] =
    "$y$j9T$NEx/s5Ri0bK2QYMzoGYf11$gGbHKrbh79yAUvyynFF9LkNYK4tSW4E1VrOpgNCv3t3";

}  // namespace

std::string HashPassword(std::string_view password) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting))
    throw UsersError("cannot make a password salt");
  std::string hash = Crypt(password, setting);
  if (hash.empty()) throw UsersError("cannot hash the password");
  return hash;
}

Users Users::Parse(std::string_view text) {
  if (!IsValidUtf8(text)) throw UsersError("users file is not valid UTF-8");
  auto table = std::make_shared<Table>();
  size_t number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;

    auto fail = [number](const char* what) {
      throw UsersError("users file line " + std::to_string(number) + ": " + what);
    };
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) fail("expected user:password");
    std::string_view user = line.substr(0, colon);
    Entry entry{std::string(line.substr(colon + 1))};
    if (user.empty()) fail("empty user name");
    if (entry.secret.empty()) fail("empty password");
    if (line.find('\0') != std::string_view::npos) fail("NUL byte");
    entry.hashed = IsHash(entry.secret);
    if (!table->emplace(user, std::move(entry)).second) fail("user listed twice");
  }
  Users users;
  users.table_ = std::move(table);
  return users;
}

Users Users::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsersError("cannot read users file " + path);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw UsersError("cannot read users file " + path);
  return Parse(text.str());
}

std::shared_ptr<const Users::Table> Users::Snapshot() const { return std::atomic_load(&table_); }

bool Users::Check(std::string_view user, std::string_view password) const {
  std::shared_ptr<const Table> table = Snapshot();
  auto it = table->find(user);
  if (it == table->end()) {
    Crypt(password, kNobodysHash);
    return false;
  }
  const Entry& e = it->second;
  if (!e.hashed) return SameSecret(password, e.secret);
  std::string hash = Crypt(password, e.secret);
  return !hash.empty() && SameSecret(hash, e.secret);
}

void Users::Replace(const Users& other) { std::atomic_store(&table_, other.Snapshot()); }

size_t Users::size() const { return Snapshot()->size(); }

std::vector<std::string> Users::plain() const {
  std::vector<std::string> names;
  for (const auto& [name, entry] : *Snapshot())
    if (!entry.hashed) names.push_back(name);
  return names;
}

}  // namespace ovr
