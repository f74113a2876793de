// One scanner for integer text; the readers in the program differ in blanks,
// sign, hexadecimal prefixes and range, which TIntSyntax and their callers say.
#include "common/QxNumber.h"

#include <climits>

namespace {

int DigitValue(char c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

const char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

bool ScanInt(std::string_view text, const TIntSyntax& syntax, TIntText& out) {
  size_t b = 0, e = text.size();
  if (syntax.Blanks == TIntBlanks::LeadingSpaces) {
    while (b < e && text[b] == ' ') ++b;
  } else if (syntax.Blanks == TIntBlanks::Around) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
  }
  TIntText r;
  r.Base = syntax.Base;
  if (syntax.Sign && b < e && (text[b] == '+' || text[b] == '-')) r.Negative = text[b++] == '-';
  if (syntax.DollarHex && b < e && text[b] == '$') {
    r.Base = 16;
    ++b;
  } else if (syntax.ZeroXHex && e - b > 2 && text[b] == '0' &&
             (text[b + 1] == 'x' || text[b + 1] == 'X')) {
    r.Base = 16;
    b += 2;
  }
  if (b == e) return false;
  if (syntax.MaxDigits != 0 && e - b > syntax.MaxDigits) return false;
  const uint64_t base = static_cast<uint64_t>(r.Base);
  for (size_t i = b; i < e; ++i) {
    const int d = DigitValue(text[i], r.Base);
    if (d < 0) return false;
    if (r.Magnitude > (syntax.MaxMagnitude - static_cast<uint64_t>(d)) / base) return false;
    r.Magnitude = r.Magnitude * base + static_cast<uint64_t>(d);
  }
  out = r;
  return true;
}

bool TryStrToInt(const std::string& text, int& value) {
  TIntSyntax syntax;
  syntax.Blanks = TIntBlanks::Around;
  syntax.Sign = syntax.DollarHex = syntax.ZeroXHex = true;
  TIntText t;
  if (!ScanInt(text, syntax, t)) return false;
  const int64_t v = t.Value();
  if (t.Base == 16) {
    value = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
  }
  if (v > INT_MAX || v < INT_MIN) return false;
  value = static_cast<int>(v);
  return true;
}

std::string Hex2(unsigned value) {
  return {kHexDigits[(value >> 4) & 0xF], kHexDigits[value & 0xF]};
}

std::string Hex4(int value) {
  const unsigned v = static_cast<unsigned>(value);
  return Hex2((v >> 8) & 0xFF) + Hex2(v & 0xFF);
}
