// The measurement loop's decisions for one channel, and the panel's text.
#include "app/MeasureStep.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "app/Reading.h"
#include "common/ChannelColors.h"
#include "common/QxFormat.h"

TMeasureOutcome MeasureStep(const TChannelPoll& poll, bool newValueInPass, const TLogTrigger& log,
                            double now) {
  TMeasureOutcome out;
  out.NewValueInPass = newValueInPass;
  if (poll.Valid) {
    out.Shown = true;
    out.Temperature = SampleTemperature(poll.Raw, poll.Scale, poll.Readable);
    if (out.Temperature >= NoValueThreshold) {
      out.PanelValue = PlaceholderValue;
    } else {
      // The diagram has one line per colour; further channels are not plotted.
      out.Plotted = poll.Channel < MaxChannels;
      // The stored value is the sample just taken where the device keeps it.
      out.PanelValue = double(poll.Last) / poll.Scale;
      out.NewValueInPass = true;
    }
  }
  out.LogDue = log.Logging && LogLineDue(log, out.NewValueInPass, now);
  out.RestartInterval = out.LogDue && !log.EveryValue;
  return out;
}

double SampleTemperature(int32_t raw, double scale, bool readable) {
  const double t = double(raw) / scale;
  return readable ? t : std::max(t, NoValueThreshold);
}

bool LogLineDue(const TLogTrigger& log, bool newValueInPass, double now) {
  if (log.EveryValue) return newValueInPass;
  const double elapsed = (now - log.LastLogTime) * 24 * 3600;
  return elapsed > log.IntervalSeconds;
}

std::string ReadingText(double x) {
  static const std::string degrees = "\u00B0C";
  const std::string placeholder =
      "---" + std::string(1, FormatSettings().DecimalSeparator) + "--" + degrees;
  if (!std::isfinite(x) || x > 1000000.0) return placeholder;
  try {
    return FloatToStrFixed(x, 6, 2) + degrees;
  } catch (const std::exception&) {
    return placeholder;
  }
}
