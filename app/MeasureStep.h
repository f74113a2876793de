#pragma once
// What one channel's poll means for its panel, the diagram and the log,
// decided without any widget so that the loop and its tests share the one
// decision. The loop still does the showing, plotting and writing.
#include <cstdint>
#include <string>

// A channel's poll as the loop took it.
struct TChannelPoll {
  int Channel = 0;     // flat channel index
  bool Valid = false;  // the device marked the sample valid
  int32_t Raw = 0;     // the sample
  // The sample carried a number; without one, Raw is the error reading.
  bool Readable = true;
  int32_t Last = 0;  // the device's stored value of the channel after the poll
  double Scale = 10.0;
};

// The log's settings and state at a channel's turn.
struct TLogTrigger {
  bool Logging = false;
  bool EveryValue = false;
  double IntervalSeconds = 10.0;
  double LastLogTime = 0.0;  // date-time of the interval's last line
};

struct TMeasureOutcome {
  // A valid poll: the panel gets PanelValue (the placeholder's value when the
  // temperature is no value) and observers get Temperature.
  bool Shown = false;
  double PanelValue = 0.0;
  double Temperature = 0.0;
  // A diagram point (now, Temperature) for the channel's line.
  bool Plotted = false;
  // The pass's flag after this channel: some channel so far gave a value.
  bool NewValueInPass = false;
  bool LogDue = false;
  // After the line, the interval counts again from the time it was written.
  bool RestartInterval = false;
};

// newValueInPass: the flag before this channel, cleared at each pass's start.
TMeasureOutcome MeasureStep(const TChannelPoll& poll, bool newValueInPass, const TLogTrigger& log,
                            double now);

// The temperature of a valid sample. One without a number is no value,
// whatever the scale: the error reading divided by a scale above 11.11 would
// otherwise pass for a temperature below the threshold.
double SampleTemperature(int32_t raw, double scale, bool readable);

// Whether a log line is due at `now`. In every-value mode the pass's flag
// decides, so every channel after the first value of a pass writes a line.
bool LogLineDue(const TLogTrigger& log, bool newValueInPass, double now);

// A panel's text for temperature x in the user's formats, UTF-8: two
// decimals and "°C", or the placeholder for no value.
std::string ReadingText(double x);
