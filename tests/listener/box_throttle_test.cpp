// No storm of information boxes: one box per sender and text per 10
// minutes, repeats counted and written out; question boxes unchanged.
#include <gtest/gtest.h>

#include "box_throttle.h"
#include "datagram_builder.h"
#include "listener_fixture.h"

using namespace listenertest;
using tallyhost::SenderScope;
using tallyhost::ThrottledMessageBoxes;

namespace {

TEST(BoxThrottle, InformationBoxesOncePerSenderAndTextPerTenMinutes) {
  auto inner = std::make_shared<msgbox::ScriptedMessageBoxes>();
  auto now = std::chrono::steady_clock::now();
  ThrottledMessageBoxes boxes(inner, [&] { return now; });
  std::vector<std::string> lines;
  boxes.SetWriter([&](const std::string& l) { lines.push_back(l); });
  {
    SenderScope a("10.0.0.1");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message), msgbox::vbOK);
    boxes.Show("other text", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);   // another text: shown
    {
      SenderScope b("10.0.0.2");
      boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);   // another sender: shown
    }
    inner->Push(msgbox::vbYes);
    inner->Push(msgbox::vbNo);
    EXPECT_EQ(boxes.Show("locked", msgbox::vbYesNoCancel, "Record is Locked", msgbox::Kind::LockPrompt), msgbox::vbYes);
    EXPECT_EQ(boxes.Show("locked", msgbox::vbYesNoCancel, "Record is Locked", msgbox::Kind::LockPrompt), msgbox::vbNo);
    now += std::chrono::minutes(9);
    boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);
    now += std::chrono::minutes(1);
    boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);   // 10 minutes on: shown again
  }
  boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);     // outside any datagram: shown
  boxes.Show("no hostname", msgbox::vbOKOnly, "Missing", msgbox::Kind::Message);
  std::vector<std::string> titles;
  for (const auto& s : inner->shown()) titles.push_back(s.title + "/" + s.text);
  EXPECT_EQ(titles, (std::vector<std::string>{"Missing/no hostname", "Missing/other text", "Missing/no hostname",
                                              "Record is Locked/locked", "Record is Locked/locked",
                                              "Missing/no hostname", "Missing/no hostname",
                                              "Missing/no hostname"}));
  EXPECT_EQ(boxes.Suppressed(), 3u);
  EXPECT_EQ(boxes.Suppressed("10.0.0.1"), 3u);
  EXPECT_EQ(boxes.Suppressed("10.0.0.2"), 0u);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "repeated message for 10.0.0.1 not shown (2 since it was shown): Missing: no hostname");
}

class BoxStorm : public ListenerTest {};

TEST_F(BoxStorm, DatagramsWithoutHostnameShowOneBox) {
  StartEntries(1);
  auto throttled = std::make_shared<ThrottledMessageBoxes>(boxes_);
  std::vector<std::string> lines;
  throttled->SetWriter([&](const std::string& l) { lines.push_back(l); });
  msgbox::Install(throttled);
  datagram::Builder b;
  b.server_vars = {{"$HOST_IP$", "10.0.0.5"}, {"port", "27960"}};
  for (int i = 0; i < 5; ++i) SendDatagram(ports[1], b.Build());
  ASSERT_TRUE(WaitUntil([&] { return LogsCount(dbs[1]) == 5 && !Form().Busy() && Form().Pending() == 0; }));
  EXPECT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(throttled->Suppressed("127.0.0.1"), 4u);
  EXPECT_EQ(lines.size(), 4u);
  msgbox::Install(boxes_);
}

}  // namespace
