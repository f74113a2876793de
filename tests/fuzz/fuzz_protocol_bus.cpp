// The bus object over a fake port in virtual time: raw exchanges that arrive
// in pieces, floods without line feeds, port failures, and a whole bus scan
// followed by one pass over every channel.
// Input: replies separated by 0xFF, answered one per frame written. Inside a
// reply, 0xFE makes that read fail; the first byte of the input sets how many
// bytes one read delivers.
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>

#include "common/QxClock.h"
#include "protocol/OEMLib.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

class TFakePort : public TOEMPort {
 public:
  std::deque<std::string> Replies;
  std::string Pending;
  size_t Piece = 1;
  int Writes = 0;

  int WriteText(const std::string& text) override {
    ++Writes;
    Check(!text.empty() && text.back() == '\r');
    if (Replies.empty()) {
      Pending.clear();
      return static_cast<int>(text.size());
    }
    // Left-over bytes of an earlier reply stay in front, as on a real line.
    Pending += Replies.front();
    Replies.pop_front();
    return static_cast<int>(text.size());
  }
  int ReadText(std::string& text, int count) override {
    text.clear();
    if (!Pending.empty() && static_cast<unsigned char>(Pending[0]) == 0xFE) {
      Pending.erase(0, 1);
      throw std::runtime_error("ReadFile function failed");
    }
    size_t n = std::min({Piece, Pending.size(), static_cast<size_t>(count)});
    const size_t fail = Pending.find('\xFE');
    if (fail != std::string::npos) n = std::min(n, fail);
    text = Pending.substr(0, n);
    Pending.erase(0, n);
    return static_cast<int>(n);
  }
  void AbortPendingIo() override {}
  void SetEventChar(char) override {}
  void SetEventsToRxFlagOnly() override {}
  void SetOnRxFlag(std::function<void()>) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  TVirtualClock clock;
  TScopedClock scoped(&clock);
  TFakePort port;
  port.Piece = 1 + data[0] % 120;
  std::string cur;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0xFF) {
      port.Replies.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(data[i]);
    }
  }
  port.Replies.push_back(cur);

  TOEMData bus;
  bus.AttachPort(&port);
  try {
    bus.ScanBus();
  } catch (const EConvertError&) {
    return 0;
  }
  Check(bus.Devices.size() <= 21);
  int total = 0;
  for (auto& d : bus.Devices) total += static_cast<uint8_t>(d->ChannelCount & 0xFF);
  Check(total == bus.ChannelTotal);
  for (int i = 0; i < bus.ChannelTotal; ++i) {
    TDeviceParam* d = bus.ChannelDevice(i);
    Check(d != nullptr && d->SubChannel >= 1 && d->SubChannel <= d->LastValues.size());
    int32_t raw = 0;
    d->ReadSample(raw);
    d->GetScale();
  }
  Check(bus.ChannelDevice(bus.ChannelTotal) == nullptr);
  // A single exchange never collects more than its bound plus one read.
  port.Replies.push_front(std::string(size, 'x'));
  const std::string r = bus.TransferQuery("?01 1\r");
  Check(r.size() <= TOEMData::MaxReplyBytes + 100);
  // A setting waits long for its acknowledgement; only when one is coming,
  // so that silent inputs stay fast.
  if (!bus.Devices.empty() && !port.Replies.empty()) bus.Devices.front()->SetAveraging(4);
  return 0;
}
