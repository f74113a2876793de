#pragma once
// Integer text and hexadecimal digits, written once for every reader of
// numbers: settings files, operator entries, device replies and the
// simulator. Each reader differs only in the syntax it accepts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class TIntBlanks {
  None,           // the text is the number and nothing else
  LeadingSpaces,  // spaces before the number, nothing after it
  Around          // spaces and tabs on both sides
};

struct TIntSyntax {
  TIntBlanks Blanks = TIntBlanks::None;
  bool Sign = false;       // one '+' or '-' before the digits
  bool DollarHex = false;  // "$1F"
  bool ZeroXHex = false;   // "0x1F" (only with at least one digit after it)
  int Base = 10;           // the base without a prefix: 10 or 16
  size_t MaxDigits = 0;    // 0: any number of digits
  // Scanning fails once the magnitude exceeds this, so it never overflows.
  uint64_t MaxMagnitude = 0xFFFFFFFFu;
};

// What the text says, before a reader applies its own range.
struct TIntText {
  bool Negative = false;
  int Base = 10;
  uint64_t Magnitude = 0;
  // The signed value (magnitude at most 2^63).
  int64_t Value() const {
    return Negative ? -static_cast<int64_t>(Magnitude) : static_cast<int64_t>(Magnitude);
  }
};

bool ScanInt(std::string_view text, const TIntSyntax& syntax, TIntText& out);

// An operator's or a reply's integer: blanks around, optional sign, "$" or
// "0x" for hexadecimal. Decimal must fit 32 bits; hexadecimal names a 32-bit
// pattern, so $FFFFFFFF is -1.
bool TryStrToInt(const std::string& text, int& value);

// Upper-case hexadecimal of the low 8 / 16 bits: Hex2(15) = "0F",
// Hex4(-200) = "FF38".
std::string Hex2(unsigned value);
std::string Hex4(int value);
