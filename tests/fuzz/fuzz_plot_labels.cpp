// The plot's tick labels: number and date-time label formats over the ticks
// of an axis scale with a fuzzed range, flags and tick count, including the
// layout room the labels need and scrolling that keeps the tick grid.
// Input: two doubles (range), a flag byte, a tick-count byte, a scroll double,
// then the label format text.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/QxFormat.h"
#include "diagram/plot/sgr_scale.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

class TFuzzScale : public Tsp_Scale {
 public:
  TFuzzScale(uint32_t flags, const std::string& format, int ticks) : Tsp_Scale(flags) {
    labelFormat_ = format;
    SetTicksCountRaw(ticks);
  }
};

double ReadDouble(const uint8_t* p) {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void CheckScale(const Tsp_Scale& s) {
  Check(s.TicksCount() >= 0 && s.TicksCount() <= MaxTicks);
  for (int i = 0; i < s.TicksCount(); ++i) {
    Check(std::abs(s.TickPos(i)) <= MaxPixelCoord);
    // Some specifiers expand to a whole date and time; nothing grows more.
    const std::string label = s.TickLabel(i);
    Check(label.size() < 64 * s.LabelFormat().size() + 400);
  }
  Check(s.Extent(7, 13) >= 0);
  Check(s.StartOverhang(7, 13) >= 0 && s.EndOverhang(7, 13) >= 0);
  Check(std::abs(s.ValueToPixel(s.Min())) <= MaxPixelCoord);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 27) return 0;
  const double a = ReadDouble(data), b = ReadDouble(data + 8);
  const uint8_t flagByte = data[16];
  const int ticks = data[17] % 23;  // one beyond the limit too
  const double scroll = ReadDouble(data + 18);
  const std::string fmt(reinterpret_cast<const char*>(data + 26), size - 26);
  SetFormatSettings((flagByte & 0x80) ? TFormatSettings::GermanLike()
                                      : TFormatSettings::EnglishUSLike());

  // The number format alone, with the raw values.
  for (double v : {a, b, scroll, 0.0, -0.0})
    Check(FormatNumberLabel(fmt, v).size() < 64 * fmt.size() + 400);

  // Bits: vertical, inversed, no tick lines, no labels, opposite, date-time,
  // evenly spaced ticks.
  uint32_t flags = 0;
  if (flagByte & 1) flags |= sfVertical;
  if (flagByte & 2) flags |= sfInversed;
  if (flagByte & 4) flags |= sfNoTicksLines;
  if (flagByte & 8) flags |= sfNoTicksLabel;
  if (flagByte & 16) flags |= sfOpposite;
  if (flagByte & 32) flags |= sfLabelAsDateTime;
  if (flagByte & 64) flags |= sfNoTicksAdjusted;
  TFuzzScale s(flags, fmt, ticks);
  s.SetLinePos(40, 300, 1 + data[17] * 3);
  s.SetMinMax(a, b);
  Check(s.Min() < s.Max());
  CheckScale(s);
  if (std::isfinite(scroll)) {
    s.ScrollByValue(scroll);
    CheckScale(s);
  }
  s.ScrollByPixels(static_cast<int8_t>(data[17]));
  CheckScale(s);
  SetFormatSettings(TFormatSettings());
  return 0;
}
