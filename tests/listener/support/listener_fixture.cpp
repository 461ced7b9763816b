#include "listener_fixture.h"
#include "scripted_boxes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <filesystem>

#include "datagram_builder.h"
#include "schema.h"
#include "textfile.h"

namespace listenertest {

namespace {
std::optional<std::string> Pop(std::deque<std::optional<std::string>>& q) {
  if (q.empty()) return std::nullopt;
  auto v = q.front();
  q.pop_front();
  return v;
}
}  // namespace

bool ScriptedFront::ShowLogin(const std::string& l1, const std::string& l2, tallyhost::LogonTester& tester) {
  login_labels.emplace_back(l1, l2);
  for (; !logons.empty(); logons.pop_front()) {
    if (!logons.front()) break;
    auto outcome = tester.Test(logons.front()->first, logons.front()->second);
    if (outcome != tallyhost::LogonTester::Outcome::TryAgain) {
      logons.pop_front();
      return outcome == tallyhost::LogonTester::Outcome::Accepted;
    }
  }
  if (!logons.empty()) logons.pop_front();
  return false;
}

bool ScriptedFront::ShowSingleValue(const std::string& caption, const std::string& label, std::string* text,
                                    Placement) {
  seen.push_back({caption, label, *text, {}});
  auto v = Pop(values);
  if (v) *text = *v;
  return v.has_value();
}

bool ScriptedFront::ShowSingleSelect(const std::string& caption, const std::string& label,
                                     const std::vector<std::string>& items, std::string* text, Placement) {
  seen.push_back({caption, label, *text, items});
  auto v = Pop(selects);
  if (v) *text = *v;
  return v.has_value();
}

std::optional<std::string> ScriptedFront::ShowFileDialog(const std::string&, const std::string& file_name) {
  file_dialog_names.push_back(file_name);
  return Pop(files);
}

std::optional<std::string> ScriptedFront::PromptNew(const std::string& current) {
  data_link_currents.push_back(current);
  return Pop(data_links);
}

int SendDatagram(int port, const std::vector<uint8_t>& bytes) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  EXPECT_EQ(n, static_cast<ssize_t>(bytes.size())) << "sendto failed";
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool WaitUntil(const std::function<bool()>& done, double seconds) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > seconds * 1000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(2);
  }
  return true;
}

Datagrams LogsData(const std::string& db_path) {
  Datagrams out;
  for (const auto& row : testkit::SqlRows(db_path, "SELECT Log_Data FROM Logs ORDER BY Record"))
    out.emplace_back(row[0].begin(), row[0].end());
  return out;
}

std::vector<uint8_t> ValidDatagram(uint32_t packet_number, const std::string& tag) {
  datagram::Builder b;
  b.server_vars = {{"hostname", "Test Server " + tag}, {"$HOST_IP$", "10.0.0.5"}, {"port", "27960"}, {"tag", tag}};
  b.packet_number = packet_number;
  return b.Build();
}

Datagrams Numbered(uint32_t first, uint32_t last) {
  Datagrams out;
  for (uint32_t i = first; i <= last; ++i) out.push_back(ValidDatagram(i));
  return out;
}

tallyhost::EntrySnapshot Entry(int n) {
  for (const tallyhost::EntrySnapshot& s : tallyhost::TheEntryStatus().Snapshot())
    if (s.entry == n) return s;
  return {};
}

void ListenerTest::SetUp() {
  tmp_ = std::make_unique<testkit::TempDir>();
  boxes_ = std::make_shared<testkit::ScriptedMessageBoxes>();
  previous_boxes_ = msgbox::Install(boxes_);
  state_ = std::make_unique<tallyhost::MainState>();
}

void ListenerTest::TearDown() {
  form_.reset();
  state_.reset();
  msgbox::Install(previous_boxes_);
  tmp_.reset();
}

void ListenerTest::WriteConfig(const std::vector<std::string>& lines, const std::string& name) {
  std::filesystem::create_directories(ProgramPath());
  ASSERT_TRUE(textfile::WriteLines(ProgramPath() + "/" + name, lines));
}

std::string ListenerTest::NewDatabase(const std::string& name) {
  std::string p = tmp_->File(name);
  testkit::Touch(p);
  return p;
}

bool ListenerTest::Start(const std::string& command_line) {
  try {
    tallyhost::Main(*state_, command_line, front_, front_);
  } catch (const tallyhost::StartupAbort&) {
    return false;
  }
  form_ = std::make_unique<tallyhost::MainForm>(*state_, front_, front_);
  form_->StartReceiving();
  return true;
}

void ListenerTest::WriteEntries(int count) {
  std::vector<std::string> lines;
  for (int i = 1; i <= count; ++i) {
    ports[i] = FreeUdpPort();
    dbs[i] = NewDatabase("db" + std::to_string(i) + ".mdb");
    logs[i] = tmp_->File("log" + std::to_string(i) + "/Process.log");
    lines.push_back(Line(ports[i], dbs[i], logs[i]));
  }
  WriteConfig(lines);
}

Texts ListenerTest::Column(int c) const {
  Texts out;
  for (const auto& row : state_->ListView1.rows())
    out.push_back(c < 0 ? row.key : c == 0 ? row.text : row.sub[c - 1]);
  return out;
}

std::string ListenerTest::OnlyBox(const std::string& title) const {
  const auto shown = Boxes();
  EXPECT_EQ(shown.size(), 1u);
  if (shown.empty()) return "";
  EXPECT_EQ(shown[0].title, title);
  return shown[0].text;
}

void ListenerTest::StartEntries(int count) {
  WriteEntries(count);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Boxes().empty());
}

bool ListenerTest::WaitStored(int entry, size_t count) {
  return WaitUntil([&] { return LogsCount(dbs[entry]) >= count && !Form().Busy() && Form().Pending() == 0; });
}

void ListenerTest::RestoreDatabase(int entry) {
  ASSERT_EQ(NewDatabase("db" + std::to_string(entry) + ".mdb"), dbs[entry]);
  schema::CreateDatabaseTables("Provider=SQLite;Data Source=" + dbs[entry]);
}

}  // namespace listenertest
