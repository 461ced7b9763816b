#include "udp_peer.h"

#include <sys/socket.h>

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <algorithm>
#include <cstdlib>

#include "entry_status.h"

namespace tallyhost {

namespace {
constexpr int kReceiveBuffer = 32 * 1024 * 1024;

SocketResult FromSocketError(const QUdpSocket& s) {
  switch (s.error()) {
    case QAbstractSocket::AddressInUseError:
      return {10048, "Address in use"};
    case QAbstractSocket::SocketAccessError:
      return {10013, "Permission denied"};
    case QAbstractSocket::SocketAddressNotAvailableError:
      return {10049, "Address not available"};
    default:
      return {10022, s.errorString().toStdString()};
  }
}

// Asks for a large receive buffer: the forced form works for privileged
// processes, the plain one is capped by the system's limit.
void EnlargeReceiveBuffer(QUdpSocket* s) {
  int fd = static_cast<int>(s->socketDescriptor());
  if (fd < 0) return;
  int size = kReceiveBuffer;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}
}  // namespace

// Owns the sockets; lives on the network thread.
class PeerWorker : public QObject {
 public:
  explicit PeerWorker(UdpPeerArray* owner) : owner_(owner) {}
  ~PeerWorker() override { sockets_.clear(); }

  SocketResult Load(int n) {
    if (sockets_.count(n)) return {360, "Object already loaded"};
    sockets_[n] = nullptr;
    return {};
  }

  SocketResult Bind(int n, int32_t port, bool replace = false) {
    auto it = sockets_.find(n);
    if (it == sockets_.end())
      return {340, "Control array element '" + std::to_string(n) + "' doesn't exist"};
    if (!replace && it->second && it->second->state() == QAbstractSocket::BoundState)
      return {40020, "Invalid operation at current state"};
    if (port < 0 || port > 65535) return {380, "Invalid property value"};
    auto s = std::make_unique<QUdpSocket>();
    if (!s->bind(QHostAddress::AnyIPv4, static_cast<quint16>(port))) return FromSocketError(*s);
    EnlargeReceiveBuffer(s.get());
    QUdpSocket* raw = s.get();
    QObject::connect(raw, &QUdpSocket::readyRead, this, [this, n, raw] { Drain(n, raw); });
    if (it->second) Drain(n, it->second.get());
    it->second = std::move(s);
    Drain(n, raw);
    return {};
  }

  void Close(int n) {
    auto it = sockets_.find(n);
    if (it == sockets_.end() || !it->second) return;
    Drain(n, it->second.get());
    it->second.reset();
  }

  void Unload(int n) {
    Close(n);
    sockets_.erase(n);
  }

  bool IsLoaded(int n) const { return sockets_.count(n) != 0; }

  int32_t LocalPort(int n) const {
    auto it = sockets_.find(n);
    return it == sockets_.end() || !it->second ? 0 : it->second->localPort();
  }

  // Reads what waits in every socket (after a pause of reading).
  void DrainAll() {
    for (const auto& [n, s] : sockets_)
      if (s) Drain(n, s.get());
  }

  std::map<int, int32_t> LoadedPorts() const {
    std::map<int, int32_t> out;
    for (const auto& [n, s] : sockets_) out[n] = s ? s->localPort() : 0;
    return out;
  }

 private:
  void Drain(int n, QUdpSocket* s) {
    while (s->hasPendingDatagrams() && !owner_->PauseIfFull()) {
      QNetworkDatagram d = s->receiveDatagram();
      if (!d.isValid() || d.data().isEmpty()) continue;
      Arrival a;
      a.element = n;
      a.data = d.data();
      QHostAddress sender = d.senderAddress();
      bool ok = false;
      quint32 v4 = sender.toIPv4Address(&ok);
      a.sender_address = (ok ? QHostAddress(v4) : sender).toString().toStdString();
      a.sender_port = d.senderPort();
      a.local_port = s->localPort();
      if (!AdmitAndCount(n, a.local_port, a.sender_address)) continue;   // entry_status.h
      owner_->Push(std::move(a));
    }
  }

  UdpPeerArray* owner_;
  std::map<int, std::unique_ptr<QUdpSocket>> sockets_;
};

UdpPeerArray::UdpPeerArray(QObject* parent) : QObject(parent) {
  worker_ = new PeerWorker(this);
  worker_->moveToThread(&thread_);
  thread_.setObjectName("udpPeerB");
  thread_.start();
  Load(0);
}

UdpPeerArray::~UdpPeerArray() {
  // The worker and its sockets are deleted on their own thread as it ends.
  worker_->deleteLater();
  thread_.quit();
  thread_.wait();
}

namespace {
template <class F>
auto OnWorker(QObject* worker, F f) {
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    QMetaObject::invokeMethod(worker, f, Qt::BlockingQueuedConnection);
  } else {
    R r{};
    QMetaObject::invokeMethod(worker, [&] { r = f(); }, Qt::BlockingQueuedConnection);
    return r;
  }
}
}  // namespace

