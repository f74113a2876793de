#pragma once
// The port's event thread: waits for line events on the device while the
// port is open and hands each batch to the port for dispatch.
#include <atomic>
#include <thread>

#include "serial/CPortTypes.h"

class TComThread {
 public:
  TComThread(TCustomComPort* port, TComEvents mask) : port_(port), mask_(mask) {}
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;
  void Start();
  void RequestStop();
  bool Finished() const { return finished_; }
  bool IsCurrent() const { return th_.get_id() == std::this_thread::get_id(); }
  void Join();

 private:
  void Run();
  // Modem lines, output-empty and line errors have no wake-up of their own
  // on a tty; they are sampled after every wait.
  TComEvents SampleLines(uint32_t& lastModem) const;
  void Drain();
  TCustomComPort* port_;
  TComEvents mask_;
  std::thread th_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> finished_{false};
};
