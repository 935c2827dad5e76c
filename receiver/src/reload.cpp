#include "reload.h"

#include <iostream>
#include <vector>

namespace ovr {

void WarnOfPlainPasswords(const Users& users, const std::string& path) {
  std::vector<std::string> plain = users.plain();
  if (plain.empty()) return;
  std::string names;
  for (const auto& name : plain) names += (names.empty() ? "" : ", ") + name;
  std::cerr << "ovreceiver: warning: " << path << " holds passwords in clear for: " << names
            << " (replace them with ovreceiver passwd)\n";
}

void Reload(Users& users, const std::string& users_path, EventLog& log) {
  try {
    Users fresh = Users::Load(users_path);
    users.Replace(fresh);
    std::cerr << "ovreceiver: reloaded " << fresh.size() << " users from " << users_path << '\n';
    WarnOfPlainPasswords(fresh, users_path);
  } catch (const std::exception& e) {
    std::cerr << "ovreceiver: reload: " << e.what() << "; keeping the " << users.size()
              << " users loaded before\n";
  }
  try {
    log.Reopen();
  } catch (const std::exception& e) {
    std::cerr << "ovreceiver: reload: " << e.what() << "; still writing to the open file\n";
  }
  std::cerr << std::flush;
}

void ReloadCertificate(const std::string& chain_file, const std::string& key_file,
                       const std::function<void(std::shared_ptr<asio::ssl::context>)>& use) {
  try {
    std::shared_ptr<asio::ssl::context> fresh = MakeTlsContext(chain_file, key_file);
    use(fresh);
    std::cerr << "ovreceiver: reloaded the certificate " << chain_file << " for new connections\n";
    std::string warning = CertificateDateWarning(*fresh, chain_file);
    if (!warning.empty()) std::cerr << "ovreceiver: warning: " << warning << '\n';
  } catch (const std::exception& e) {
    std::cerr << "ovreceiver: reload: " << e.what() << "; keeping the certificate loaded before\n";
  }
  std::cerr << std::flush;
}

void OnEverySignal(asio::signal_set& signals, std::function<void()> reload) {
  signals.async_wait([&signals, reload = std::move(reload)](std::error_code ec, int) {
    if (ec) return;
    reload();
    OnEverySignal(signals, reload);
  });
}

}  // namespace ovr
