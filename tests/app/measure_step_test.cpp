// The loop's decision per channel, the panel's text and the port's start-up
// settings, without widgets.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>
#include <limits>

#include "app/MeasureStep.h"
#include "app/PortSetup.h"
#include "app/Reading.h"
#include "common/QxFormat.h"
#include "protocol/OEMLib.h"
#include "serial/CPort.h"

namespace {

TChannelPoll Poll(int channel, bool valid, int32_t raw, double scale = 10.0) {
  TChannelPoll p;
  p.Channel = channel;
  p.Valid = valid;
  p.Raw = raw;
  p.Last = raw;
  p.Scale = scale;
  return p;
}

TLogTrigger EveryValue() {
  TLogTrigger t;
  t.Logging = true;
  t.EveryValue = true;
  return t;
}

TLogTrigger Interval(double seconds, double lastLogTime) {
  TLogTrigger t;
  t.Logging = true;
  t.IntervalSeconds = seconds;
  t.LastLogTime = lastLogTime;
  return t;
}

constexpr double kNow = 46000.5;
constexpr double kSecond = 1.0 / (24 * 3600);

}  // namespace

TEST(MeasureStep, ValueOrNoValueAndThePoint) {
  const TLogTrigger off;
  // Just below the threshold: shown, plotted, counts for the pass.
  TMeasureOutcome o = MeasureStep(Poll(0, true, 8999), false, off, kNow);
  EXPECT_TRUE(o.Shown);
  EXPECT_DOUBLE_EQ(o.PanelValue, 899.9);
  EXPECT_DOUBLE_EQ(o.Temperature, 899.9);
  EXPECT_TRUE(o.Plotted);
  EXPECT_TRUE(o.NewValueInPass);

  // At the threshold, and the error reading at scale 10: the placeholder, no
  // point, and the pass's flag stays as it was.
  for (int32_t raw : {9000, TDeviceParam::ErrorReading}) {
    o = MeasureStep(Poll(0, true, raw), false, off, kNow);
    EXPECT_TRUE(o.Shown) << raw;
    EXPECT_EQ(o.PanelValue, PlaceholderValue) << raw;
    EXPECT_GE(o.Temperature, NoValueThreshold) << raw;
    EXPECT_FALSE(o.Plotted) << raw;
    EXPECT_FALSE(o.NewValueInPass) << raw;
    EXPECT_TRUE(MeasureStep(Poll(0, true, raw), true, off, kNow).NewValueInPass) << raw;
  }

  // Not valid: the panel keeps its text, nothing is plotted, whatever the raw.
  o = MeasureStep(Poll(0, false, 2345), false, off, kNow);
  EXPECT_FALSE(o.Shown);
  EXPECT_FALSE(o.Plotted);
  EXPECT_FALSE(o.NewValueInPass);

  // Negative readings and other scales.
  o = MeasureStep(Poll(3, true, -505), false, off, kNow);
  EXPECT_DOUBLE_EQ(o.PanelValue, -50.5);
  o = MeasureStep(Poll(3, true, 2345, 100), false, off, kNow);
  EXPECT_DOUBLE_EQ(o.PanelValue, 23.45);

  // The panel shows the stored value; a sub-channel beyond the stored count
  // keeps none (0), while observers and the diagram get the sample.
  TChannelPoll p = Poll(1, true, 2345);
  p.Last = 0;
  o = MeasureStep(p, false, off, kNow);
  EXPECT_DOUBLE_EQ(o.PanelValue, 0.0);
  EXPECT_DOUBLE_EQ(o.Temperature, 234.5);
  EXPECT_TRUE(o.Plotted);

  // The diagram has 32 lines: channel 31 is plotted, 32 is shown only.
  EXPECT_TRUE(MeasureStep(Poll(31, true, 200), false, off, kNow).Plotted);
  o = MeasureStep(Poll(32, true, 200), false, off, kNow);
  EXPECT_FALSE(o.Plotted);
  EXPECT_TRUE(o.Shown);
  EXPECT_TRUE(o.NewValueInPass);
}

