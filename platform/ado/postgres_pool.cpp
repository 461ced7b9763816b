// The PostgreSQL backend: idle server connections kept for reuse.
//
// A session that ends outside a transaction on a sound connection gives its
// handle (connection, prepared statements, what it knows of the tables) back; the next session
// with the same parameters takes it after one round trip proves that the
// server still answers. A connection that fails the check is closed, so the
// next session connects afresh. Idle handles close after 60 seconds, when
// more than eight wait, or at exit.
#include <deque>
#include <mutex>

#include "postgres_session.h"

namespace ado::detail {
namespace {

constexpr auto kIdleLimit = std::chrono::seconds(60);
constexpr size_t kMaxIdle = 8;

class PgPool {
 public:
  ~PgPool() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& h : idle_) ClosePgHandle(*h);
    idle_.clear();
    gone_ = true;
  }

  std::unique_ptr<PgHandle> Take(const std::string& key) {
    std::deque<std::unique_ptr<PgHandle>> stale;
    std::unique_ptr<PgHandle> found;
    {
      std::lock_guard<std::mutex> lock(mu_);
      Expire(&stale);
      for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if ((*it)->key == key) {
          found = std::move(*it);
          idle_.erase(it);
          break;
        }
      }
    }
    for (auto& h : stale) ClosePgHandle(*h);
    return found;
  }

  void Give(std::unique_ptr<PgHandle> handle) {
    std::deque<std::unique_ptr<PgHandle>> stale;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (gone_) {
        stale.push_back(std::move(handle));
      } else {
        Expire(&stale);
        handle->idle_since = std::chrono::steady_clock::now();
        idle_.push_back(std::move(handle));
        while (idle_.size() > kMaxIdle) {
          stale.push_back(std::move(idle_.front()));
          idle_.pop_front();
        }
      }
    }
    for (auto& h : stale) ClosePgHandle(*h);
  }

 private:
  void Expire(std::deque<std::unique_ptr<PgHandle>>* stale) {
    const auto now = std::chrono::steady_clock::now();
    while (!idle_.empty() && now - idle_.front()->idle_since > kIdleLimit) {
      stale->push_back(std::move(idle_.front()));
      idle_.pop_front();
    }
  }

  std::mutex mu_;
  std::deque<std::unique_ptr<PgHandle>> idle_;
  bool gone_ = false;
};

PgPool& Pool() {
  static PgPool pool;
  return pool;
}

}  // namespace

std::unique_ptr<PgHandle> TakePooledPg(const std::string& key) {
  while (auto handle = Pool().Take(key)) {
    // One round trip: a connection the server dropped fails here.
    PGresult* r = PQexec(handle->conn, "");
    const bool sound = r && PQresultStatus(r) == PGRES_EMPTY_QUERY && PQstatus(handle->conn) == CONNECTION_OK &&
                       PQtransactionStatus(handle->conn) == PQTRANS_IDLE;
    PQclear(r);
    // The catalog stays: a table another program created since is looked
    // up when a statement names it, and a failed statement forgets it all.
    if (sound) return handle;
    ClosePgHandle(*handle);
  }
  return nullptr;
}

void GivePooledPg(std::unique_ptr<PgHandle> handle) { Pool().Give(std::move(handle)); }

void ClosePgHandle(PgHandle& handle) {
  if (handle.conn) PQfinish(handle.conn);
  handle.conn = nullptr;
  handle.prepared.clear();
  handle.lru.clear();
  handle.catalog.Forget();
}

}  // namespace ado::detail
