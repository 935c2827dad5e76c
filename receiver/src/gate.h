// Counts the connections of one kind (not yet logged in; HTTP requests) per client address
// and in all, and makes room for a new one by closing the oldest when a limit is reached.
// Only bookkeeping: the connections themselves do the closing, on their own executors.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

namespace ovr {

class Evictable {
 public:
  virtual ~Evictable() = default;
  // Called from any thread: the connection closes itself soon after.
  virtual void Evict() = 0;
};

class Gate {
 public:
  Gate(size_t per_address, size_t total) : per_address_(per_address), total_(total) {}
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // A connection's place at the gate; given back when released or destroyed.
  class Ticket {
   public:
    Ticket() = default;
    Ticket(Ticket&& other) noexcept { *this = std::move(other); }
    Ticket& operator=(Ticket&& other) noexcept;
    ~Ticket() { Release(); }
    void Release();

   private:
    friend class Gate;
    Ticket(Gate* gate, uint64_t id) : gate_(gate), id_(id) {}
    Gate* gate_ = nullptr;
    uint64_t id_ = 0;
  };

  // Admits a connection from address, first evicting the oldest of that address when it
  // has its fill, and the oldest of that address (or else of all) when the total is full.
  Ticket Admit(const std::string& address, std::weak_ptr<Evictable> connection);
  size_t size() const;

 private:
  struct Entry {
    std::string address;
    std::weak_ptr<Evictable> connection;
  };
  void Remove(uint64_t id);                          // under mutex_
  std::weak_ptr<Evictable> Oldest(const std::string& address);  // under mutex_; removes it

  const size_t per_address_, total_;
  mutable std::mutex mutex_;
  uint64_t next_ = 1;
  std::map<uint64_t, Entry> entries_;  // in order of admission
  std::unordered_map<std::string, std::set<uint64_t>> by_address_;
};

}  // namespace ovr
