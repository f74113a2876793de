// The viewer's log line parser and format detection on any bytes.
#include <cstddef>
#include <cstdint>

#include "viewer/LogFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* b = reinterpret_cast<const char*>(data);
  const qxview::TDetection d = qxview::DetectFormat(b, size, qxview::doDMY);
  const qxview::TLogFormat formats[] = {d.Format, {qxview::doMDY, '.'}, {qxview::doYMD, ','}};
  for (const qxview::TLogFormat& f : formats) {
    qxview::TDateCache cache;
    qxview::TParsedLine line;
    // Each line on its own, and the whole input as one line.
    const char* p = b;
    const char* const e = b + size;
    while (p < e) {
      const char* nl = p;
      while (nl < e && *nl != '\n') ++nl;
      if (qxview::ParseLogLine(p, nl, f, cache, line) == qxview::leOk &&
          (line.Count < 1 || line.Count > qxview::MaxColumns))
        __builtin_trap();
      p = nl + 1;
    }
    qxview::ParseLogLine(b, e, f, cache, line);
  }
  return 0;
}
