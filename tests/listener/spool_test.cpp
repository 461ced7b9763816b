// The durable spool on its own: order across reopening, Pop persisting, and
// damaged files (a torn last record, bytes appended, a record overwritten in
// the middle) keeping every intact record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <tuple>

#include "spool.h"
#include "test_env.h"

using tallyhost::Spool;
using tallyhost::SpooledDatagram;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

SpooledDatagram Datagram(int i, size_t size = 40) {
  SpooledDatagram d;
  d.arrival = 46000.5 + i;
  d.sender_address = "10.0.0." + std::to_string(i % 250);
  d.sender_port = 27000 + i;
  d.local_port = 28000;
  for (size_t k = 0; k < size; ++k) d.data.push_back(static_cast<uint8_t>(i * 31 + k));
  return d;
}

void ExpectSame(const SpooledDatagram& got, int i, size_t size = 40) {
  const SpooledDatagram want = Datagram(i, size);
  EXPECT_EQ(std::tie(got.arrival, got.sender_address, got.sender_port, got.local_port, got.data),
            std::tie(want.arrival, want.sender_address, want.sender_port, want.local_port, want.data))
      << i;
}

// Takes the next datagram, checking it is Datagram(i, size).
void ExpectNext(Spool& s, int i, size_t size = 40) {
  auto d = s.Peek();
  ASSERT_TRUE(d) << i;
  ExpectSame(*d, i, size);
  s.Pop();
}

// Takes every waiting datagram, checking they are `expected` in order.
void ExpectDrains(Spool& s, const std::vector<int>& expected) {
  EXPECT_EQ(s.Waiting(), expected.size());
  for (int i : expected) ExpectNext(s, i);
  EXPECT_FALSE(s.Peek());
  EXPECT_EQ(s.Waiting(), 0u);
}

void AppendBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << bytes;
}

class SpoolTest : public ::testing::Test {
 protected:
  std::string Folder() const { return dir_.File("spool"); }
  std::string DataFile() const { return Folder() + "/port-1.spool"; }
  std::unique_ptr<Spool> Open() { return std::make_unique<Spool>(Folder(), "port-1"); }
  testkit::TempDir dir_;
};

TEST_F(SpoolTest, RecordsRoundTripAndTheDecoderRefusesCutsAndFlips) {
  SpooledDatagram d = Datagram(3, 200);
  auto bytes = tallyhost::EncodeSpoolRecord(d);
  SpooledDatagram back;
  ASSERT_EQ(tallyhost::DecodeSpoolRecord(bytes.data(), bytes.size(), &back), bytes.size());
  ExpectSame(back, 3, 200);
  EXPECT_EQ(tallyhost::DecodeSpoolRecord(bytes.data(), bytes.size() - 1, nullptr), 0u);
  for (size_t at : {0ul, 5ul, 9ul, 20ul, bytes.size() - 1}) {
    auto flipped = bytes;
    flipped[at] ^= 0x40;
    EXPECT_EQ(tallyhost::DecodeSpoolRecord(flipped.data(), flipped.size(), nullptr), 0u) << at;
  }
}

TEST_F(SpoolTest, OrderIsKeptAcrossReopeningAndPopsPersist) {
  {
    auto s = Open();
    EXPECT_EQ(s->Waiting(), 0u);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(s->Append(Datagram(i)));
    EXPECT_EQ(s->Waiting(), 10u);
  }
  {
    auto s = Open();
    EXPECT_EQ(s->Damage().bytes, 0u);
    ASSERT_EQ(s->Waiting(), 10u);
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(s->Peek());   // a Peek without a Pop gives the same record
      ExpectNext(*s, i);
    }
    s->Pop();   // a Pop after a Pop, with no Peek between, drops nothing
    EXPECT_EQ(s->Waiting(), 6u);
    ASSERT_TRUE(s->Append(Datagram(10)));
  }
  {
    auto s = Open();   // resumes after the last popped record
    EXPECT_EQ(s->Damage().bytes, 0u);
    // Held by one program, the spool is left alone by any other opening.
    EXPECT_THAT([&] { Open(); }, ThrowsMessage<std::exception>(HasSubstr("is in use by another program")));
    ExpectDrains(*s, {4, 5, 6, 7, 8, 9, 10});
  }
  // Emptied: both files are truncated, and reopening finds nothing.
  EXPECT_EQ(std::filesystem::file_size(DataFile()), 0u);
  auto s = Open();
  EXPECT_EQ(s->Waiting(), 0u);
  ASSERT_TRUE(s->Append(Datagram(11)));
  ExpectDrains(*s, {11});
  // Records are read ahead in chunks: taking and appending in turn, over
  // more than a chunk's worth and sizes that cross chunk ends, and after the
  // file was emptied, each comes back whole and in order.
  auto size = [](int i) { return static_cast<size_t>(1000 + 37 * (i % 90)); };
  int next = 0, taken = 0;
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 120; ++k, ++next) ASSERT_TRUE(s->Append(Datagram(next, size(next))));
    for (; taken < next - (round < 2 ? 40 : 0); ++taken) ExpectNext(*s, taken, size(taken));
  }
  EXPECT_FALSE(s->Peek());
  ASSERT_TRUE(s->Append(Datagram(5, 77)));   // into the emptied file
  ExpectNext(*s, 5, 77);
}

