// The log file held open between lines: whatever happens to the file or its
// name between two lines, the next line lands where a fresh open of the path
// would put it, or fails where that open would fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cstdio>
#include <fstream>

#include "app/LogWriter.h"
#include "tests/support/child_process.h"
#include "tests/support/file_size_limit.h"

namespace {

using qxtest::ReadFile;

void Write(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

class LogAppender : public ::testing::Test {
 protected:
  QTemporaryDir tmp;
  std::string dir = tmp.path().toStdString();
  std::string path = dir + "/log.txt";
  TLogAppender log;
};

TEST_F(LogAppender, LinesFollowOneAnotherInTheHeldFileAndAnotherPathSwitchesFiles) {
  Write(path, "old\r\n");
  ASSERT_TRUE(log.Append(path, "one\r\n"));
  EXPECT_TRUE(log.Open());
  ASSERT_TRUE(log.Append(path, "two\r\n"));
  // Lines written by someone else in between stay in order.
  Write(path + ".x", "");
  {
    std::ofstream other(path, std::ios::binary | std::ios::app);
    other << "foreign\r\n";
  }
  ASSERT_TRUE(log.Append(path, "three\r\n"));
  EXPECT_EQ(ReadFile(path), "old\r\none\r\ntwo\r\nforeign\r\nthree\r\n");
  const std::string second = dir + "/second.txt";
  ASSERT_TRUE(log.Append(second, "a\r\n"));
  ASSERT_TRUE(log.Append(path, "four\r\n"));
  EXPECT_EQ(ReadFile(second), "a\r\n");
  EXPECT_EQ(ReadFile(path), "old\r\none\r\ntwo\r\nforeign\r\nthree\r\nfour\r\n");
  log.Close();
  EXPECT_FALSE(log.Open());
  ASSERT_TRUE(log.Append(path, "five\r\n"));
  EXPECT_EQ(ReadFile(path).substr(ReadFile(path).size() - 6), "five\r\n");
}

TEST_F(LogAppender, ARenamedRemovedOrReplacedFileLeavesTheNextLineToThePath) {
  ASSERT_TRUE(log.Append(path, "1\r\n"));
  ASSERT_EQ(std::rename(path.c_str(), (dir + "/moved.txt").c_str()), 0);
  ASSERT_TRUE(log.Append(path, "2\r\n"));
  EXPECT_EQ(ReadFile(dir + "/moved.txt"), "1\r\n");
  EXPECT_EQ(ReadFile(path), "2\r\n");

  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_TRUE(log.Append(path, "3\r\n"));
  EXPECT_EQ(ReadFile(path), "3\r\n");

  // Another file moved into its place.
  Write(dir + "/new.txt", "new\r\n");
  ASSERT_EQ(std::rename((dir + "/new.txt").c_str(), path.c_str()), 0);
  ASSERT_TRUE(log.Append(path, "4\r\n"));
  EXPECT_EQ(ReadFile(path), "new\r\n4\r\n");

  // Removed and created again by someone else.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  Write(path, "again\r\n");
  ASSERT_TRUE(log.Append(path, "5\r\n"));
  EXPECT_EQ(ReadFile(path), "again\r\n5\r\n");

  // A link in its place, and the link pointed elsewhere.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::symlink((dir + "/a.txt").c_str(), path.c_str()), 0);
  ASSERT_TRUE(log.Append(path, "a\r\n"));
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::symlink((dir + "/b.txt").c_str(), path.c_str()), 0);
  ASSERT_TRUE(log.Append(path, "b\r\n"));
  EXPECT_EQ(ReadFile(dir + "/a.txt"), "a\r\n");
  EXPECT_EQ(ReadFile(dir + "/b.txt"), "b\r\n");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  Write(path, "again\r\n");
  ASSERT_TRUE(log.Append(path, "5\r\n"));

  // Other files coming and going in the directory change nothing.
  Write(dir + "/other.txt", "x");
  ASSERT_EQ(std::rename((dir + "/other.txt").c_str(), (dir + "/other2.txt").c_str()), 0);
  ASSERT_TRUE(log.Append(path, "6\r\n"));
  EXPECT_EQ(ReadFile(path), "again\r\n5\r\n6\r\n");
}

TEST_F(LogAppender, ARenamedDirectoryOrLostPermissionFailsAsAFreshOpenWould) {
  const std::string sub = dir + "/logs";
  ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
  const std::string inSub = sub + "/log.txt";
  ASSERT_TRUE(log.Append(inSub, "1\r\n"));
  ASSERT_EQ(std::rename(sub.c_str(), (dir + "/logs2").c_str()), 0);
  EXPECT_FALSE(log.Append(inSub, "2\r\n"));
  EXPECT_EQ(ReadFile(dir + "/logs2/log.txt"), "1\r\n");

  ASSERT_TRUE(log.Append(path, "1\r\n"));
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  // A privileged user may still open it; anyone else may not.
  const int probe = ::open(path.c_str(), O_WRONLY | O_APPEND);
  const bool writable = probe >= 0;
  if (probe >= 0) ::close(probe);
  EXPECT_EQ(log.Append(path, "2\r\n"), writable);
  EXPECT_EQ(ReadFile(path), writable ? "1\r\n2\r\n" : "1\r\n");
}

TEST_F(LogAppender, ALineThatCannotBeWrittenWholeIsCutFromTheHeldFile) {
  ASSERT_TRUE(log.Append(path, "0123456789\r\n"));  // 12 bytes
  qxtest::TFileSizeLimit limit;
  ASSERT_TRUE(limit.Set(12 + 5));
  const bool ok = log.Append(path, "abcdefghij\r\n");
  limit.Lift();
  EXPECT_FALSE(ok);
  EXPECT_EQ(ReadFile(path), "0123456789\r\n");
  ASSERT_TRUE(log.Append(path, "next\r\n"));
  EXPECT_EQ(ReadFile(path), "0123456789\r\nnext\r\n");
}

}  // namespace
