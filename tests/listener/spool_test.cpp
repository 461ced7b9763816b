// The durable spool on its own: order and numbers across reopening, and
// damaged files keeping every intact record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "spool_kit.h"

using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
using namespace spooltest;
using testkit::ReadFile;

namespace {

void AppendBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

void Patch(const std::string& path, size_t at, const std::string& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(at));
  f << bytes;
}

// Changes the byte at `at` whatever it holds (the file's key is random:
// writing a fixed value would leave it as it was now and then).
void Flip(const std::string& path, size_t at) {
  Patch(path, at, std::string(1, static_cast<char>(~ReadFile(path).at(at))));
}

TEST_F(SpoolTest, RecordsRoundTripOnlyUnderTheirKeyAndTheDecoderRefusesCutsAndFlips) {
  SpooledDatagram d = Datagram(3, 200);
  const uint64_t key = 0x1234'5678'9abc'def0ULL;
  auto bytes = tallyhost::EncodeSpoolRecord(d, key, 77);
  SpooledDatagram back;
  ASSERT_EQ(tallyhost::DecodeSpoolRecord(bytes.data(), bytes.size(), key, &back), bytes.size());
  ExpectSame(back, 3, 200);
  EXPECT_EQ(back.sequence, 77u);
  EXPECT_EQ(tallyhost::DecodeSpoolRecord(bytes.data(), bytes.size(), key ^ 1, nullptr), 0u);
  EXPECT_EQ(tallyhost::DecodeSpoolRecord(bytes.data(), bytes.size() - 1, key, nullptr), 0u);
  for (size_t at : {0ul, 5ul, 9ul, 17ul, 25ul, 40ul, bytes.size() - 1}) {
    auto flipped = bytes;
    flipped[at] ^= 0x40;
    EXPECT_EQ(tallyhost::DecodeSpoolRecord(flipped.data(), flipped.size(), key, nullptr), 0u) << at;
  }
}

TEST_F(SpoolTest, OrderAndNumbersAreKeptAcrossReopeningEmptyingAndPops) {
  Spooled(10);
  auto s = Open();
  const std::string key = s->Key();
  EXPECT_EQ(key.size(), 16u);
  EXPECT_EQ(s->WaitingRange(), std::make_pair(uint64_t{1}, uint64_t{10}));
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(s->Peek());   // a Peek without a Pop gives the same record
    EXPECT_EQ(s->Peek()->sequence, static_cast<uint64_t>(i + 1));
    ExpectNext(*s, i);
  }
  s->Pop();   // a Pop after a Pop, with no Peek between, drops nothing
  EXPECT_EQ(s->Waiting(), 6u);
  ASSERT_TRUE(s->Append(Datagram(10)));
  Reopen(s);   // resumes after the last popped record
  EXPECT_FALSE(s->Damage().Any());
  // Held by one program, the spool is left alone by any other opening.
  EXPECT_THAT([&] { Open(); }, ThrowsMessage<std::exception>(HasSubstr("is in use by another program")));
  EXPECT_EQ(s->WaitingRange(), std::make_pair(uint64_t{5}, uint64_t{11}));
  ExpectDrains(*s, {4, 5, 6, 7, 8, 9, 10});
  // Opened with nothing waiting, the file is emptied down to its header, and
  // numbering goes on above every number given before: with the head gone,
  // the emptied file's header alone knows the next number.
  Reopen(s);
  EXPECT_EQ(std::filesystem::file_size(DataFile()), kFileHeader);
  s.reset();
  std::filesystem::remove(HeadFile());
  s = Open();
  EXPECT_EQ(s->Key(), key);   // the key is the file's for good
  EXPECT_EQ(s->Waiting(), 0u);
  ASSERT_TRUE(s->Append(Datagram(11)));
  EXPECT_EQ(s->Peek()->sequence, 12u);
  ExpectDrains(*s, {11});
  // Records are read ahead in chunks: taking and appending in turn, over
  // more than a chunk's worth and sizes that cross chunk ends, and past the
  // size at which an emptied file is cut back, each comes back whole and in
  // order, numbered one after the other.
  auto size = [](int i) { return static_cast<size_t>(1000 + 37 * (i % 90)); };
  int next = 0, taken = 0;
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 1500; ++k, ++next) ASSERT_TRUE(s->Append(Datagram(next, size(next))));
    for (; taken < next - (round < 2 ? 40 : 0); ++taken) {
      ASSERT_EQ(s->Peek()->sequence, static_cast<uint64_t>(13 + taken));
      ExpectNext(*s, taken, size(taken));
    }
  }
  EXPECT_FALSE(s->Peek());
  EXPECT_EQ(std::filesystem::file_size(DataFile()), kFileHeader);   // cut back once empty
  ASSERT_TRUE(s->Append(Datagram(5, 77)));
  EXPECT_EQ(s->Peek()->sequence, static_cast<uint64_t>(13 + next));
  ExpectNext(*s, 5, 77);
}

