#pragma once
// A scripted serial device: records what the component asks of it and lets a
// test feed input, fail calls and make the device vanish.
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "serial/CPortDevice.h"

class TFakeComDevice : public TComDevice {
 public:
  // Script (set before the call that should see it).
  int openError = 0;
  int stateError = 0;
  int timeoutsError = 0;
  int setupError = 0;
  uint32_t modem = 0;
  uint32_t lineErrors = 0;

  // Record.
  std::vector<std::string> calls;
  std::string written;
  std::string openedPort;
  TComDCB dcb;
  TComTimeoutValues timeouts;
  int setupIn = -1, setupOut = -1;
  int purges = 0;

  void Feed(const std::string& bytes) {
    std::lock_guard<std::mutex> lk(m_);
    for (char c : bytes) input_.push_back(c);
    cv_.notify_all();
  }
  void Vanish() {
    std::lock_guard<std::mutex> lk(m_);
    gone_ = true;
    cv_.notify_all();
  }
  size_t Queued() {
    std::lock_guard<std::mutex> lk(m_);
    return input_.size();
  }
  int Count(const std::string& call) {
    std::lock_guard<std::mutex> lk(m_);
    int n = 0;
    for (auto& c : calls) n += c == call;
    return n;
  }
  void ClearCalls() {
    std::lock_guard<std::mutex> lk(m_);
    calls.clear();
  }

  int Open(const std::string& port) override {
    Note("Open");
    if (openError) return openError;
    std::lock_guard<std::mutex> lk(m_);
    open_ = true;
    gone_ = false;
    openedPort = port;
    return 0;
  }
  void Close() override {
    Note("Close");
    std::lock_guard<std::mutex> lk(m_);
    open_ = false;
  }
  bool IsOpen() const override { return open_; }
  int SetupComm(int in, int out) override {
    Note("SetupComm");
    setupIn = in;
    setupOut = out;
    return setupError;
  }
  int SetCommState(const TComDCB& d) override {
    Note("SetCommState");
    if (stateError) return stateError;
    dcb = d;
    return 0;
  }
  int SetCommTimeouts(const TComTimeoutValues& t) override {
    Note("SetCommTimeouts");
    timeouts = t;
    return timeoutsError;
  }
  int Read(char* buf, int count, int& got) override {
    std::lock_guard<std::mutex> lk(m_);
    got = 0;
    if (gone_ && input_.empty()) return EIO;
    while (got < count && !input_.empty()) {
      buf[got++] = input_.front();
      input_.pop_front();
    }
    return 0;
  }
  int Write(const char* buf, int count, int& w, int) override {
    std::lock_guard<std::mutex> lk(m_);
    w = 0;
    if (gone_) return EIO;
    written.append(buf, static_cast<size_t>(count));
    w = count;
    return 0;
  }
  void AbortIo() override { Note("AbortIo"); }
  int Purge(bool in, bool) override {
    std::lock_guard<std::mutex> lk(m_);
    ++purges;
    if (in) input_.clear();
    return 0;
  }
  int InputCount(int& n) override {
    std::lock_guard<std::mutex> lk(m_);
    n = static_cast<int>(input_.size());
    return 0;
  }
  int OutputCount(int& n) override {
    n = 0;
    return 0;
  }
  int LineErrors(uint32_t& e) override {
    e = lineErrors;
    lineErrors = 0;
    return 0;
  }
  int PollLineEvents(uint32_t& e) override {
    e = 0;
    return 0;
  }
  int ModemStatus(uint32_t& s) override {
    s = modem;
    return 0;
  }
  int WaitEvent(int timeoutMs, bool wantInput, uint32_t& flags) override {
    std::unique_lock<std::mutex> lk(m_);
    auto ready = [&] { return interrupted_ || gone_ || (wantInput && !input_.empty()); };
    if (timeoutMs < 0)
      cv_.wait(lk, ready);
    else
      cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready);
    flags = 0;
    if (interrupted_) flags |= wfInterrupted;
    if (gone_) flags |= wfGone;
    if (wantInput && !input_.empty()) flags |= wfInput;
    if (!flags) flags = wfTimeout;
    interrupted_ = false;
    return 0;
  }
  int WaitInput(int timeoutMs) override {
    std::unique_lock<std::mutex> lk(m_);
    cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                 [&] { return gone_ || !input_.empty(); });
    return 0;
  }
  void Interrupt() override {
    std::lock_guard<std::mutex> lk(m_);
    interrupted_ = true;
    cv_.notify_all();
  }

 private:
  void Note(const std::string& c) {
    std::lock_guard<std::mutex> lk(m_);
    calls.push_back(c);
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<char> input_;
  bool open_ = false;
  bool gone_ = false;
  bool interrupted_ = false;
};
