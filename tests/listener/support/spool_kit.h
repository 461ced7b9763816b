// The spool tests' datagrams and fixture: a spool "port-1" in a fresh
// folder, and datagrams told apart by a number.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "spool.h"
#include "test_env.h"

namespace spooltest {

using tallyhost::Spool;
using tallyhost::SpooledDatagram;

inline SpooledDatagram Datagram(int i, size_t size = 40) {
  SpooledDatagram d;
  d.arrival = 46000.5 + i;
  d.sender_address = "10.0.0." + std::to_string(i % 250);
  d.sender_port = 27000 + i;
  d.local_port = 28000;
  for (size_t k = 0; k < size; ++k) d.data.push_back(static_cast<uint8_t>(i * 31 + k));
  return d;
}

inline void ExpectSame(const SpooledDatagram& got, int i, size_t size = 40) {
  const SpooledDatagram want = Datagram(i, size);
  EXPECT_EQ(std::tie(got.arrival, got.sender_address, got.sender_port, got.local_port, got.data),
            std::tie(want.arrival, want.sender_address, want.sender_port, want.local_port, want.data)) << i;
}

// Takes the next datagram, checking it is Datagram(i, size).
inline void ExpectNext(Spool& s, int i, size_t size = 40) {
  auto d = s.Peek();
  ASSERT_TRUE(d) << i;
  ExpectSame(*d, i, size);
  s.Pop();
}

// Takes every waiting datagram, checking they are `expected` in order.
inline void ExpectDrains(Spool& s, const std::vector<int>& expected) {
  EXPECT_EQ(s.Waiting(), expected.size());
  for (int i : expected) ExpectNext(s, i);
  EXPECT_FALSE(s.Peek());
  EXPECT_EQ(s.Waiting(), 0u);
}

inline constexpr size_t kFileHeader = 64;

class SpoolTest : public ::testing::Test {
 protected:
  std::string Folder() const { return dir_.File("spool"); }
  std::string DataFile() const { return Folder() + "/port-1.spool"; }
  std::string HeadFile() const { return Folder() + "/port-1.head"; }
  std::unique_ptr<Spool> Open(tallyhost::SpoolOptions options = {}) {
    return std::make_unique<Spool>(Folder(), "port-1", options);
  }
  // Closes `s` and opens the spool again.
  void Reopen(std::unique_ptr<Spool>& s, tallyhost::SpoolOptions options = {}) {
    s.reset();
    s = Open(options);
  }
  // A spool holding Datagram(0) to Datagram(count - 1), the first `taken` of
  // them handed over; closed again.
  void Spooled(int count, int taken = 0, tallyhost::SpoolOptions options = {}) {
    auto s = Open(options);
    for (int i = 0; i < count; ++i) ASSERT_TRUE(s->Append(Datagram(i)));
    for (int i = 0; i < taken; ++i) ExpectNext(*s, i);
  }
  static size_t RecordSize() { return tallyhost::EncodeSpoolRecord(Datagram(0), 1, 1).size(); }
  testkit::TempDir dir_;
};

}  // namespace spooltest
