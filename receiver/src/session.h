// One upload connection speaking OVT/1: commands and replies line by line, raw file bytes
// after an accepted FROM.
#pragma once

#include <asio.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage.h"
#include "tls_stream.h"
#include "users.h"

namespace ovr {

class Session : public std::enable_shared_from_this<Session> {
 public:
  // The socket's executor must be a strand of its own: the timer shares it. TLS with tls,
  // in clear when it is null.
  Session(asio::ip::tcp::socket socket, asio::ssl::context* tls, const Users& users, Storage& storage);
  void Start();

 private:
  enum class State { kHello, kLogin, kReady, kData, kEnd };
  struct Answer {
    std::string line;
    bool close = false;
  };

  void Process();
  void ReadMore();
  void Send(Answer answer);
  void CloseGracefully();
  void Drain();
  std::optional<Answer> Handle(std::string_view line);
  std::optional<Answer> Put(std::string_view name, std::string_view size);
  std::optional<Answer> Claim(std::string path, uint64_t size, int attempts_left);
  Answer From(std::string_view from);
  Answer End(std::string_view checksum);
  static Answer Ok(std::string fields = {});
  static Answer Err(int code, std::string_view message);
  static Answer Err(const Status& status);

  Stream socket_;
  asio::steady_timer timer_;
  const Users& users_;
  Storage& storage_;
  State state_ = State::kHello;
  std::string user_;
  std::unique_ptr<Upload> upload_;
  std::unique_ptr<Upload> finished_;  // ended; released once its answer is on the way
  std::vector<char> buffer_;
  size_t begin_ = 0, end_ = 0;  // unread bytes in buffer_
  std::string reply_;
};

}  // namespace ovr
