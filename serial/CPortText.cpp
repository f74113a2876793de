// Text forms of the port settings, and the list of serial devices present.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <filesystem>
#include <fstream>

#include "common/QxNumber.h"
#include "serial/CPort.h"

namespace {

const char* const kBaudTexts[] = {"Custom", "110",    "300",    "600",   "1200",  "2400",
                                  "4800",   "9600",   "14400",  "19200", "38400", "56000",
                                  "57600",  "115200", "128000", "256000"};
const char* const kStopTexts[] = {"1", "1.5", "2"};
const char* const kDataTexts[] = {"5", "6", "7", "8"};
const char* const kParityTexts[] = {"None", "Odd", "Even", "Mark", "Space"};
const char* const kFlowTexts[] = {"Hardware", "Software", "None", "Custom"};
const char* const kDTRTexts[] = {"Disable", "Enable", "Handshake"};
const char* const kRTSTexts[] = {"Disable", "Enable", "Handshake", "Toggle"};

std::string Upper(const std::string& s) {
  std::string r = s;
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

// The first entry equal to s regardless of case, or fallback.
template <size_t N>
int Lookup(const char* const (&table)[N], const std::string& s, int fallback) {
  const std::string u = Upper(s);
  for (size_t i = 0; i < N; ++i)
    if (Upper(table[i]) == u) return static_cast<int>(i);
  return fallback;
}

template <size_t N>
std::string Entry(const char* const (&table)[N], int v) {
  return (v >= 0 && static_cast<size_t>(v) < N) ? table[v] : "";
}

}  // namespace

std::string BaudRateToText(TBaudRate v) {
  return Entry(kBaudTexts, v);
}
TBaudRate TextToBaudRate(const std::string& s) {
  return static_cast<TBaudRate>(Lookup(kBaudTexts, s, br9600));
}
std::string StopBitsToText(TStopBits v) {
  return Entry(kStopTexts, v);
}
TStopBits TextToStopBits(const std::string& s) {
  return static_cast<TStopBits>(Lookup(kStopTexts, s, sbOneStopBit));
}
std::string DataBitsToText(TDataBits v) {
  return Entry(kDataTexts, v);
}
TDataBits TextToDataBits(const std::string& s) {
  return static_cast<TDataBits>(Lookup(kDataTexts, s, dbEight));
}
std::string ParityToText(TParityBits v) {
  return Entry(kParityTexts, v);
}
TParityBits TextToParity(const std::string& s) {
  return static_cast<TParityBits>(Lookup(kParityTexts, s, prNone));
}
std::string FlowControlToText(TFlowControl v) {
  return Entry(kFlowTexts, v);
}
TFlowControl TextToFlowControl(const std::string& s) {
  return static_cast<TFlowControl>(Lookup(kFlowTexts, s, fcCustom));
}
std::string DTRToText(TDTRFlowControl v) {
  return Entry(kDTRTexts, v);
}
TDTRFlowControl TextToDTR(const std::string& s) {
  return static_cast<TDTRFlowControl>(Lookup(kDTRTexts, s, dtrDisable));
}
std::string RTSToText(TRTSFlowControl v) {
  return Entry(kRTSTexts, v);
}
TRTSFlowControl TextToRTS(const std::string& s) {
  return static_cast<TRTSFlowControl>(Lookup(kRTSTexts, s, rtsDisable));
}
std::string BoolToText(bool v) {
  return v ? "Yes" : "No";
}
bool TextToBool(const std::string& s) {
  return Upper(s) == "YES";
}

std::string CharToText(char c) {
  const int code = static_cast<unsigned char>(c);
  if (code >= 33 && code <= 127) return std::string(1, c);
  return "#" + std::to_string(code);
}

char TextToChar(const std::string& s) {
  if (s.empty()) return 0;
  if (s.size() >= 2 && s[0] == '#') return static_cast<char>(TextToIntDef(s.substr(1), 0) & 0xFF);
  return s[0];
}

int TextToIntDef(const std::string& s, int def) {
  TIntSyntax syntax;
  syntax.Blanks = TIntBlanks::LeadingSpaces;
  syntax.Sign = syntax.ZeroXHex = true;
  TIntText t;
  if (!ScanInt(s, syntax, t)) return def;
  int64_t v = t.Value();
  // Hexadecimal may spell a negative number as its 32-bit pattern.
  if (t.Base == 16 && v > INT_MAX) v -= 0x100000000LL;
  if (v > INT_MAX || v < INT_MIN) return def;
  return static_cast<int>(v);
}

void EnumPortsIn(const std::string& root, std::vector<std::string>& list) {
  namespace fs = std::filesystem;
  list.clear();
  std::error_code ec;
  const fs::path ttys = fs::path(root) / "sys/class/tty";
  for (fs::directory_iterator it(ttys, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // Only devices with a real driver behind them; virtual consoles and
    // pseudo-terminals have none.
    std::error_code e2;
    fs::path drv = fs::read_symlink(it->path() / "device/driver", e2);
    if (e2) continue;
    if (drv.filename() == "serial8250") {
      // Legacy port slots without a UART report type 0.
      std::ifstream type(it->path() / "type");
      int t = -1;
      if (type >> t && t == 0) continue;
    }
    if (!fs::exists(fs::path(root) / "dev" / name, e2)) continue;
    std::string text = name;
    if (name.size() > 4 && name.compare(0, 4, "ttyS") == 0 &&
        std::all_of(name.begin() + 4, name.end(), [](char c) { return std::isdigit(c) != 0; }) &&
        name.size() <= 9)
      text = "COM" + std::to_string(std::stoi(name.substr(4)) + 1);
    list.push_back(text);
  }
  // Stable names of USB adapters, which survive re-plugging.
  const fs::path byId = fs::path(root) / "dev/serial/by-id";
  ec.clear();
  for (fs::directory_iterator it(byId, ec), end; !ec && it != end; it.increment(ec))
    list.push_back("/dev/serial/by-id/" + it->path().filename().string());
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
}

void EnumPorts(std::vector<std::string>& list) {
  EnumPortsIn("/", list);
}
