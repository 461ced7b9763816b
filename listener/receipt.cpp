// MainForm's datagram receipt and hand-off to the engine.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "env.h"
#include "box_throttle.h"
#include "client/pass_properties.h"
#include "connection_list.h"
#include "datetime.h"
#include "entry_status.h"
#include "main_form.h"
#include "msgbox.h"
#include "received_ledger.h"
#include "text_rules.h"

namespace tallyhost {

namespace {
constexpr std::chrono::milliseconds kFirstPause{1000}, kLongestPause{60000};
// How long the end may still hand over datagrams that no spool could take.
constexpr std::chrono::milliseconds kFlushBudget{3000};

SpooledDatagram FromArrival(const Arrival& a) {
  SpooledDatagram d;
  d.arrival = datetime::Now();
  d.sender_address = a.sender_address;
  d.sender_port = a.sender_port;
  d.local_port = a.local_port;
  d.data.assign(a.data.begin(), a.data.end());
  return d;
}

// What a stored pass left out, in one line; empty when nothing.
std::string WhatIsMissing(const tallycore::PassOutcome& o) {
  std::string out;
  if (!o.skipped_lines.empty()) {
    out = "Lines skipped: " + std::to_string(o.skipped_lines.size()) + " (";
    for (size_t i = 0; i < o.skipped_lines.size(); ++i)
      out += (i ? ", " : "") + std::to_string(o.skipped_lines[i]);
    out += ").";
  }
  if (!o.ignored.empty()) {
    constexpr size_t kShown = 200;
    std::string first = o.ignored.front();
    if (first.size() > kShown) first = first.substr(0, kShown) + "...";
    out += (out.empty() ? "" : " ") + std::string("Statements ignored: ") + std::to_string(o.ignored.size()) +
           " (the first: " + first + ").";
  }
  if (o.stopped) out += (out.empty() ? "" : " ") + std::string("Processing stopped at a prompt.");
  return out;
}
}  // namespace

MainForm::~MainForm() {
  if (s_.udpPeerB) s_.udpPeerB->SetSink(nullptr);
}

std::shared_ptr<Spool> MainForm::SpoolOf(int element, int32_t port) {
  std::lock_guard<std::mutex> lock(spools_mu_);
  auto it = spools_.find(element);
  if (it != spools_.end()) return it->second;
  if (port <= 0 || spool_folder_.empty()) return nullptr;
  try {
    auto spool = std::make_shared<Spool>(spool_folder_, "port-" + std::to_string(port), s_.SpoolSettings);
    if (spool->Damage().Any()) {
      const std::string note = spool->Damage().Describe(spool->path());
      std::fprintf(stderr, "Tallyhost: %s\n", note.c_str());
      std::fflush(stderr);
      TheEntryStatus().NoteProblem(element, note);
    }
    spools_[element] = spool;
    TheEntryStatus().SetWaitingSource(element, [weak = std::weak_ptr<Spool>(spool)] {
      const std::shared_ptr<Spool> s = weak.lock();
      return s ? s->Waiting() : uint64_t{0};
    });
    return spool;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Tallyhost: %s\n", e.what());
    std::fflush(stderr);
    return nullptr;
  }
}

void MainForm::StartReceiving() {
  if (spool_folder_.empty()) spool_folder_ = s_.ProgramPath + "/spool";
  // What waits from the last run is handed over first.
  for (const ListRow& row : s_.ListView1.rows())
    SpoolOf(ConnectionList::EntryNumber(row.key), std::atoi(row.text.c_str()));
  kernel_drops_seen_ = s_.udpPeerB->KernelReceiveDrops();
  s_.udpPeerB->SetSink([this](const Arrival& a) {
    std::shared_ptr<Spool> spool = SpoolOf(a.element, a.local_port);
    return spool && spool->Append(FromArrival(a));
  });
  if (!retry_timer_) {
    retry_timer_ = new QTimer(this);
    retry_timer_->setSingleShot(true);
    connect(retry_timer_, &QTimer::timeout, this, &MainForm::HandOverNext);
  }
  // Spools synced as a group: what came since the last sync is synced when
  // the interval has passed, also when nothing more arrives.
  if (!sync_timer_ && s_.SpoolSettings.sync == SpoolSync::kGroup) {
    sync_timer_ = new QTimer(this);
    connect(sync_timer_, &QTimer::timeout, this, [this] {
      {
        std::lock_guard<std::mutex> lock(spools_mu_);
        for (const auto& [n, spool] : spools_) spool->SyncIfDue();
      }
      ReportSyncFailures();
    });
    sync_timer_->start(static_cast<int>(std::max<int64_t>(s_.SpoolSettings.group_interval.count(), 10)));
  }
  connect(s_.udpPeerB.get(), &UdpPeerArray::Arrived, this, &MainForm::OnArrived,
          Qt::UniqueConnection);
  OnArrived();
}

// Moves what the sockets have read into the spools; what a spool cannot
// take waits in memory.
// Arrival order per entry: what waits in memory is newer than all its spool
// holds, and older than all the sockets read since, which is held back
// (UdpPeerArray::TakeArrivals) until memory has gone into the spool.
void MainForm::Collect() {
  ReportSyncFailures();
  for (auto& [e, q] : queues_) {
    if (!q.memory.empty()) {
      std::shared_ptr<Spool> spool = SpoolOf(e, q.memory.front().local_port);
      uint64_t spooled = 0;
      while (spool && !q.memory.empty() && spool->Append(q.memory.front())) {
        s_.udpPeerB->Release(q.memory.front().data.size());
        q.memory.pop_front();
        ++spooled;
      }
      if (spool) TheEntryStatus().SetSpoolCap(e, spool->RefusedAtCap(), spool->AtCap());
      if (spooled > 0 && q.memory.empty()) {
        std::fprintf(stderr, "Tallyhost: entry %d: the spool takes datagrams again; the %llu that waited in memory are spooled.\n",
                     e, static_cast<unsigned long long>(spooled));
        std::fflush(stderr);
      }
    }
    if (q.memory.empty()) s_.udpPeerB->Unhold(e);
  }
  s_.udpPeerB->DrainToSink();
  for (Arrival& a : s_.udpPeerB->TakeArrivals()) {
    auto& memory = queues_[a.element].memory;
    if (memory.empty()) {
      std::shared_ptr<Spool> spool = SpoolOf(a.element, a.local_port);
      const bool at_cap = spool && spool->AtCap();
      if (spool) TheEntryStatus().SetSpoolCap(a.element, spool->RefusedAtCap(), at_cap);
      const std::string reason = spool ? spool->LastError() : std::string();
      const std::string why = at_cap            ? "the spool has reached its size cap (spoolmax=)"
                              : reason.empty() ? "the spool cannot take datagrams now (a full disk?)"
                                               : "the spool cannot take datagrams now (" + reason + ")";
      std::fprintf(stderr,
                   "Tallyhost: entry %d: %s; datagrams wait in memory, in order, and are lost if the program "
                   "ends before they are spooled or stored.\n",
                   a.element, why.c_str());
      std::fflush(stderr);
      TheEntryStatus().NoteProblem(a.element, why + ": datagrams wait in memory.");
    }
    memory.push_back(FromArrival(a));
  }
}

// Syncs the disk does not confirm are said when they begin, with the
// reason, and again when the disk confirms once more; the failures are
// counted meanwhile.
void MainForm::ReportSyncFailures() {
  std::lock_guard<std::mutex> lock(spools_mu_);
  for (const auto& [e, spool] : spools_) {
    EntryQueue& q = queues_[e];
    const uint64_t failures = spool->SyncFailures();
    std::string note;
    if (failures > q.sync_failures_seen && !q.sync_failing_said) {
      note = "the disk does not confirm what the spool writes (" + spool->SyncError() +
             "); what the spool took since its last good sync may not survive a power loss.";
      q.sync_failing_said = true;
    } else if (q.sync_failing_said && !spool->SyncFailing()) {
      note = "the disk confirms what the spool writes again, after " + std::to_string(failures) +
             " failed syncs; what the spool took before them may still be missing on the disk.";
      q.sync_failing_said = false;
    }
    q.sync_failures_seen = failures;
    if (note.empty()) continue;
    std::fprintf(stderr, "Tallyhost: entry %d: %s\n", e, note.c_str());
    std::fflush(stderr);
    TheEntryStatus().NoteProblem(e, note);
  }
}

// After a start, what the spool holds may have been stored already (the
// program ended between a pass's commit and the spool's note of it, or the
// head file was lost): the database's ledger says up to which number, and
// those are dropped without a pass. When the database cannot be read now,
// it is asked again at the entry's next turn, and each pass checks for
// itself meanwhile.
void MainForm::SkipStored(int element, EntryQueue& q) {
  if (!q.spool || q.spool->Waiting() == 0) {
    q.checked = true;
    return;
  }
  const std::string& connection = s_.Slot(element);
  uint64_t through = 0;
  if (connection.empty()) q.checked = true;
  if (connection.empty() || !ledger::ReadCommittedThrough(connection, q.spool->Key(), &through)) return;
  q.checked = true;
  const uint64_t skipped = q.spool->SkipThrough(through);
  if (skipped == 0) return;
  already_stored_ += skipped;
  TheEntryStatus().OnSkipped(element, skipped);
  std::fprintf(stderr,
               "Tallyhost: entry %d: %llu datagrams in the spool %s were stored before (through number %llu) "
               "and were skipped.\n",
               element, static_cast<unsigned long long>(skipped), q.spool->path().c_str(),
               static_cast<unsigned long long>(through));
  std::fflush(stderr);
  TheEntryStatus().SetWaiting(element, q.memory.size() + q.spool->Waiting(), "");
}

size_t MainForm::Pending() const {
  size_t n = 0;
  for (const auto& [element, q] : queues_) n += q.memory.size();
  std::lock_guard<std::mutex> lock(const_cast<std::mutex&>(spools_mu_));
  for (const auto& [element, spool] : spools_) n += spool->Waiting();
  return n;
}

void MainForm::OnArrived() { HandOverNext(); }

void MainForm::Continue() {
  continuation_posted_ = false;
  HandOverNext();
}

// Hands over the oldest waiting datagram of the next entry whose turn it is,
// unless a pass is running (then the running pass's caller comes back here),
// and comes back for the next one through the event loop, so that the window
// stays responsive.
void MainForm::HandOverNext() {
  if (busy_ || stopping_) return;
  Collect();
  std::vector<int> elements;
  {
    std::lock_guard<std::mutex> lock(spools_mu_);
    for (const auto& [n, spool] : spools_) {
      queues_[n].spool = spool;
      elements.push_back(n);
    }
  }
  for (const auto& [n, q] : queues_)
    if (!q.memory.empty() && !q.spool) elements.push_back(n);
  std::sort(elements.begin(), elements.end());
  // Entries take turns, starting after the one served last.
  std::rotate(elements.begin(), std::upper_bound(elements.begin(), elements.end(), last_element_),
              elements.end());
  const auto now = env::Current().SteadyNow();
  for (int e : elements) {
    EntryQueue& q = queues_[e];
    if (q.retry_at > now) continue;
    if (q.spool && !q.checked) SkipStored(e, q);
    // What the spool holds came first: what waits in memory is what the
    // spool could not take (a full disk) after it.
    const bool from_memory = !q.memory.empty() && !(q.spool && q.spool->Waiting() > 0);
    std::optional<SpooledDatagram> d;
    if (from_memory) {
      d = q.memory.front();
    } else if (q.spool) {
      d = q.spool->Peek();
    }
    if (!d) continue;
    last_element_ = e;
    const uint64_t waiting = q.memory.size() + (q.spool ? q.spool->Waiting() : 0);
    if (HandOver(e, *d, waiting, from_memory ? std::string() : q.spool->Key()) == PassEnd::Deferred) {
      q.pause = std::min(std::max(q.pause * 2, kFirstPause), kLongestPause);
      q.retry_at = env::Current().SteadyNow() + q.pause;
    } else {
      q.pause = std::chrono::milliseconds{0};
      q.retry_at = {};
      if (from_memory) {
        q.memory.pop_front();
        s_.udpPeerB->Release(d->data.size());
      } else {
        q.spool->Pop();
      }
      TheEntryStatus().SetWaiting(e, q.memory.size() + (q.spool ? q.spool->Waiting() : 0), "");
    }
    if (!continuation_posted_) {
      continuation_posted_ = true;
      QMetaObject::invokeMethod(this, &MainForm::Continue, Qt::QueuedConnection);
    }
    return;
  }
  ScheduleRetry();
}

// Nothing can be handed over now: wake up when the first paused entry may
// try again.
void MainForm::ScheduleRetry() {
  std::chrono::steady_clock::time_point first{};
  for (const auto& [e, q] : queues_) {
    bool waits = !q.memory.empty() || (q.spool && q.spool->Waiting() > 0);
    if (waits && q.retry_at != std::chrono::steady_clock::time_point{} &&
        (first == std::chrono::steady_clock::time_point{} || q.retry_at < first))
      first = q.retry_at;
  }
  if (first == std::chrono::steady_clock::time_point{}) return;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(first - env::Current().SteadyNow());
  retry_timer_->start(static_cast<int>(std::max<int64_t>(ms.count(), 0) + 1));
}

void MainForm::Flush() {
  if (stopping_) return;
  stopping_ = true;
  if (retry_timer_) retry_timer_->stop();
  if (sync_timer_) sync_timer_->stop();
  Collect();   // what waits in memory goes into the spools while they take it
  // What no spool took would be lost at the end: it is handed over while
  // the database takes it at once and the end is not overdue, and only
  // when nothing of its entry waits in the spool ahead of it.
  const auto deadline = std::chrono::steady_clock::now() + kFlushBudget;
  for (auto& [e, q] : queues_) {
    bool database_takes = !busy_ && !(q.spool && q.spool->Waiting() > 0);
    uint64_t lost = 0;
    double first = 0, last = 0;
    while (!q.memory.empty()) {
      const SpooledDatagram& d = q.memory.front();
      if (!(database_takes && std::chrono::steady_clock::now() < deadline &&
            HandOver(e, d, q.memory.size(), "") == PassEnd::Done)) {
        database_takes = false;
        if (lost++ == 0) first = d.arrival;
        last = d.arrival;
      }
      s_.udpPeerB->Release(d.data.size());
      q.memory.pop_front();
    }
    s_.udpPeerB->Unhold(e);
    if (lost > 0) {
      const std::string note = std::to_string(lost) + " datagrams received from " + datetime::FormatFull(first) +
                               " to " + datetime::FormatFull(last) +
                               " are lost: neither the spool (a full disk, or its size cap) nor the database could "
                               "take them before the end.";
      std::fprintf(stderr, "Tallyhost: entry %d: %s\n", e, note.c_str());
      std::fflush(stderr);
      TheEntryStatus().NoteProblem(e, note);
    }
  }
  // What waits in the spools is for the next start.
  std::lock_guard<std::mutex> lock(spools_mu_);
  for (const auto& [e, spool] : spools_) {
    if (!spool->Sync()) {
      std::fprintf(stderr, "Tallyhost: entry %d: %s; what it holds may not survive a power loss.\n", e,
                   spool->SyncError().c_str());
      std::fflush(stderr);
    }
    const auto [first, last] = spool->WaitingRange();
    if (spool->Waiting() == 0) continue;
    std::fprintf(stderr, "Tallyhost: entry %d: %llu datagrams (numbers %llu to %llu) wait in the spool %s for the next start.\n",
                 e, static_cast<unsigned long long>(spool->Waiting()), static_cast<unsigned long long>(first),
                 static_cast<unsigned long long>(last), spool->path().c_str());
    std::fflush(stderr);
  }
}

MainForm::PassEnd MainForm::HandOver(int element, const SpooledDatagram& d, uint64_t waiting,
                                     const std::string& spool_key) {
  const ListRow* row = s_.ListView1.Find("con" + std::to_string(element));
  // A deleted entry's datagrams that were read before it went keep its
  // settings.
  std::optional<EntrySettings> settings;
  if (row) {
    settings = EntrySettings{s_.Slot(element), row->sub[2], row->text};
  } else if (auto it = retired_.find(element); it != retired_.end()) {
    settings = it->second;
  }
  const std::string port_text = settings ? settings->port_text : std::to_string(d.local_port);
  std::string receipt = "Log recieved on port " + port_text + " at " +
                        datetime::FormatFull(d.arrival) + " from IP Address: " +
                        d.sender_address + ":" + std::to_string(d.sender_port) + " containing " +
                        std::to_string(d.data.size()) + " bytes of data.";
  SetStatus(receipt);
  if (!settings) {
    ++failed_;
    std::string note = "The datagram was not processed: its connection has been deleted.";
    std::fprintf(stderr, "Tallyhost: %s\n  %s\n", receipt.c_str(), note.c_str());
    SetStatus(receipt + "\n" + note);
    emit Passed();
    return PassEnd::Done;
  }
  busy_ = true;
  SenderScope box_sender(d.sender_address);   // box_throttle.h
  PassRecord pass(element, d.sender_address);   // entry_status.h
  std::string outcome;
  PassEnd end = PassEnd::Done;
  com::ComPtr<tallycore::_Score_Class> obj;
  auto last_pass = [&obj]() {
    com::ComPtr<tallycore::IScoreReport> report;
    if (obj && obj->QueryInterface(tallycore::IID_IScoreReport,
                                   reinterpret_cast<void**>(report.Receive())) == com::S_OK)
      return report->LastPass();
    return tallycore::PassOutcome{};
  };
  try {
    std::string error;
    com::HRESULT hr = com::CoCreateInstance(tallycore::CLSID_Score_Class,
                                            tallycore::IID__Score_Class,
                                            reinterpret_cast<void**>(obj.Receive()),
                                            tallycore::kLibraryName, &error);
    if (hr != com::S_OK || !obj)
      throw com::Error(hr, error.empty() ? "Can not create " + s_.ProgID : error);
    current_ = obj;   // releases the previous object
    tallycore::SetPassProperties(*obj.get(), {settings->connection_string, d.local_port, d.sender_address,
                                              d.sender_port, settings->log_path, s_.RawLog, d.data});
    if (!spool_key.empty() && d.sequence > 0) tallycore::SetDatagramIdentity(*obj.get(), spool_key, d.sequence);
    obj->Process();
    tallycore::PassOutcome o = last_pass();
    if (o.already_stored) {
      // Handed over again after the program ended between storing it and
      // the spool's note of that: the database has it.
      ++already_stored_;
      pass.Skipped();
      TheEntryStatus().OnSkipped(element, 1);
      outcome = "The datagram (number " + std::to_string(d.sequence) +
                " of its spool) was stored before and is not stored again.";
      busy_ = false;
      SetStatus(receipt + "\n" + outcome);
      emit Passed();
      return PassEnd::Done;
    }
    if (o.deferred) {
      // The process log could not be written: nothing was stored.
      end = PassEnd::Deferred;
      ++deferred_;
      outcome = "The datagram waits in the spool (" + std::to_string(waiting) + " waiting for port " +
                port_text + "): the process log can not be written.";
      pass.Deferred();
      TheEntryStatus().SetWaiting(element, waiting, "the process log can not be written");
      std::fprintf(stderr, "Tallyhost: %s\n  %s\n", receipt.c_str(), outcome.c_str());
      std::fflush(stderr);
    } else {
      ++handed_over_;
    }
    // What the pass left out and still stored the rest: lines it could not
    // read, statements answered No, a stop at a prompt. Said here and kept
    // among the entry's problems.
    const std::string incomplete = WhatIsMissing(o);
    if (!incomplete.empty()) {
      outcome = Printable(incomplete);
      std::fprintf(stderr, "Tallyhost: %s\n  %s\n", receipt.c_str(), outcome.c_str());
      std::fflush(stderr);
    }
    pass.Stored(o.server_hostname, incomplete);
  } catch (...) {
    Failure f = CurrentFailure();
    if (last_pass().deferred) {
      end = PassEnd::Deferred;
      ++deferred_;
      outcome = "The datagram waits in the spool (" + std::to_string(waiting) +
                " waiting for port " + port_text + "): Error # " + std::to_string(f.Number()) +
                ":" + Printable(f.Description());
      pass.Deferred();
      TheEntryStatus().SetWaiting(element, waiting, Printable(f.Description()));
    } else {
      ++failed_;
      outcome = "Processing failed: Error # " + std::to_string(f.Number()) + ":" +
                Printable(f.Description());
      pass.Failed(outcome);
    }
    std::fprintf(stderr, "Tallyhost: %s\n  %s\n", receipt.c_str(), outcome.c_str());
    std::fflush(stderr);
  }
  busy_ = false;
  // The system's own drops at this program's sockets (receive buffers full):
  // say so when they rise. A socket bound anew counts from 0 again.
  const auto now = std::chrono::steady_clock::now();
  if (now - drops_checked_ >= std::chrono::seconds(1)) {
    drops_checked_ = now;
    const uint64_t drops = s_.udpPeerB->KernelReceiveDrops();
    if (drops > kernel_drops_seen_) {
      std::string note = "The system dropped " + std::to_string(drops - kernel_drops_seen_) +
                         " datagrams at the listening ports since the last report (receive buffers full).";
      std::fprintf(stderr, "Tallyhost: %s\n", note.c_str());
      std::fflush(stderr);
      outcome += (outcome.empty() ? "" : "\n") + note;
    }
    kernel_drops_seen_ = drops;
  }
  if (!outcome.empty()) SetStatus(receipt + "\n" + outcome);
  emit Passed();
  return end;
}

}  // namespace tallyhost