// The head is only a hint: lost, every record is offered again and
// SkipThrough (the ledger) drops the stored ones; no number is given twice.
TEST_F(SpoolTest, ALostHeadOffersRecordsAgainAndSkipThroughDropsTheStoredOnes) {
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    std::filesystem::remove_all(Folder());
    Spooled(8, 5);
    if (variant == 0) std::filesystem::remove(HeadFile());
    if (variant == 1) Patch(HeadFile(), 6, "\x01");
    if (variant == 2) testkit::WriteFile(HeadFile(), "TSH2 and no head");
    auto s = Open();
    EXPECT_FALSE(s->Damage().Any());
    ASSERT_EQ(s->Waiting(), 8u);
    EXPECT_EQ(s->SkipThrough(5), 5u);
    EXPECT_EQ(s->SkipThrough(5), 0u);
    ExpectDrains(*s, {5, 6, 7});
  }
  auto s = Open();
  EXPECT_EQ(s->SkipThrough(1000), 0u);
  ASSERT_TRUE(s->Append(Datagram(1)));
  EXPECT_EQ(s->Peek()->sequence, 1001u);
}

// A crash between emptying the file and writing the head leaves a head past
// the data, or at a record with another number: neither hides a datagram.
TEST_F(SpoolTest, AStaleHeadFromBeforeTheFileWasEmptiedHidesNothing) {
  std::string stale;
  {
    auto s = Open();
    for (int i = 20; i < 26; ++i) ASSERT_TRUE(s->Append(Datagram(i)));   // records as long as the later ones
    for (int i = 20; i < 24; ++i) ExpectNext(*s, i);
    stale = ReadFile(HeadFile());   // the head at number 5, four records in
    ExpectNext(*s, 24);
    ExpectNext(*s, 25);
  }
  Open().reset();   // emptied at opening: nothing waits
  EXPECT_EQ(std::filesystem::file_size(DataFile()), kFileHeader);
  testkit::WriteFile(HeadFile(), stale);   // past the data now
  auto s = Open();
  EXPECT_EQ(s->Waiting(), 0u);
  EXPECT_FALSE(s->Damage().Any());
  for (int i = 10; i < 16; ++i) ASSERT_TRUE(s->Append(Datagram(i)));
  EXPECT_EQ(s->Peek()->sequence, 7u);   // numbers go on
  s.reset();
  testkit::WriteFile(HeadFile(), stale);   // at a record again, numbered 11, not 5
  s = Open();
  EXPECT_FALSE(s->Damage().Any());
  EXPECT_EQ(s->Peek()->sequence, 7u);
  ExpectDrains(*s, {10, 11, 12, 13, 14, 15});
}

