// The text logs on a full disk, through the fault-injecting Env: a line is
// written whole or not at all, the next one starts on a line of its own, and
// the failure is told with the system's reason.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>

#include "fault_env.h"
#include "test_env.h"
#include "textfile.h"

namespace {

using testkit::FaultEnv;

// A write that meets the full disk halfway (the bytes it wrote count), then
// no room at all.
void FillDiskHalfway(FaultEnv& fs, const std::string& part) {
  fs.Add({FaultEnv::Call::kWrite, part, ENOSPC, 0, 0, /*short_write=*/true});
}

TEST(TextFileFaults, ALineCutShortByAFullDiskIsTakenBackAndTheNextStartsOnItsOwn) {
  testkit::TempDir tmp;
  FaultEnv fs;
  const std::string log = tmp.File("Process.log");
  ASSERT_TRUE(textfile::AppendLine(log, "first"));
  FillDiskHalfway(fs, "Process.log");
  errno = 0;
  EXPECT_FALSE(textfile::AppendLine(log, "second line, cut short"));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(testkit::ReadFile(log), "first\r\n");
  fs.Clear();
  ASSERT_TRUE(textfile::AppendLine(log, "third"));
  EXPECT_EQ(testkit::ReadFile(log), "first\r\nthird\r\n");

  // Held open from line to line: the same.
  textfile::Appender appender;
  ASSERT_TRUE(appender.Append(log, "fourth"));
  FillDiskHalfway(fs, "Process.log");
  EXPECT_FALSE(appender.Append(log, "fifth, cut short"));
  EXPECT_EQ(testkit::ReadFile(log), "first\r\nthird\r\nfourth\r\n");
  fs.Clear();
  ASSERT_TRUE(appender.Append(log, "sixth"));
  EXPECT_EQ(testkit::ReadFile(log), "first\r\nthird\r\nfourth\r\nsixth\r\n");
  // Renamed away and made anew (a rotation): the next line goes to the new file.
  ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
  testkit::WriteFile(log, "");
  ASSERT_TRUE(appender.Append(log, "seventh"));
  EXPECT_EQ(testkit::ReadFile(log), "seventh\r\n");
}

// A piece that could not be taken back does not swallow the next line.
TEST(TextFileFaults, APieceLeftByAFullDiskDoesNotSwallowTheNextLine) {
  testkit::TempDir tmp;
  FaultEnv fs;
  const std::string log = tmp.File("Logout.log");
  ASSERT_TRUE(textfile::AppendLine(log, "one"));
  FillDiskHalfway(fs, "Logout.log");
  fs.Add({FaultEnv::Call::kTruncate, "Logout.log", EIO});
  EXPECT_FALSE(textfile::AppendLine(log, "twotwo"));
  fs.Clear();
  ASSERT_TRUE(textfile::AppendLine(log, "three"));
  EXPECT_EQ(textfile::ReadLines(log), (std::vector<std::string>{"one", "twot", "three"}));
}

TEST(TextFileFaults, WriteLinesOnAFullDiskFailsWithTheSystemsReason) {
  testkit::TempDir tmp;
  FaultEnv fs;
  const std::string path = tmp.File("lines.txt");
  fs.FillDisk("lines.txt");
  errno = 0;
  EXPECT_FALSE(textfile::WriteLines(path, {"a", "b"}));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(fs.Failed(FaultEnv::Call::kWrite), 1u);
  fs.Clear();
  ASSERT_TRUE(textfile::WriteLines(path, {"a", "b"}));
  EXPECT_EQ(testkit::ReadFile(path), "a\r\nb\r\n");
}

}  // namespace

namespace {

// The fault Env knows an open file by the path it now has.
TEST(FaultEnvSelf, AFileIsKnownByThePathItWasRenamedTo) {
  testkit::TempDir tmp;
  FaultEnv fs;
  const int fd = fs.Open(tmp.File("made.tmp"), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fs.Rename(tmp.File("made.tmp"), tmp.File("kept.log")), 0);
  fs.FillDisk("kept.log");
  errno = 0;
  EXPECT_EQ(fs.Write(fd, "x", 1), -1);
  EXPECT_EQ(errno, ENOSPC);
  fs.Clear();
  fs.FillDisk("made.tmp");
  EXPECT_EQ(fs.Write(fd, "x", 1), 1);
  EXPECT_EQ(fs.Calls(FaultEnv::Call::kWrite), 2u);
  EXPECT_EQ(fs.Failed(FaultEnv::Call::kWrite), 1u);
  EXPECT_EQ(fs.Close(fd), 0);
}

}  // namespace
