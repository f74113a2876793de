#pragma once
// What the bus object needs of a serial port, and nothing more. The serial
// port component implements it; tests and the in-process simulator do too.
// Every operation may throw (a std::exception) when the port fails.
#include <functional>
#include <string>

class TOEMPort {
 public:
  virtual ~TOEMPort() = default;
  // Write the whole text; returns when it is written.
  virtual int WriteText(const std::string& text) = 0;
  // Read up to count bytes that have already arrived; never waits for more.
  // text receives exactly the bytes read; returns their number (0..count).
  virtual int ReadText(std::string& text, int count) = 0;
  // Abort outstanding reads and writes; queued data stays.
  virtual void AbortPendingIo() = 0;
  // The character whose arrival raises the event-character event.
  virtual void SetEventChar(char c) = 0;
  // Wait for exactly the event-character event from the next open on.
  virtual void SetEventsToRxFlagOnly() = 0;
  // Handler of the event-character event, run on the window thread.
  virtual void SetOnRxFlag(std::function<void()> handler) = 0;
};
