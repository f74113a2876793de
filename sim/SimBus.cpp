// The simulated bus: takes the frames the program writes, routes each to the
// device at its address and queues the replies for their due time.
#include "sim/SimBus.h"

#include <cstdio>
#include <stdexcept>

#include "common/QxClock.h"
#include "common/QxNumber.h"

namespace {

void CheckPort(bool fails) {
  if (fails) throw std::runtime_error("simulated port failure");
}

}  // namespace

TSimBus::TSimBus() : startMs_(Clock().TickMs()) {}

TSimDevice& TSimBus::AddDevice(uint8_t address, int channels, int scale, const std::string& name) {
  auto& slot = devices_[address];
  slot = std::make_unique<TSimDevice>(address, channels, scale, name);
  return *slot;
}

void TSimBus::RemoveDevice(uint8_t address) {
  devices_.erase(address);
}

TSimDevice* TSimBus::Device(uint8_t address) {
  auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : it->second.get();
}

void TSimBus::Clear() {
  devices_.clear();
  pending_.clear();
  input_.clear();
}

double TSimBus::TimeS() const {
  return static_cast<double>(Clock().TickMs() - startMs_) / 1000.0;
}

std::string TSimBus::Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\\')
      out += "\\\\";
    else if (c < 32 || c > 126) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void TSimBus::Log(const std::string& line) {
  if (OnLog) OnLog(line);
}

int TSimBus::WriteText(const std::string& text) {
  CheckPort(PortFails);
  ++Writes;
  Written += text;
  for (char c : text) {
    if (c == '\r') {
      std::string frame;
      frame.swap(input_);
      HandleFrame(frame);
    } else if (input_.size() < MaxFrameBytes) {
      input_ += c;
    }
  }
  return static_cast<int>(text.size());
}

void TSimBus::HandleFrame(const std::string& raw) {
  // Stray line ends or blanks before a frame (typed by hand) are not part of it.
  size_t b = 0;
  while (b < raw.size() && static_cast<unsigned char>(raw[b]) <= 32) ++b;
  const std::string frame = raw.substr(b);
  Log("RX " + Escape(frame + "\r"));

  uint8_t address = 0;
  std::string body = frame;
  if (frame.size() >= 4 && frame[0] == 'A' && frame[3] == ' ') {
    TIntSyntax hex;
    hex.Base = 16;
    TIntText a;
    if (!ScanInt(frame.substr(1, 2), hex, a)) return;
    address = static_cast<uint8_t>(a.Magnitude);
    body = frame.substr(4);
    if (address == 0) return;  // address 0 is spoken to without a prefix
  }
  TSimDevice* device = Device(address);
  if (!device) return;

  const int64_t now = Clock().TickMs();
  const int64_t lastReady = pending_.empty() ? now : pending_.back().ReadyAt;
  for (TSimChunk& chunk : device->Answer(body, TimeS())) {
    int64_t at = now + ReplyDelayMs + chunk.AtMs;
    // The line is serial: nothing overtakes what is already queued.
    if (at < lastReady) at = lastReady;
    pending_.push_back({at, std::move(chunk.Text)});
  }
}

int TSimBus::ReadText(std::string& text, int count) {
  CheckPort(PortFails);
  ++Reads;
  text.clear();
  const int64_t now = Clock().TickMs();
  while (count > 0 && !pending_.empty() && pending_.front().ReadyAt <= now) {
    TPending& p = pending_.front();
    const size_t n = std::min(p.Text.size(), static_cast<size_t>(count));
    text.append(p.Text, 0, n);
    p.Text.erase(0, n);
    count -= static_cast<int>(n);
    if (p.Text.empty()) pending_.pop_front();
  }
  if (!text.empty()) Log("TX " + Escape(text));
  return static_cast<int>(text.size());
}

void TSimBus::AbortPendingIo() {
  CheckPort(PortFails);
  ++Aborts;
}

int64_t TSimBus::MsUntilReady() const {
  if (pending_.empty()) return -1;
  const int64_t d = pending_.front().ReadyAt - Clock().TickMs();
  return d < 0 ? 0 : d;
}

size_t TSimBus::PendingBytes() const {
  size_t n = 0;
  for (const TPending& p : pending_) n += p.Text.size();
  return n;
}