// Each change of the sockets also renews the ports known on this thread, so
// that reading the drop counters never waits for the network thread (busy
// reading a burst, it could keep a pass waiting for seconds).
SocketResult UdpPeerArray::Load(int n) {
  SocketResult r = OnWorker(worker_, [this, n] { return worker_->Load(n); });
  ports_ = LoadedPorts();
  return r;
}
SocketResult UdpPeerArray::Bind(int n, int32_t port) {
  SocketResult r = OnWorker(worker_, [this, n, port] { return worker_->Bind(n, port); });
  ports_ = LoadedPorts();
  return r;
}
SocketResult UdpPeerArray::Rebind(int n, int32_t port) {
  SocketResult r = OnWorker(worker_, [this, n, port] { return worker_->Bind(n, port, true); });
  ports_ = LoadedPorts();
  return r;
}
void UdpPeerArray::Close(int n) {
  OnWorker(worker_, [this, n] { worker_->Close(n); });
  ports_ = LoadedPorts();
}
void UdpPeerArray::Unload(int n) {
  OnWorker(worker_, [this, n] { worker_->Unload(n); });
  ports_ = LoadedPorts();
}
bool UdpPeerArray::IsLoaded(int n) {
  return OnWorker(worker_, [this, n] { return worker_->IsLoaded(n); });
}
int32_t UdpPeerArray::LocalPort(int n) {
  return OnWorker(worker_, [this, n] { return worker_->LocalPort(n); });
}
int UdpPeerArray::State(int n) { return LocalPort(n) != 0 ? 1 : 0; }
std::map<int, int32_t> UdpPeerArray::LoadedPorts() {
  return OnWorker(worker_, [this] { return worker_->LoadedPorts(); });
}

void UdpPeerArray::Push(Arrival a) {
  bool notify;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++received_;
    auto& queue = queues_[a.element];
    if (!(sink_ && queue.empty() && !held_.count(a.element) && (*sink_)(a))) {
      backlog_ += static_cast<size_t>(a.data.size()) + kArrivalCost;
      queue.push_back(std::move(a));
    }
    notify = !notify_pending_;
    notify_pending_ = true;
  }
  if (notify) QMetaObject::invokeMethod(this, &UdpPeerArray::Arrived, Qt::QueuedConnection);
}

void UdpPeerArray::SetSink(Sink sink) {
  std::lock_guard<std::mutex> lock(mu_);
  sink_ = sink ? std::make_shared<Sink>(std::move(sink)) : nullptr;
}

void UdpPeerArray::DrainToSink() {
  bool resume = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!sink_) return;
    for (auto& [element, queue] : queues_) {
      if (held_.count(element)) continue;
      while (!queue.empty() && (*sink_)(queue.front())) {
        backlog_ -= std::min(static_cast<size_t>(queue.front().data.size()) + kArrivalCost, backlog_);
        queue.pop_front();
      }
    }
    resume = paused_ && backlog_ < backlog_limit_;
    if (resume) paused_ = false;
  }
  if (resume) QMetaObject::invokeMethod(worker_, [this] { worker_->DrainAll(); });
}

std::deque<Arrival> UdpPeerArray::TakeArrivals() {
  std::lock_guard<std::mutex> lock(mu_);
  notify_pending_ = false;
  std::deque<Arrival> out;
  for (auto& [element, queue] : queues_) {
    if (queue.empty()) continue;
    held_.insert(element);
    for (Arrival& a : queue) out.push_back(std::move(a));
    queue.clear();
  }
  return out;
}

void UdpPeerArray::Unhold(int element) {
  std::lock_guard<std::mutex> lock(mu_);
  held_.erase(element);
}

bool UdpPeerArray::PauseIfFull() {
  std::lock_guard<std::mutex> lock(mu_);
  paused_ = backlog_ >= backlog_limit_;
  return paused_;
}

void UdpPeerArray::Release(size_t bytes) {
  bool resume = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    bytes += kArrivalCost;
    backlog_ -= std::min(bytes, backlog_);
    resume = paused_ && backlog_ < backlog_limit_;
    if (resume) paused_ = false;
  }
  if (resume) QMetaObject::invokeMethod(worker_, [this] { worker_->DrainAll(); });
}

void UdpPeerArray::SetBacklogLimit(size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  backlog_limit_ = bytes;
}

uint64_t UdpPeerArray::KernelReceiveDrops() {
  uint64_t drops = 0;
  for (const auto& [element, port] : ports_)
    if (port) drops += tallyhost::KernelReceiveDrops(port);   // entry_status.h
  return drops;
}

size_t UdpPeerArray::Received() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

}  // namespace tallyhost
