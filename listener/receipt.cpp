// MainForm's datagram receipt and hand-off to the engine.
#include <cstdio>

#include "box_throttle.h"
#include "datetime.h"
#include "entry_status.h"
#include "main_form.h"

namespace tallyhost {

namespace {
// A failure's description may quote datagram bytes: control characters and
// bytes outside ASCII are shown as \xNN, so that terminals and logs stay
// readable.
std::string Printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}
}  // namespace

void MainForm::StartReceiving() {
  connect(s_.udpPeerB.get(), &UdpPeerArray::Arrived, this, &MainForm::OnArrived,
          Qt::UniqueConnection);
  OnArrived();
}

// Moves what the sockets have read into the hand-off queue, with each
// entry's settings as they are now.
void MainForm::Collect() {
  for (Arrival& a : s_.udpPeerB->TakeArrivals()) {
    Queued q;
    q.element = a.element;
    q.data.assign(a.data.begin(), a.data.end());
    q.sender_address = std::move(a.sender_address);
    q.sender_port = a.sender_port;
    q.local_port = a.local_port;
    if (const ListRow* row = s_.ListView1.Find("con" + std::to_string(a.element))) {
      q.has_row = true;
      q.port_text = row->text;
      q.log_path = row->sub[2];
    } else {
      q.port_text = std::to_string(a.local_port);
    }
    q.connection_string = s_.Slot(a.element);
    q.rawlog = s_.RawLog;
    pending_.push_back(std::move(q));
  }
}

void MainForm::OnArrived() {
  Collect();
  HandOverNext();
}

// Hands over the oldest waiting datagram unless a pass is running (then the
// running pass's caller goes on with the queue), and comes back for the
// next one through the event loop, so that the window stays responsive.
void MainForm::Continue() {
  continuation_posted_ = false;
  HandOverNext();
}

void MainForm::HandOverNext() {
  if (busy_ || pending_.empty()) return;
  Queued q = std::move(pending_.front());
  pending_.pop_front();
  HandOver(q);
  Collect();
  if (!pending_.empty() && !continuation_posted_) {
    continuation_posted_ = true;
    QMetaObject::invokeMethod(this, &MainForm::Continue, Qt::QueuedConnection);
  }
}

void MainForm::Flush() {
  if (busy_) return;
  Collect();
  while (!pending_.empty()) {
    Queued q = std::move(pending_.front());
    pending_.pop_front();
    HandOver(q);
    Collect();
  }
}

void MainForm::HandOver(const Queued& q) {
  std::string receipt = "Log recieved on port " + q.port_text + " at " +
                        datetime::FormatFull(datetime::Now()) + " from IP Address: " +
                        q.sender_address + ":" + std::to_string(q.sender_port) + " containing " +
                        std::to_string(q.data.size()) + " bytes of data.";
  SetStatus(receipt);
  if (!q.has_row) {
    ++failed_;
    std::string note = "The datagram was not processed: its connection has been deleted.";
    std::fprintf(stderr, "Tallyhost: %s\n  %s\n", receipt.c_str(), note.c_str());
    SetStatus(receipt + "\n" + note);
    s_.udpPeerB->Release(q.data.size());
    emit Passed();
    return;
  }
  busy_ = true;
  SenderScope box_sender(q.sender_address);   // box_throttle.h
  PassRecord pass(q.element, q.sender_address);   // entry_status.h
  std::string outcome;
  try {
    com::ComPtr<tallycore::_Score_Class> obj;
    std::string error;
    com::HRESULT hr = com::CoCreateInstance(tallycore::CLSID_Score_Class,
                                            tallycore::IID__Score_Class,
                                            reinterpret_cast<void**>(obj.Receive()),
                                            tallycore::kLibraryName, &error);
    if (hr != com::S_OK || !obj)
      throw com::Error(hr, error.empty() ? "Can not create " + s_.ProgID : error);
    current_ = obj;   // releases the previous object
    obj->put_ConnectionString(q.connection_string);
    obj->put_ListenPort(q.local_port);
    obj->put_ConnectedIPAddress(q.sender_address);
    obj->put_ConnectedPortAddress(q.sender_port);
    obj->put_LogPath(q.log_path);
    obj->put_rawlog(q.rawlog);
    obj->put_UDPData(q.data);
    obj->Process();
    ++handed_over_;
    // Lines the pass could not read are skipped, not fatal: say which.
    com::ComPtr<tallycore::IScoreReport> report;
    if (obj->QueryInterface(tallycore::IID_IScoreReport,
                            reinterpret_cast<void**>(report.Receive())) == com::S_OK) {
      tallycore::PassOutcome o = report->LastPass();
      pass.Stored(o.server_hostname);
      if (!o.skipped_lines.empty()) {
        outcome = "Lines skipped: " + std::to_string(o.skipped_lines.size()) + " (";
        for (size_t i = 0; i < o.skipped_lines.size(); ++i)
          outcome += (i ? ", " : "") + std::to_string(o.skipped_lines[i]);
        outcome += ").";
        std::fprintf(stderr, "Tallyhost: %s\n  %s\n", receipt.c_str(), outcome.c_str());
        std::fflush(stderr);
      }
    }
    pass.Stored("");
  } catch (...) {
    Failure f = CurrentFailure();
    ++failed_;
    outcome = "Processing failed: Error # " + std::to_string(f.Number()) + ":" +
              Printable(f.Description());
    pass.Failed(outcome);
    std::fprintf(stderr, "Tallyhost: %s\n  %s\n", receipt.c_str(), outcome.c_str());
    std::fflush(stderr);
  }
  busy_ = false;
  s_.udpPeerB->Release(q.data.size());
  if (!outcome.empty()) SetStatus(receipt + "\n" + outcome);
  emit Passed();
}

}  // namespace tallyhost