// Every intact record is kept, the damage is told in bytes and datagrams, and
// the file is rewritten without it: appends go on after the intact records.
TEST_F(SpoolTest, DamageIsReportedInBytesAndDatagramsAndEveryIntactRecordKept) {
  const size_t record = RecordSize();
  const auto torn = tallyhost::EncodeSpoolRecord(Datagram(9), 1, 1);
  std::mt19937 rng(11);
  std::string junk;
  for (int i = 0; i < 3000; ++i) junk += static_cast<char>(rng());
  const struct {
    int records;
    std::function<void()> damage;
    size_t bytes, regions, datagrams;
    std::vector<int> left;
    const char* said;
  } cases[] = {
      // A crash in the middle of the last write: the record is cut short.
      {5, [&] { std::filesystem::resize_file(DataFile(), kFileHeader + 5 * record - record / 2); },
       record - record / 2, 1, 0, {0, 1, 2, 3}, "cut short after number 4"},
      // Only a header's worth of a record written.
      {3, [&] { AppendBytes(DataFile(), std::string(torn.begin(), torn.begin() + 7)); }, 7, 1, 0, {0, 1, 2},
       "cut short after number 3"},
      // Random bytes appended.
      {6, [&] { AppendBytes(DataFile(), junk); }, junk.size(), 1, 0, {0, 1, 2, 3, 4, 5}, "cut short after number 6"},
      // Record 3 overwritten with garbage from its second byte on, record 5
      // with a single flipped payload byte (its checksum no longer fits).
      {8,
       [&] {
         Patch(DataFile(), kFileHeader + 3 * record + 1, std::string(record - 2, '\x5a'));
         Flip(DataFile(), kFileHeader + 5 * record + 40);
       },
       2 * record, 2, 2, {0, 1, 2, 4, 6, 7}, "2 datagrams are lost (numbers 4, 6)"},
      // A copy of an earlier record after the last one (bytes written
      // twice), also behind a few torn bytes: damage, not that datagram again.
      {4, [&] { AppendBytes(DataFile(), ReadFile(DataFile()).substr(kFileHeader + record, record)); }, record, 1, 0,
       {0, 1, 2, 3}, "cut short after number 4"},
      {4, [&] { AppendBytes(DataFile(), "xxxxxx" + ReadFile(DataFile()).substr(kFileHeader + record, record)); },
       6 + record, 1, 0, {0, 1, 2, 3}, "cut short after number 4"},
      // Truncated in the middle of what waits, with the head past the new
      // end: the records before the cut come again (the ledger skips stored ones).
      {8, [&] { std::filesystem::resize_file(DataFile(), kFileHeader + 4 * record + 10); }, 10, 1, 0,
       {0, 1, 2, 3}, "cut short after number 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    std::filesystem::remove_all(Folder());
    Spooled(c.records);
    c.damage();
    auto s = Open();
    EXPECT_EQ(s->Damage().bytes, c.bytes);
    EXPECT_EQ(s->Damage().regions, c.regions);
    EXPECT_EQ(s->Damage().datagrams, c.datagrams);
    EXPECT_THAT(s->Damage().Describe(DataFile()), HasSubstr(c.said));
    ExpectDrains(*s, c.left);
    ASSERT_TRUE(s->Append(Datagram(20)));
    Reopen(s);
    EXPECT_FALSE(s->Damage().Any()) << s->Damage().Describe(DataFile());
    ExpectDrains(*s, {20});
  }
}

// A payload may carry bytes laid out as a record naming another sender, then
// a torn tail: without the file's key none is taken for a record.
TEST_F(SpoolTest, ARecordForgedInsideAPayloadIsNeverReadBack) {
  std::string key;
  {
    auto s = Open();
    key = s->Key();
    SpooledDatagram forged = Datagram(50);
    forged.sender_address = "203.0.113.66";
    SpooledDatagram carrier = Datagram(1, 10);
    std::mt19937_64 guess(5);
    for (int k = 0; k < 20; ++k) {   // keys guessed at random, and the obvious ones
      auto r = tallyhost::EncodeSpoolRecord(forged, k == 0 ? 0 : k == 1 ? 1 : guess(), 2 + k);
      carrier.data.insert(carrier.data.end(), r.begin(), r.end());
    }
    ASSERT_TRUE(s->Append(Datagram(0)));
    ASSERT_TRUE(s->Append(carrier));
  }
  // The carrier is cut inside its payload, after the forged records began.
  std::filesystem::resize_file(DataFile(), std::filesystem::file_size(DataFile()) - 30);
  std::filesystem::remove(HeadFile());
  auto s = Open();
  EXPECT_EQ(s->Key(), key);
  ExpectDrains(*s, {0});
}

TEST_F(SpoolTest, AFileHeaderBeyondRepairIsSetAsideAndAFileOfTheEarlierFormatConverted) {
  Spooled(3);
  // One copy of the header damaged: the other one serves.
  Flip(DataFile(), 6);
  auto s = Open();
  EXPECT_FALSE(s->Damage().Any());
  EXPECT_EQ(s->Waiting(), 3u);
  s.reset();
  Flip(DataFile(), 32 + 6);
  s = Open();
  EXPECT_TRUE(s->Damage().header_lost);
  EXPECT_THAT(s->Damage().Describe(DataFile()), HasSubstr("set aside"));
  EXPECT_EQ(s->Waiting(), 0u);
  EXPECT_TRUE(std::filesystem::exists(s->Damage().set_aside));
  s.reset();
  // The earlier format: records "TSP1" with a CRC-32 of the payload, a head
  // of the offset and the offset mixed with a constant.
  std::filesystem::remove_all(Folder());
  std::filesystem::create_directories(Folder());
  auto le = [](uint64_t v, int bytes) {   // little-endian
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
    return out;
  };
  auto v1 = [&](const SpooledDatagram& d) {
    std::string payload(8, '\0');
    std::memcpy(payload.data(), &d.arrival, 8);
    payload += le(static_cast<uint32_t>(d.sender_port), 4) + le(static_cast<uint32_t>(d.local_port), 4) +
               static_cast<char>(d.sender_address.size()) + d.sender_address;
    payload.append(d.data.begin(), d.data.end());
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size()));
    return "TSP1" + le(payload.size(), 4) + le(crc, 4) + payload;
  };
  const std::string first = v1(Datagram(0));
  testkit::WriteFile(DataFile(), first + v1(Datagram(1)) + v1(Datagram(2)));
  testkit::WriteFile(HeadFile(), le(first.size(), 8) + le(first.size() ^ 0x5441'4C4C'5953'504FULL, 8));
  s = Open();
  EXPECT_FALSE(s->Damage().Any());
  EXPECT_EQ(s->WaitingRange(), std::make_pair(uint64_t{1}, uint64_t{2}));
  ExpectDrains(*s, {1, 2});
}

// The cap counts the file: the room of datagrams dealt with is given back,
// and only what still does not fit is refused, numbering nothing.
TEST_F(SpoolTest, TheSizeCapRefusesOnlyWhatStillDoesNotFitOnceDealtWithRoomIsGivenBack) {
  tallyhost::SpoolOptions options;
  options.max_bytes = 3 * RecordSize();
  options.sync = tallyhost::SpoolSync::kEvery;
  auto s = Open(options);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(s->Append(Datagram(i)));
  EXPECT_FALSE(s->AtCap());
  EXPECT_FALSE(s->Append(Datagram(3)));
  EXPECT_FALSE(s->Append(Datagram(3)));
  EXPECT_TRUE(s->AtCap());
  EXPECT_EQ(s->RefusedAtCap(), 2u);
  ASSERT_TRUE(s->Peek());
  EXPECT_EQ(s->Peek()->sequence, 1u);
  ASSERT_TRUE(s->Append(Datagram(30)) == false);   // Peek alone deals with nothing
  s->Pop();
  ASSERT_TRUE(s->Peek());   // taken while the file is rewritten under it
  ASSERT_TRUE(s->Append(Datagram(3)));
  s->Pop();                 // drops datagram 1, not another
  EXPECT_FALSE(s->AtCap());
  EXPECT_LE(std::filesystem::file_size(DataFile()), kFileHeader + options.max_bytes);
  EXPECT_EQ(s->WaitingRange(), std::make_pair(uint64_t{3}, uint64_t{4}));   // no number used by a refusal
  Reopen(s, options);
  ExpectDrains(*s, {2, 3});
  ASSERT_TRUE(s->Append(Datagram(4)));
  EXPECT_EQ(s->Peek()->sequence, 5u);

  // Ended between rewriting the file and writing its head: the head names
  // an offset of the old file, which must not be taken for one of the new.
  ASSERT_TRUE(s->Append(Datagram(5)));
  ASSERT_TRUE(s->Append(Datagram(6)));
  ExpectNext(*s, 4);
  const std::string stale_head = ReadFile(HeadFile());
  ASSERT_TRUE(s->Append(Datagram(7)));   // rewrites the file: 5, 6, 7
  s.reset();
  testkit::WriteFile(HeadFile(), stale_head);
  s = Open(options);
  ExpectDrains(*s, {5, 6, 7});
}

}  // namespace
