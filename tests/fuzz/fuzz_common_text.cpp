// Text conversions that read operator input or format values for display.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/QxFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const TFormatSettings fs[2] = {TFormatSettings::GermanLike(), TFormatSettings::EnglishUSLike()};
  const uint8_t mode = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const TFormatSettings& f = fs[mode & 1];
  double v = 0;
  if (TryStrToFloat(text, v, f) && !std::isfinite(v)) __builtin_trap();
  int i = 0;
  TryStrToInt(text, i);
  // The text as a date-time pattern, and its bytes as a value.
  double dt = 0;
  if (size >= 9) {
    std::memcpy(&dt, data + 1, sizeof dt);
  }
  const std::string out = FormatDateTime(text, dt, f);
  if (out.size() > 64 * text.size() + 64) __builtin_trap();
  FloatToStrFixed(dt, 1 + (mode >> 3) % 20, (mode >> 1) % 20, f);
  FormatFixedWidth(dt, (mode >> 2) % 32, (mode >> 4) % 10, f);
  return 0;
}