TEST_F(SpoolTest, RandomBytesAppendedAreReportedAndAppendsGoOnAfterThem) {
  std::mt19937 rng(11);
  std::string junk;
  for (int i = 0; i < 3000; ++i) junk += static_cast<char>(rng());
  {
    auto s = Open();
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(s->Append(Datagram(i)));
    s->Peek();
    s->Pop();   // the head is after record 0
  }
  AppendBytes(DataFile(), junk);
  {
    auto s = Open();
    EXPECT_EQ(s->Damage().bytes, junk.size());
    EXPECT_EQ(s->Damage().regions, 1u);
    EXPECT_EQ(s->Waiting(), 5u);
    ASSERT_TRUE(s->Append(Datagram(6)));   // after the intact ones, not after the junk
  }
  auto s = Open();
  EXPECT_EQ(s->Damage().bytes, 0u);   // the file was rewritten without the junk
  ExpectDrains(*s, {1, 2, 3, 4, 5, 6});
}

TEST_F(SpoolTest, DamageIsReportedAndEveryIntactRecordKept) {
  const size_t record = tallyhost::EncodeSpoolRecord(Datagram(0)).size();
  const auto torn = tallyhost::EncodeSpoolRecord(Datagram(9));
  const struct {
    int records;
    std::function<void()> damage;
    size_t bytes, regions;
    std::vector<int> left;
  } cases[] = {
      // A crash in the middle of the last write: the record is cut short.
      {5, [&] { std::filesystem::resize_file(DataFile(), 5 * record - record / 2); }, record - record / 2, 1,
       {0, 1, 2, 3}},
      // Only a header's worth of a record written.
      {3, [&] { AppendBytes(DataFile(), std::string(torn.begin(), torn.begin() + 7)); }, 7, 1, {0, 1, 2}},
      // Record 3 overwritten with garbage from its second byte on, record 5
      // with a single flipped payload byte (its checksum no longer fits).
      {8,
       [&] {
         std::fstream f(DataFile(), std::ios::binary | std::ios::in | std::ios::out);
         f.seekp(static_cast<std::streamoff>(3 * record + 1));
         f << std::string(record - 2, '\x5a');
         f.seekg(static_cast<std::streamoff>(5 * record + 30));
         char c = 0;
         f.get(c);
         f.seekp(static_cast<std::streamoff>(5 * record + 30));
         f.put(static_cast<char>(c ^ 1));
       },
       2 * record, 2, {0, 1, 2, 4, 6, 7}},
      // A head file that is no head replays everything: a repeat is better
      // than a loss.
      {3, [&] { testkit::WriteFile(Folder() + "/port-1.head", "garbage-garbage!"); }, 0, 0, {0, 1, 2}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(Folder());
    {
      auto s = Open();
      for (int i = 0; i < c.records; ++i) ASSERT_TRUE(s->Append(Datagram(i)));
    }
    c.damage();
    auto s = Open();
    EXPECT_EQ(s->Damage().bytes, c.bytes) << c.records;
    EXPECT_EQ(s->Damage().regions, c.regions) << c.records;
    ExpectDrains(*s, c.left);
  }
}

}  // namespace
