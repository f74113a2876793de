#pragma once
// Serves a simulated bus on a pseudo-terminal in real time.
#include <csignal>
#include <string>

#include "sim/SimBus.h"

class TSimPtyServer {
 public:
  explicit TSimPtyServer(TSimBus& bus) : bus_(bus) {}
  ~TSimPtyServer();

  // Open the terminal in raw mode; false with error set on failure.
  bool Open(std::string& error);
  // Point link at the terminal, replacing an earlier link there.
  bool MakeLink(const std::string& link, std::string& error);
  const std::string& SlavePath() const { return slavePath_; }
  // Answer frames until stop becomes non-zero.
  void Serve(const volatile std::sig_atomic_t& stop);
  void Close();

 private:
  TSimBus& bus_;
  int master_ = -1;
  int slave_ = -1;  // held open so clients can close and reopen the terminal
  std::string slavePath_;
  std::string link_;
};
