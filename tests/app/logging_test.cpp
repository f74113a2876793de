// Log line format, the two trigger modes, the save dialog's check and the
// failure paths of the log file.
#include <sys/stat.h>
#include <unistd.h>

#include <QColor>
#include <QDir>
#include <QFile>
#include <QPalette>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/QxDateTime.h"
#include "serial/CPortLed.h"
#include "tests/app/app_fixture.h"
#include "tests/support/file_size_limit.h"

namespace {

std::string ReadFile(const QString& path) {
  std::ifstream f(path.toStdString(), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteFile(const QString& path, const std::string& text) {
  std::ofstream f(path.toStdString(), std::ios::binary);
  f << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2)
    out.push_back(text.substr(start, pos - start));
  EXPECT_EQ(start, text.size()) << "text after the last line end";
  return out;
}

class LogTest : public AppTest {
 protected:
  QTemporaryDir dir;
  QString LogPath() const { return dir.filePath("log.txt"); }

  // Devices at 1 (three channels, scale 100), read once so the scale is known.
  void ThreeChannels() {
    port->Bus.AddDevice(1, 3, 100);
    ScanOnly();
  }
  void SetLast(std::vector<int32_t> values) { OEMData->Devices[0]->LastValues = values; }
  // Logging switched on as the button would, without the dialog.
  void LogTo(const QString& path) {
    main->Logging = true;
    main->LogFileName = path;
    main->LastLogTime = Clock().Now();
  }
};

}  // namespace

TEST_F(LogTest, LineFormatIsByteExactForBothLocales) {
  ThreeChannels();
  SetLast({2345, -120, 95000});
  const double at = EncodeDateTime(2026, 12, 8, 14, 3, 7, 123);
  EXPECT_EQ(main->FormatLogLine(at), "08.12.2026 14:03:07,123    23,45   -1,20  N/A  \r\n");
  // Within the second and into the next, across midnight.
  SetLast({0, 0, 0});
  EXPECT_EQ(main->FormatLogLine(EncodeDateTime(2026, 12, 8, 14, 3, 7, 999)),
            "08.12.2026 14:03:07,999     0,00    0,00    0,00\r\n");
  EXPECT_EQ(main->FormatLogLine(EncodeDateTime(2026, 12, 8, 14, 3, 8, 0)),
            "08.12.2026 14:03:08,000     0,00    0,00    0,00\r\n");
  EXPECT_EQ(main->FormatLogLine(EncodeDateTime(2026, 12, 8, 23, 59, 59, 500)),
            "08.12.2026 23:59:59,500     0,00    0,00    0,00\r\n");
  EXPECT_EQ(main->FormatLogLine(EncodeDateTime(2026, 12, 9, 0, 0, 0, 1)),
            "09.12.2026 00:00:00,001     0,00    0,00    0,00\r\n");
  SetLast({2345, -120, 95000});
  // A 12-hour long time format keeps its am/pm before the milliseconds.
  SetFormatSettings(TFormatSettings::EnglishUSLike());
  EXPECT_EQ(main->FormatLogLine(at), "12/08/2026 02:03:07 PM.123    23.45   -1.20  N/A  \r\n");

  // Boundaries: 900.00 is no value, 899.99 is; wide numbers are not cut;
  // milliseconds are always three digits; a channel never read logs 0.
  SetLast({89999, 90000, -100050});
  EXPECT_EQ(main->FormatLogLine(EncodeDateTime(2026, 1, 2, 3, 4, 5, 7)),
            "01/02/2026 03:04:05 AM.007   899.99  N/A   -1000.50\r\n");
  SetLast({0, 0, 0});
  EXPECT_EQ(main->FormatLogLine(EncodeDateTime(2026, 1, 2, 3, 4, 5, 0)),
            "01/02/2026 03:04:05 AM.000     0.00    0.00    0.00\r\n");
}

TEST_F(LogTest, EveryValueModeWritesFromTheFirstValidChannelOn) {
  TSimDevice& d = port->Bus.AddDevice(1, 3, 10);
  Options->LogEveryValue = true;
  LogTo(LogPath());
  d.Channels[1].Valid = d.Channels[2].Valid = false;
  RunTurns(3 * 2);  // two passes, only channel 0 valid: three lines per pass
  EXPECT_EQ(Lines(ReadFile(LogPath())).size(), 6u);

  ASSERT_TRUE(QFile::remove(LogPath()));
  LogTo(LogPath());
  d.Channels[0].Valid = false;
  d.Channels[2].Valid = true;
  RunTurns(3 * 2);  // only the last channel valid: one line per pass
  EXPECT_EQ(Lines(ReadFile(LogPath())).size(), 2u);

  // A valid reading at 900 degrees or more does not count.
  ASSERT_TRUE(QFile::remove(LogPath()));
  LogTo(LogPath());
  d.Channels[2].Curve = TSimCurve::Constant(950.0);
  RunTurns(3 * 2);
  EXPECT_FALSE(QFile::exists(LogPath()));
}

TEST_F(LogTest, IntervalModeSpacesLinesByMoreThanTheInterval) {
  port->Bus.AddDevice(1, 3, 10);
  Options->LogInterval = 10.0;
  LogTo(LogPath());
  const double start = Clock().Now();
  std::vector<double> lineTimes;
  size_t seen = 0;
  RunTurns(700, [&](int) {
    const auto lines = Lines(ReadFile(LogPath()));
    if (lines.size() > seen) {
      seen = lines.size();
      lineTimes.push_back(Clock().Now());
    }
  });
  const double ranS = (Clock().Now() - start) * 86400;
  ASSERT_GE(ranS, 25.0);  // long enough for two lines
  ASSERT_GE(lineTimes.size(), 2u);
  EXPECT_LT((Clock().Now() - lineTimes.back()) * 86400, 10.5);  // none missed at the end
  double prev = start;
  for (double t : lineTimes) {
    const double gap = (t - prev) * 86400;
    EXPECT_GT(gap, 10.0);
    EXPECT_LT(gap, 10.5);  // written at the first channel turn past the interval
    prev = t;
  }

  // Interval 0: a line after every channel read.
  ASSERT_TRUE(QFile::remove(LogPath()));
  Options->LogInterval = 0.0;
  LogTo(LogPath());
  RunTurns(9);
  EXPECT_EQ(Lines(ReadFile(LogPath())).size(), 9u);
}

TEST_F(LogTest, StartNeedsAnOpenPortAndCancelLeavesLoggingOff) {
  main->Button5Click();
  EXPECT_EQ(savePrompts, 0);
  EXPECT_FALSE(main->Logging);

  port->Open();
  main->Button5Click();  // no names queued: Cancel
  EXPECT_EQ(savePrompts, 1);
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
}

TEST_F(LogTest, OverwriteQuestionNoKeepsDialogOpenYesDeletes) {
  WriteFile(LogPath(), "old line\r\n");
  port->Open();
  saveNames = {LogPath()};  // then Cancel
  answers = {TMsgResult::mrNo};
  main->Button5Click();
  EXPECT_EQ(savePrompts, 2);  // the dialog came back after No
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, "File already exists. Overwrite?");
  EXPECT_EQ(messages[0].Kind, TMsgKind::mkWarningYesNo);
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(ReadFile(LogPath()), "old line\r\n");