TEST(MeasureStep, AValidSampleWithoutANumberIsNoValueAtAnyScale) {
  const TLogTrigger off;
  for (double scale : {10.0, 100.0, 1000.0}) {
    TChannelPoll p = Poll(2, true, TDeviceParam::ErrorReading, scale);
    p.Readable = false;
    p.Last = 2345;  // the value before, which the device did not confirm
    const TMeasureOutcome o = MeasureStep(p, false, EveryValue(), kNow);
    EXPECT_TRUE(o.Shown) << scale;
    EXPECT_EQ(o.PanelValue, PlaceholderValue) << scale;
    EXPECT_GE(o.Temperature, NoValueThreshold) << scale;
    EXPECT_FALSE(o.Plotted) << scale;
    EXPECT_FALSE(o.NewValueInPass) << scale;
    EXPECT_FALSE(o.LogDue) << scale;
  }
  // At scale 10 observers keep getting what they always got.
  EXPECT_DOUBLE_EQ(SampleTemperature(TDeviceParam::ErrorReading, 10.0, false), 999.9);
  // A genuine 99.99 degrees at scale 100 is a value.
  EXPECT_DOUBLE_EQ(SampleTemperature(9999, 100.0, true), 99.99);
  EXPECT_TRUE(MeasureStep(Poll(0, true, 9999, 100.0), false, off, kNow).Plotted);
}

TEST(MeasureStep, DeviceTellsWhetherItsLastSampleHadANumber) {
  struct TScript {
    std::string reply;
    static std::string Proc(void* ctx, const std::string&) {
      return static_cast<TScript*>(ctx)->reply;
    }
  } script;
  TDeviceParam dev;
  dev.Address = 5;
  dev.SetQueryTransfer(&TScript::Proc, &script);
  auto sample = [&](const std::string& payload, int32_t& raw) {
    script.reply = "A05 =xx " + payload + "\r\nA05 *00\r\n";
    return dev.ReadSample(raw);
  };
  int32_t raw = 0;
  EXPECT_TRUE(sample("1 9999", raw));
  EXPECT_TRUE(dev.SampleReadable());
  EXPECT_TRUE(sample("1 abc", raw));
  EXPECT_EQ(raw, TDeviceParam::ErrorReading);
  EXPECT_FALSE(dev.SampleReadable());
  // Not valid but read: the number is the device's, and kept.
  EXPECT_FALSE(sample("0 -120", raw));
  EXPECT_TRUE(dev.SampleReadable());
  EXPECT_FALSE(sample("x 12", raw));
  EXPECT_FALSE(dev.SampleReadable());
  script.reply.clear();
  EXPECT_FALSE(dev.ReadSample(raw));
  EXPECT_FALSE(dev.SampleReadable());
}

TEST(MeasureStep, EveryValueModeWritesAfterTheFirstValueOfAPassToItsEnd) {
  // Lines written in a pass over three channels, given which are valid.
  auto linesInPass = [](std::vector<TChannelPoll> polls) {
    bool flag = false;
    int lines = 0;
    for (const TChannelPoll& p : polls) {
      const TMeasureOutcome o = MeasureStep(p, flag, EveryValue(), kNow);
      flag = o.NewValueInPass;
      if (o.LogDue) ++lines;
      EXPECT_FALSE(o.RestartInterval);
    }
    return lines;
  };
  EXPECT_EQ(linesInPass({Poll(0, true, 200), Poll(1, false, 0), Poll(2, false, 0)}), 3);
  EXPECT_EQ(linesInPass({Poll(0, false, 0), Poll(1, false, 0), Poll(2, true, 200)}), 1);
  EXPECT_EQ(linesInPass({Poll(0, false, 0), Poll(1, true, 200), Poll(2, true, 300)}), 2);
  // 950 degrees is no value and writes nothing.
  EXPECT_EQ(linesInPass({Poll(0, true, 9500), Poll(1, false, 0), Poll(2, false, 0)}), 0);

  // Not logging: never due, though the pass's flag still follows the values.
  const TMeasureOutcome o = MeasureStep(Poll(0, true, 200), false, TLogTrigger(), kNow);
  EXPECT_FALSE(o.LogDue);
  EXPECT_TRUE(o.NewValueInPass);
}

