#include "gate.h"

#include <vector>

#include "metrics.h"
#include "stream.h"

namespace ovr {

std::string AddressKey(const asio::ip::address& address) {
  if (address.is_v6()) {
    asio::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
    asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
    for (size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
    return asio::ip::address_v6(bytes).to_string() + "/64";
  }
  return address.to_string();
}

Gate::Ticket& Gate::Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    Release();
    gate_ = other.gate_;
    id_ = other.id_;
    other.gate_ = nullptr;
  }
  return *this;
}

void Gate::Ticket::Release() {
  if (!gate_) return;
  std::lock_guard<std::mutex> lock(gate_->mutex_);
  gate_->Remove(id_);
  gate_ = nullptr;
}

void Gate::Remove(uint64_t id) {
  auto it = entries_.find(id);
  if (it == entries_.end()) return;  // evicted earlier
  auto at = by_address_.find(it->second.address);
  at->second.erase(id);
  if (at->second.empty()) by_address_.erase(at);
  entries_.erase(it);
}

std::weak_ptr<Evictable> Gate::Oldest(const std::string& address) {
  auto at = by_address_.find(address);
  uint64_t id = at != by_address_.end() ? *at->second.begin() : entries_.begin()->first;
  std::weak_ptr<Evictable> connection = entries_[id].connection;
  Remove(id);
  return connection;
}

Gate::Ticket Gate::Admit(const std::string& address, std::weak_ptr<Evictable> connection) {
  std::vector<std::weak_ptr<Evictable>> evicted;
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto at = by_address_.find(address);
    while (at != by_address_.end() && at->second.size() >= per_address_) {
      evicted.push_back(Oldest(address));
      at = by_address_.find(address);
    }
    while (!entries_.empty() && entries_.size() >= total_) evicted.push_back(Oldest(address));
    id = next_++;
    entries_[id] = Entry{address, std::move(connection)};
    by_address_[address].insert(id);
  }
  // Outside the lock: the last reference to a connection may go here, and its ticket with it.
  for (auto& weak : evicted)
    if (std::shared_ptr<Evictable> c = weak.lock()) {
      metrics().Hit(Limit::kConnections);
      c->Evict();
    }
  return Ticket(this, id);
}

size_t Gate::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace ovr