  saveNames = {LogPath()};
  answers = {TMsgResult::mrYes};
  const double before = Clock().Now();
  clock.Advance(1000);
  main->Button5Click();
  EXPECT_TRUE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Stop Logging");
  EXPECT_EQ(main->Button5->palette().color(QPalette::ButtonText), QColor(Qt::red));
  EXPECT_FALSE(QFile::exists(LogPath()));
  EXPECT_GT(main->LastLogTime, before);

  main->Button5Click();  // stop
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
}

TEST_F(LogTest, AppendAsksNothingAndAddsLinesAfterTheOldOnes) {
  ThreeChannels();
  WriteFile(LogPath(), "old line\r\n");
  Options->AppendLogFile = true;
  saveNames = {LogPath()};
  main->Button5Click();
  EXPECT_TRUE(main->Logging);
  EXPECT_TRUE(messages.empty());
  ASSERT_TRUE(main->WriteLogLine());
  const auto lines = Lines(ReadFile(LogPath()));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "old line");

  // Without append and no existing file: no question, the first line creates it.
  main->Button5Click();
  Options->AppendLogFile = false;
  const QString fresh = dir.filePath("fresh.txt");
  saveNames = {fresh};
  main->Button5Click();
  EXPECT_TRUE(main->Logging);
  EXPECT_TRUE(messages.empty());
  ASSERT_TRUE(main->WriteLogLine());
  EXPECT_EQ(Lines(ReadFile(fresh)).size(), 1u);
}

