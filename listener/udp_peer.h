// UdpPeerArray (udpPeerB): one UDP socket per connection entry, element n
// belonging to entry n. Element 0 is loaded from the start and never bound.
//
// The sockets live on a network thread of their own that reads every
// datagram as soon as it arrives (with a large receive buffer) into an
// in-memory queue, so that nothing is dropped while the user-interface thread
// runs a processing pass or waits at a prompt. The user-interface thread
// calls Load, Bind, Close, Unload, LocalPort and State (each runs on the
// network thread and waits for it) and collects arrivals with TakeArrivals
// after the Arrived signal. Datagrams of 0 bytes are read and dropped.
//
// A sink (SetSink) takes each datagram on the network thread as it is read,
// typically into a durable spool; datagrams it refuses, and all datagrams
// while no sink is set, wait in an in-memory queue of their element.
// Arrival order is kept per element: while an element's memory queue holds
// datagrams, or the element is held, its new ones join the queue, and
// DrainToSink hands each queue that is not held to the sink in order.
// TakeArrivals holds every element whose datagrams it takes, until the
// receiver calls Unhold (when it has passed on all it took), so that no
// later datagram reaches the sink ahead of them.
//
// The memory backlog (bytes and datagrams read but not yet released by the
// receiver with Release) is bounded: at the limit the network thread stops
// reading, so that further datagrams wait in the sockets' buffers instead of
// filling the memory; Release resumes reading. Each waiting datagram counts
// its bytes plus kArrivalCost for what it carries besides.
//
// Thread safety: the public functions are for the thread that created the
// array; Arrived is delivered on that thread.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThread>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

class QUdpSocket;

namespace tallyhost {

struct Arrival {
  int element = 0;
  QByteArray data;
  std::string sender_address;
  int32_t sender_port = 0;
  int32_t local_port = 0;
};

// The outcome of a socket operation: number 0 is success.
struct SocketResult {
  int32_t number = 0;
  std::string description;
  bool ok() const { return number == 0; }
};

class PeerWorker;

class UdpPeerArray : public QObject {
  Q_OBJECT

 public:
  explicit UdpPeerArray(QObject* parent = nullptr);
  ~UdpPeerArray() override;

  SocketResult Load(int n);
  SocketResult Bind(int n, int32_t port);
  // Binds a loaded element to another port: the new port is bound first,
  // and only when that succeeds the old socket is closed (its waiting
  // datagrams read); on failure the element keeps its old port.
  SocketResult Rebind(int n, int32_t port);
  // Closes the element's socket (it stays loaded, unbound).
  void Close(int n);
  void Unload(int n);
  bool IsLoaded(int n);
  int32_t LocalPort(int n);   // 0 when unbound
  int State(int n);           // 0 closed, 1 bound
  // Local ports of all loaded elements (element 0 included).
  std::map<int, int32_t> LoadedPorts();

  using Sink = std::function<bool(const Arrival&)>;
  void SetSink(Sink sink);
  // Offers each element's memory queue to the sink in arrival order, up to
  // its first datagram the sink refuses; held elements are left alone.
  void DrainToSink();
  std::deque<Arrival> TakeArrivals();
  void Unhold(int element);
  size_t Received() const;   // datagrams read since start (0-byte ones excluded)
  // Gives back the bytes of a datagram that has been dealt with.
  void Release(size_t bytes);
  void SetBacklogLimit(size_t bytes);   // default kBacklogLimit
  static constexpr size_t kBacklogLimit = 64u << 20;
  static constexpr size_t kArrivalCost = 256;

  // Datagrams the system dropped at the sockets of the loaded elements'
  // ports (their receive buffers full), as the system counts them now;
  // does not wait for the network thread.
  uint64_t KernelReceiveDrops();

 signals:
  void Arrived();

 private:
  friend class PeerWorker;
  void Push(Arrival a);
  // True (and reading pauses until Release) when the backlog is full.
  bool PauseIfFull();

  QThread thread_;
  PeerWorker* worker_ = nullptr;
  mutable std::mutex mu_;
  std::map<int, std::deque<Arrival>> queues_;
  std::set<int> held_;
  std::map<int, int32_t> ports_;   // LoadedPorts as of the last change (this thread's)
  std::shared_ptr<Sink> sink_;
  bool notify_pending_ = false;
  size_t received_ = 0;
  size_t backlog_ = 0, backlog_limit_ = kBacklogLimit;
  bool paused_ = false;
};

}  // namespace tallyhost