TEST(MeasureStep, IntervalModeWritesOnceMoreThanTheIntervalHasPassed) {
  // Twelve hours after midnight: the seconds come out exact, so the strict
  // comparison is what is tested.
  EXPECT_FALSE(MeasureStep(Poll(0, true, 200), true, Interval(43200, 0.0), 0.5).LogDue);
  EXPECT_TRUE(MeasureStep(Poll(0, true, 200), true, Interval(43199.5, 0.0), 0.5).LogDue);

  const double last = kNow;
  TMeasureOutcome o =
      MeasureStep(Poll(0, true, 200), false, Interval(10, last), last + 9.9 * kSecond);
  EXPECT_FALSE(o.LogDue);
  // Due whether or not the channel gave a value, and the interval restarts.
  for (bool valid : {true, false}) {
    o = MeasureStep(Poll(0, valid, 200), false, Interval(10, last), last + 10.1 * kSecond);
    EXPECT_TRUE(o.LogDue) << valid;
    EXPECT_TRUE(o.RestartInterval) << valid;
  }
  // Fractions of a second count.
  EXPECT_TRUE(
      MeasureStep(Poll(0, false, 0), false, Interval(2.5, last), last + 2.6 * kSecond).LogDue);
  EXPECT_FALSE(
      MeasureStep(Poll(0, false, 0), false, Interval(2.5, last), last + 2.4 * kSecond).LogDue);
  // Logging off: nothing, however long it has been.
  TLogTrigger off = Interval(10, last);
  off.Logging = false;
  o = MeasureStep(Poll(0, true, 200), false, off, last + 3600 * kSecond);
  EXPECT_FALSE(o.LogDue);
  EXPECT_FALSE(o.RestartInterval);
}

TEST(MeasureStep, ReadingTextInBothSeparatorsAndThePlaceholder) {
  const TFormatSettings saved = FormatSettings();
  for (char sep : {'.', ','}) {
    TFormatSettings fs = saved;
    fs.DecimalSeparator = sep;
    SetFormatSettings(fs);
    const std::string s(1, sep);
    EXPECT_EQ(ReadingText(23.456), "23" + s + "46\u00B0C");
    EXPECT_EQ(ReadingText(-50.5), "-50" + s + "50\u00B0C");
    EXPECT_EQ(ReadingText(899.9), "899" + s + "90\u00B0C");
    EXPECT_EQ(ReadingText(0.0), "0" + s + "00\u00B0C");
    // A million is still a number, beyond the six digits of fixed notation;
    // above it, and what is not a number, is the placeholder.
    EXPECT_EQ(ReadingText(1000000.0), "1" + s + "00000E+006\u00B0C");
    const std::string placeholder = "---" + s + "--\u00B0C";
    for (double x :
         {PlaceholderValue, 1000000.5, std::nan(""), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity()})
      EXPECT_EQ(ReadingText(x), placeholder) << x;
  }
  SetFormatSettings(saved);
}

TEST(PortSetup, BuiltInSettingsThenTheFileUnderTheProgramsSection) {
  TComPort port;
  ApplyBuiltInPortSettings(port);
  EXPECT_EQ(port.Name(), "ComPort1");
  EXPECT_EQ(port.BaudRate(), br57600);
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.Buffer().InputSize(), 2048);
  EXPECT_EQ(port.FlowControl().ControlDTR(), dtrDisable);
  EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), -1);
  EXPECT_EQ(port.EventChar(), '\n');
  EXPECT_EQ(port.SyncMethod(), smWindowSync);

  // A file the desktop program wrote is read by another port set up the same
  // way: the section name is part of the set-up.
  QTemporaryDir dir;
  const std::string ini = dir.filePath("quilex.ini").toStdString();
  port.SetBaudRate(br9600);
  port.SetPort("/dev/ttyUSB3");
  port.SaveSettings(ssIniFile, ini);
  TComPort other;
  ApplyBuiltInPortSettings(other);
  std::string why = "untouched";
  EXPECT_TRUE(LoadPortSettings(other, ini, &why));
  EXPECT_EQ(why, "untouched");
  EXPECT_EQ(other.BaudRate(), br9600);
  EXPECT_EQ(other.Port(), "/dev/ttyUSB3");

  // No file yet (the first start): the built-in settings stay.
  TComPort fresh;
  ApplyBuiltInPortSettings(fresh);
  EXPECT_TRUE(LoadPortSettings(fresh, dir.filePath("none.ini").toStdString(), &why));
  EXPECT_EQ(fresh.BaudRate(), br57600);
  EXPECT_EQ(fresh.Port(), "COM1");
  EXPECT_EQ(fresh.FlowControl().ControlDTR(), dtrDisable);
}