TEST_F(LogTest, UnwritableFileStopsLoggingWithOneMessage) {
  port->Bus.AddDevice(1, 2, 10);
  // A directory in place of the file cannot be opened for writing, not even
  // by a privileged user.
  const QString blocked = dir.filePath("blocked");
  ASSERT_TRUE(QDir().mkdir(blocked));
  Options->AppendLogFile = true;
  Options->LogEveryValue = true;
  int turnsLogging = 0;
  RunTurns(6, [&](int turn) {
    if (turn == 1) {
      saveNames = {blocked};
      main->Button5Click();
    } else if (main->Logging) {
      ++turnsLogging;
    }
  });
  EXPECT_EQ(turnsLogging, 0);  // stopped at the first line
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, "Could not access File : " + blocked);
  EXPECT_EQ(messages[0].Kind, TMsgKind::mkError);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
}

TEST_F(LogTest, FailedDeletionInTheSaveCheckLeavesLoggingOff) {
  const QString blocked = dir.filePath("blocked");
  ASSERT_TRUE(QDir().mkdir(blocked));
  WriteFile(blocked + "/inside", "x");
  port->Open();
  saveNames = {blocked};
  answers = {TMsgResult::mrYes};
  main->Button5Click();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].Text, "Could not access File : " + blocked);
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
  EXPECT_EQ(savePrompts, 1);  // the dialog closed
}

TEST_F(LogTest, ALineThatCannotBeWrittenWholeLeavesNothingBehind) {
  ThreeChannels();
  SetLast({2345, -120, 95000});
  WriteFile(LogPath(), "old line\r\n");
  LogTo(LogPath());
  // A file size limit lets the first write through only in part and fails
  // the next one.
  qxtest::TFileSizeLimit limit;
  ASSERT_TRUE(limit.Set(10 + 12));
  const bool ok = main->WriteLogLine();
  limit.Lift();
  EXPECT_FALSE(ok);
  EXPECT_EQ(ReadFile(LogPath()), "old line\r\n");
  EXPECT_FALSE(main->Logging);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, "Could not access File : " + LogPath());
}

TEST_F(LogTest, ClosingTheConnectionStopsLogging) {
  port->Bus.AddDevice(1, 2, 10);
  Options->LogEveryValue = true;
  RunTurns(4, [&](int turn) {
    if (turn == 1) {
      saveNames = {LogPath()};
      main->Button5Click();
    }
  });
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
  // Turns 2, 3 and 4 each wrote a line (a value arrives in every turn).
  EXPECT_EQ(Lines(ReadFile(LogPath())).size(), 3u);
}

// Each line reaches the disk through a flush of the log file itself, done
// after WriteLogLine returns; stopping the log waits for the last one.
TEST_F(LogTest, LinesAreFlushedToTheDiskAndStoppingWaitsForIt) {
  ThreeChannels();
  SetLast({2345, -120, 95000});
  std::atomic<ino_t> logInode{0};
  std::atomic<int> flushes{0}, ofTheLog{0};
  main->SetLogSync([&](int fd) {
    struct stat st {};
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a slow disk
    if (::fstat(fd, &st) == 0 && st.st_ino == logInode.load()) ++ofTheLog;
    ++flushes;
    return 0;
  });
  port->Open();
  saveNames = {LogPath()};
  main->Button5Click();
  ASSERT_TRUE(main->Logging);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(main->WriteLogLine());
    // The line is in the file at once, before its flush.
    if (i == 0) {
      struct stat st {};
      ASSERT_EQ(::stat(LogPath().toLocal8Bit().constData(), &st), 0);
      logInode = st.st_ino;
    }
    EXPECT_EQ(Lines(ReadFile(LogPath())).size(), size_t(i + 1));
  }
  main->Button5Click();  // stop
  EXPECT_GE(flushes.load(), 1);
  EXPECT_EQ(ofTheLog.load(), flushes.load());
  const int after = flushes.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(flushes.load(), after);  // nothing was left for later
  EXPECT_TRUE(messages.empty());
}

