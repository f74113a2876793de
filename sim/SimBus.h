#pragma once
// A bus of emulated devices behind the port interface. Frames written to it
// are answered by the addressed device; the reply becomes readable a set
// number of milliseconds after the frame's CR, measured on the program clock,
// so a virtual clock makes every exchange deterministic.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "protocol/OEMPort.h"
#include "sim/SimDevice.h"

class TSimBus : public TOEMPort {
 public:
  // Unterminated input beyond this is line noise and is dropped.
  static constexpr size_t MaxFrameBytes = 256;

  TSimBus();

  TSimDevice& AddDevice(uint8_t address, int channels, int scale, const std::string& name = "");
  void RemoveDevice(uint8_t address);
  TSimDevice* Device(uint8_t address);
  void Clear();

  int ReplyDelayMs = 5;
  // Makes every port call throw, as a vanished port would.
  bool PortFails = false;
  // Receives "RX <frame>" and "TX <reply chunk>" with control characters escaped.
  std::function<void(const std::string&)> OnLog;

  // TOEMPort
  int WriteText(const std::string& text) override;
  int ReadText(std::string& text, int count) override;
  void AbortPendingIo() override;
  void SetEventChar(char c) override { EventChar = c; }
  void SetEventsToRxFlagOnly() override { RxFlagOnly = true; }
  void SetOnRxFlag(std::function<void()> handler) override { OnRxFlag = std::move(handler); }

  char EventChar = 0;
  bool RxFlagOnly = false;
  std::function<void()> OnRxFlag;
  int Writes = 0, Reads = 0, Aborts = 0;
  std::string Written;  // every byte written, for tests

  // Milliseconds until the next reply byte becomes readable; -1 when none waits.
  int64_t MsUntilReady() const;
  size_t PendingBytes() const;
  // Seconds since the bus was created, for the value curves.
  double TimeS() const;

  static std::string Escape(const std::string& text);

 private:
  void HandleFrame(const std::string& frame);
  void Log(const std::string& line);

  struct TPending {
    int64_t ReadyAt;
    std::string Text;
  };
  std::map<uint8_t, std::unique_ptr<TSimDevice>> devices_;
  std::deque<TPending> pending_;
  std::string input_;
  int64_t startMs_;
};
