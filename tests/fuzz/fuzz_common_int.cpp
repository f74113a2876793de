// The integer readers against the readers they replaced: an operator entry
// or reply (TryStrToInt), a settings value (TextToIntDef) and the bare digits
// of a device field must accept and reject exactly the same texts as before.
#include <climits>
#include <cstdint>
#include <string>

#include "common/QxNumber.h"
#include "serial/CPort.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

int Digit(char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The operator and reply reader as it was written on its own.
bool OldStrToInt(const std::string& text, int& value) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  if (b == e) return false;
  bool neg = false;
  if (text[b] == '+' || text[b] == '-') neg = text[b++] == '-';
  int base = 10;
  if (b < e && text[b] == '$') {
    base = 16;
    ++b;
  } else if (e - b > 2 && text[b] == '0' && (text[b + 1] == 'x' || text[b + 1] == 'X')) {
    base = 16;
    b += 2;
  }
  if (b == e) return false;
  long long v = 0;
  for (size_t i = b; i < e; ++i) {
    const int d = Digit(text[i], base);
    if (d < 0) return false;
    v = v * base + d;
    if (v > 0x100000000LL) return false;
  }
  if (neg) v = -v;
  if (base == 10 && (v > INT_MAX || v < INT_MIN)) return false;
  if (base == 16) {
    if (v > 0xFFFFFFFFLL || v < -0xFFFFFFFFLL) return false;
    v = static_cast<int32_t>(static_cast<uint32_t>(v));
  }
  value = static_cast<int>(v);
  return true;
}

// The settings-file reader as it was written on its own.
int OldTextToIntDef(const std::string& s, int def) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  int base = 10;
  if (s.size() - i > 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return def;
  long long v = 0;
  for (; i < s.size(); ++i) {
    const int d = Digit(s[i], base);
    if (d < 0) return def;
    v = v * base + d;
    if (v > (base == 16 ? 0xFFFFFFFFLL : 2147483648LL)) return def;
  }
  if (neg) v = -v;
  if (base == 16 && v > INT_MAX) v -= 0x100000000LL;
  if (v > INT_MAX || v < INT_MIN) return def;
  return static_cast<int>(v);
}

// Bare digits of one base, as device fields and the simulator read them.
bool OldDigits(const std::string& s, int base, size_t maxDigits, uint64_t& v) {
  if (s.empty() || (maxDigits != 0 && s.size() > maxDigits)) return false;
  v = 0;
  for (char c : s) {
    const int d = Digit(c, base);
    if (d < 0) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (maxDigits == 0 && v > 0xFFFFFFFFull) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string s(reinterpret_cast<const char*>(data), size);

  int a = 0, b = 0;
  const bool okNew = TryStrToInt(s, a);
  Check(okNew == OldStrToInt(s, b));
  if (okNew) Check(a == b);

  Check(TextToIntDef(s, 12345) == OldTextToIntDef(s, 12345));
  Check(TextToIntDef(s, -7) == OldTextToIntDef(s, -7));

  for (int base : {10, 16}) {
    for (size_t maxDigits : {size_t{0}, size_t{9}}) {
      TIntSyntax syntax;
      syntax.Base = base;
      syntax.MaxDigits = maxDigits;
      if (maxDigits != 0) syntax.MaxMagnitude = UINT64_MAX;
      TIntText t;
      uint64_t ref = 0;
      const bool ok = ScanInt(s, syntax, t);
      Check(ok == OldDigits(s, base, maxDigits, ref));
      if (ok) Check(t.Magnitude == ref && !t.Negative);
    }
  }
  return 0;
}