// A flush that fails has lost lines on the disk: the next line is refused,
// logging stops and the message is shown once; so it is when the log stops
// before another line comes.
TEST_F(LogTest, AFailedFlushStopsLoggingWithOneMessage) {
  ThreeChannels();
  SetLast({2345, -120, 95000});
  std::atomic<bool> failed{false};
  main->SetLogSync([&](int) {
    failed = true;
    errno = EIO;
    return -1;
  });
  LogTo(LogPath());
  ASSERT_TRUE(main->WriteLogLine());
  for (int i = 0; i < 200 && !failed; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(failed);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(main->WriteLogLine());
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, "Could not access File : " + LogPath());
  EXPECT_EQ(Lines(ReadFile(LogPath())).size(), 1u);  // the refused line is not written

  messages.clear();
  port->Open();
  saveNames = {dir.filePath("second.txt")};
  main->Button5Click();
  ASSERT_TRUE(main->Logging);
  ASSERT_TRUE(main->WriteLogLine());
  main->Button5Click();  // stop: waits for the flush, which fails
  EXPECT_FALSE(main->Logging);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, "Could not access File : " + dir.filePath("second.txt"));
}

// However the connection ends, logging ends with it and the lamp goes out,
// as when the operator clicks Close.
TEST_F(LogTest, ConnectionThatEndsWithoutTheButtonStopsLogging) {
  for (const bool byFailure : {true, false}) {
    SCOPED_TRACE(byFailure ? "an error ends the loop" : "port closed under the loop");
    port->Bus.AddDevice(byFailure ? 1 : 2, 2, 10);
    Options->AppendLogFile = true;
    messages.clear();
    saveNames = {LogPath()};
    bool loggingBefore = false, lampBefore = false;
    RunTurns(1000, [&](int turn) {
      if (turn == 1) main->Button5Click();
      if (turn == 4) {
        loggingBefore = main->Logging;
        lampBefore = main->ComLed1->State() == lsOn;
        if (byFailure) throw std::runtime_error("the serial line was lost");  // from the loop
        port->Close();  // a changed port name that did not open
      }
    });
    EXPECT_TRUE(loggingBefore);
    EXPECT_TRUE(lampBefore);
    EXPECT_FALSE(main->Logging);
    EXPECT_EQ(main->Button5->text(), "Start Logging");
    EXPECT_EQ(main->Button5->palette().color(QPalette::ButtonText), QColor(Qt::black));
    EXPECT_EQ(main->ComLed1->State(), lsOff);
    EXPECT_EQ(main->ConnectButton->text(), "Connect");
    if (byFailure) {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0].Text, "Connection Failed\nthe serial line was lost");
    } else {
      EXPECT_TRUE(messages.empty());
    }
  }
}

// A line that cannot be written while the disk flush of the one before is
// still failing: one failure for the operator, one box.
TEST_F(LogTest, WriteAndFlushFailingTogetherShowOneBox) {
  ThreeChannels();
  SetLast({2345, -120, 95000});
  std::atomic<bool> flushing{false};
  main->SetLogSync([&](int) {
    flushing = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a dying disk
    errno = EIO;
    return -1;
  });
  LogTo(LogPath());
  ASSERT_TRUE(main->WriteLogLine());
  for (int i = 0; i < 200 && !flushing; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(flushing);
  // The file goes away under the log and a directory takes its name, so the
  // next line cannot be opened either.
  ASSERT_TRUE(QFile::remove(LogPath()));
  ASSERT_TRUE(QDir().mkdir(LogPath()));
  EXPECT_FALSE(main->WriteLogLine());
  EXPECT_FALSE(main->Logging);
  EXPECT_EQ(main->Button5->text(), "Start Logging");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].Text, "Could not access File : " + LogPath());
}
