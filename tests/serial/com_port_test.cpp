// The port component's logic against a scripted device: opening and
// closing, events, reads and writes, and the settings it applies.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "serial/CPort.h"
#include "tests/serial/fake_com_device.h"
#include "tests/serial/program_line_settings.h"

namespace {

struct Fixture : ::testing::Test {
  // Declared before the port: its handlers write here while it closes.
  std::vector<std::string> log;
  TFakeComDevice* dev = nullptr;
  std::unique_ptr<TComPort> port;

  void SetUp() override {
    auto d = std::make_unique<TFakeComDevice>();
    dev = d.get();
    port = std::make_unique<TComPort>(nullptr, std::move(d));
    port->Events = TComEvents{};
  }
  void ProgramSettings() { ApplyProgramLineSettings(*port); }
  void Record() {
    port->OnBeforeOpen = [this](TCustomComPort*) { log.push_back("BeforeOpen"); };
    port->OnAfterOpen = [this](TCustomComPort*) { log.push_back("AfterOpen"); };
    port->OnBeforeClose = [this](TCustomComPort*) { log.push_back("BeforeClose"); };
    port->OnAfterClose = [this](TCustomComPort*) { log.push_back("AfterClose"); };
    port->OnCTSChange = [this](TCustomComPort*, bool on) { log.push_back(on ? "CTS1" : "CTS0"); };
    port->OnDSRChange = [this](TCustomComPort*, bool on) { log.push_back(on ? "DSR1" : "DSR0"); };
    port->OnRLSDChange = [this](TCustomComPort*, bool on) {
      log.push_back(on ? "RLSD1" : "RLSD0");
    };
  }
  // Lets the window thread handle hand-overs until pred holds (or 2 s).
  template <class P>
  bool PumpUntil(P pred) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!pred() && std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
  }
};

using Lifecycle = Fixture;
using Settings = Fixture;
using ReadWrite = Fixture;
using Events = Fixture;

int CodeOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EComPort& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST_F(Lifecycle, OpenAndCloseNotifyInOrderWithLinksFirst) {
  Record();
  dev->modem = MS_CTS_ON | MS_RLSD_ON;
  TComLink link;
  link.OnConn = [this](TCustomComPort*, bool on) { log.push_back(on ? "L:Conn1" : "L:Conn0"); };
  link.OnCTSChange = [this](TCustomComPort*, bool on) { log.push_back(on ? "L:CTS1" : "L:CTS0"); };
  port->AttachLink(&link);
  port->Open();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "L:Conn1", "AfterOpen", "L:CTS1", "CTS1",
                                           "DSR0", "RLSD1"}));
  log.clear();
  port->Open();  // already open: nothing
  EXPECT_TRUE(log.empty());
  port->Close();
  EXPECT_EQ(log, (std::vector<std::string>{"L:CTS0", "CTS0", "DSR0", "RLSD0", "BeforeClose",
                                           "L:Conn0", "AfterClose"}));
  EXPECT_FALSE(port->Connected());
  log.clear();
  port->Close();
  EXPECT_TRUE(log.empty());
  port->DetachLink(&link);
  EXPECT_EQ(CodeOf([&] { port->DetachLink(&link); }), CError_RegFailed);
  port->AttachLink(&link);
  EXPECT_EQ(CodeOf([&] { port->AttachLink(&link); }), CError_RegFailed);
  port->DetachLink(&link);
}

TEST_F(Lifecycle, FailedOpenLeavesPortClosedWithoutAfterNotifications) {
  Record();
  dev->openError = EACCES;
  port->SetPort("COM3");
  try {
    port->Open();
    FAIL() << "no exception";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), CError_OpenFailed);
    EXPECT_EQ(e.SystemErrorCode(), EACCES);
    const std::string m = e.what();
    EXPECT_EQ(m.rfind("Unable to open com port", 0), 0u) << m;
    EXPECT_NE(m.find("COM3"), std::string::npos) << m;
    EXPECT_NE(m.find("/dev/ttyS2"), std::string::npos) << m;
    EXPECT_NE(m.find("(win error code: 13)"), std::string::npos) << m;
  }
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(log, std::vector<std::string>{"BeforeOpen"});

  // Settings the device refuses close it again and pass the error on.
  dev->openError = 0;
  dev->stateError = EINVAL;
  EXPECT_EQ(CodeOf([&] { port->Open(); }), CError_SetStateFailed);
  EXPECT_FALSE(port->Connected());
  EXPECT_FALSE(dev->IsOpen());
}

TEST_F(Lifecycle, EmptyEventsCreateNoThreadAndPortChangeReopens) {
  Record();
  port->Open();
  EXPECT_FALSE(port->ThreadCreated());
  EXPECT_EQ(dev->openedPort, "COM1");
  log.clear();
  port->SetPort("COM1");  // same text
  EXPECT_TRUE(log.empty());
  port->SetPort("ttyUSB0");
  std::vector<std::string> order;
  for (auto& s : log)
    if (s.find("Open") != std::string::npos || s.find("Close") != std::string::npos)
      order.push_back(s);
  EXPECT_EQ(order,
            (std::vector<std::string>{"BeforeClose", "AfterClose", "BeforeOpen", "AfterOpen"}));
  EXPECT_EQ(dev->openedPort, "ttyUSB0");
  // Also inside an update: the reopen is not held back.
  port->BeginUpdate();
  port->SetPort("ttyUSB1");
  EXPECT_EQ(dev->openedPort, "ttyUSB1");
  port->EndUpdate();
}

TEST_F(Lifecycle, ErrorMessagesAndSyncMethodWhileOpen) {
  EXPECT_STREQ(EComPort(CError_SyncMeth).what(), "Cannot set SyncMethod while connected");
  EXPECT_EQ(EComPort(CError_SyncMeth).SystemErrorCode(), -1);
  const std::string m = EComPort(CError_ReadFailed, 995).what();
  EXPECT_EQ(m, "ReadFile function failed (win error code: 995)");
  EXPECT_STREQ(EComPort(CError_LoadFailed).what(), "Failed to load settings");

  port->Open();
  port->SetSyncMethod(smThreadSync);  // unchanged value: fine
  try {
    port->SetSyncMethod(smNone);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), CError_SyncMeth);
    EXPECT_STREQ(e.what(), "Cannot set SyncMethod while connected");
  }
  EXPECT_EQ(port->SyncMethod(), smThreadSync);
  port->Close();
  port->SetSyncMethod(smNone);
  EXPECT_EQ(port->SyncMethod(), smNone);
}

TEST_F(Settings, ProgramConfigurationGivesTheExpectedLineSettings) {
  ProgramSettings();
  port->Open();
  const TComDCB& d = dev->dcb;
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(d.BaudRate, 57600u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, 0);
  EXPECT_EQ(d.XonLim, 512);
  EXPECT_EQ(d.XoffLim, 512);
  EXPECT_EQ(d.XonChar, 17);
  EXPECT_EQ(d.XoffChar, 19);
  EXPECT_EQ(d.EvtChar, '\n');
  EXPECT_TRUE(d.fBinary);
  EXPECT_FALSE(d.fParity || d.fOutxCtsFlow || d.fOutxDsrFlow || d.fOutX || d.fInX || d.fNull ||
               d.fAbortOnError || d.fErrorChar);
  EXPECT_EQ(d.fDtrControl, 0);
  EXPECT_EQ(d.fRtsControl, 0);
  EXPECT_EQ(dev->timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(dev->timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(dev->timeouts.WriteTotalTimeoutConstant, 0xFFFFFFFFu);
  EXPECT_EQ(dev->setupIn, 2048);
  EXPECT_EQ(port->Events, TComEvents{evRxFlag});
  // Buffer, line, timeouts: in this order.
  std::vector<std::string> applies;
  for (auto& c : dev->calls)
    if (c != "Open") applies.push_back(c);
  EXPECT_EQ(applies, (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));

  port->Parity().SetBits(prMark);
  port->Parity().SetCheck(true);
  port->Parity().SetReplace(true);
  port->Parity().SetReplaceChar('?');
  port->SetBaudRate(brCustom);
  port->SetCustomBaudRate(250000);
  EXPECT_EQ(dev->dcb.Parity, 3);
  EXPECT_TRUE(dev->dcb.fParity && dev->dcb.fErrorChar);
  EXPECT_EQ(dev->dcb.ErrorChar, '?');
  EXPECT_EQ(dev->dcb.BaudRate, 250000u);
}

TEST_F(Settings, SettersApplyOnlyChangesOnlyWhenOpenAndOnceAfterUpdate) {
  port->SetBaudRate(br115200);  // closed: stored only
  EXPECT_EQ(dev->Count("SetCommState"), 0);
  port->Open();
  dev->ClearCalls();
  port->SetBaudRate(br115200);
  EXPECT_EQ(dev->Count("SetCommState"), 0);
  port->SetBaudRate(br4800);
  EXPECT_EQ(dev->Count("SetCommState"), 1);

  dev->ClearCalls();
  port->BeginUpdate();
  port->BeginUpdate();
  port->SetDataBits(dbSeven);
  port->Timeouts().SetReadInterval(5);
  port->Buffer().SetInputSize(4096);
  port->EndUpdate();
  EXPECT_TRUE(dev->calls.empty());
  port->EndUpdate();
  EXPECT_EQ(dev->calls, (std::vector<std::string>{"SetupComm", "SetCommState", "SetCommTimeouts"}));
  port->EndUpdate();  // at zero: nothing
  EXPECT_EQ(dev->calls.size(), 3u);

  // Odd sizes become even; an open port gets SetupComm at once.
  port->Buffer().SetInputSize(2049);
  EXPECT_EQ(port->Buffer().InputSize(), 2048);
  port->Buffer().SetOutputSize(1000);
  EXPECT_EQ(dev->setupIn, 2048);
  EXPECT_EQ(dev->setupOut, 1000);

  // A refused setting raises and stays stored.
  dev->stateError = EINVAL;
  EXPECT_EQ(CodeOf([&] { port->SetStopBits(sbTwoStopBits); }), CError_SetStateFailed);
  EXPECT_EQ(port->StopBits(), sbTwoStopBits);
  dev->timeoutsError = EINVAL;
  EXPECT_EQ(CodeOf([&] { port->Timeouts().SetReadTotalConstant(9); }), CError_TimeoutsFailed);
  dev->setupError = EINVAL;
  EXPECT_EQ(CodeOf([&] { port->Buffer().SetInputSize(64); }), CError_SetupComFailed);
}

TEST_F(Settings, FlowControlPreset) {
  TComFlowControl& f = port->FlowControl();
  EXPECT_EQ(f.FlowControl(), fcNone);
  f.SetControlRTS(rtsHandshake);
  f.SetOutCTSFlow(true);
  EXPECT_EQ(f.FlowControl(), fcHardware);
  f.SetControlDTR(dtrHandshake);
  EXPECT_EQ(f.FlowControl(), fcHardware);
  f.SetXonXoffIn(true);
  EXPECT_EQ(f.FlowControl(), fcCustom);

  port->Open();
  dev->ClearCalls();
  f.SetFlowControl(fcCustom);  // no field changes, one apply
  EXPECT_EQ(f.ControlRTS(), rtsHandshake);
  EXPECT_TRUE(f.XonXoffIn());
  EXPECT_EQ(dev->Count("SetCommState"), 1);
  f.SetFlowControl(fcSoftware);
  EXPECT_EQ(f.ControlRTS(), rtsDisable);
  EXPECT_FALSE(f.OutCTSFlow());
  EXPECT_TRUE(f.XonXoffIn() && f.XonXoffOut());
  EXPECT_EQ(f.ControlDTR(), dtrHandshake);  // not part of the preset
  EXPECT_EQ(f.FlowControl(), fcSoftware);
  f.SetFlowControl(fcNone);
  EXPECT_EQ(f.FlowControl(), fcNone);
  EXPECT_EQ(dev->Count("SetCommState"), 3);
}

TEST_F(ReadWrite, ReadsReturnWhatIsQueuedAtOnce) {
  ProgramSettings();
  port->Events = TComEvents{};
  port->Open();
  std::string text = "junk";
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port->ReadText(text, 100), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20));
  dev->Feed("abc");
  EXPECT_EQ(port->ReadText(text, 0), 0);
  EXPECT_EQ(dev->Queued(), 3u);
  EXPECT_EQ(port->ReadText(text, 100), 3);
  EXPECT_EQ(text, "abc");
  dev->Feed("0123456789");
  EXPECT_EQ(port->ReadText(text, 4), 4);
  EXPECT_EQ(text, "0123");
  EXPECT_EQ(port->PendingInputCount(), 6);
  EXPECT_EQ(port->ReadText(text, 100), 6);
  EXPECT_EQ(text, "456789");

  EXPECT_EQ(port->WriteText(""), 0);
  EXPECT_EQ(port->WriteText("A03 ?40\r"), 8);
  EXPECT_EQ(dev->written, "A03 ?40\r");
}

TEST_F(ReadWrite, ReadWaitsUnderItsTimeouts) {
  port->Open();
  port->Timeouts().SetReadInterval(0);
  port->Timeouts().SetReadTotalMultiplier(0);
  port->Timeouts().SetReadTotalConstant(60);
  std::string text;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(port->ReadText(text, 10), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(55));
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    dev->Feed("0123456789");
  });
  EXPECT_EQ(port->ReadText(text, 10), 10);
  late.join();
}

TEST_F(ReadWrite, ClosedOrVanishedDeviceRaisesAtOnce) {
  std::string text;
  EXPECT_EQ(CodeOf([&] { port->ReadText(text, 100); }), CError_ReadFailed);
  EXPECT_EQ(CodeOf([&] { port->WriteText("x"); }), CError_WriteFailed);
  EXPECT_EQ(CodeOf([&] { port->AbortPendingIo(); }), CError_PurgeFailed);
  EXPECT_EQ(CodeOf([&] { port->ClearBuffers(true, true); }), CError_PurgeFailed);
  EXPECT_EQ(CodeOf([&] { port->ModemSignals(); }), CError_ModemStatFailed);
  EXPECT_EQ(CodeOf([&] { port->PendingInputCount(); }), CError_ClearComFailed);

  port->Open();
  dev->Feed("ok\n");
  dev->Vanish();
  // What arrived before is still delivered, then the failure.
  EXPECT_EQ(port->ReadText(text, 100), 3);
  EXPECT_EQ(CodeOf([&] { port->ReadText(text, 100); }), CError_ReadFailed);
  EXPECT_EQ(CodeOf([&] { port->WriteText("x"); }), CError_WriteFailed);
}

TEST_F(Events, RxFlagRunsOnTheWindowThreadLinksFirstWithoutLosingBytes) {
  ProgramSettings();
  TComLink link;
  std::vector<std::string> seen;
  link.OnRxFlag = [&](TCustomComPort*) { seen.push_back("link"); };
  port->AttachLink(&link);
  const auto window = std::this_thread::get_id();
  int flags = 0;
  bool otherThread = false;
  port->SetOnRxFlag([&] {
    seen.push_back("port");
    otherThread |= std::this_thread::get_id() != window;
    ++flags;
  });
  port->Open();
  ASSERT_TRUE(port->ThreadCreated());

  dev->Feed("first\n");
  ASSERT_TRUE(PumpUntil([&] { return flags >= 1; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"link", "port"}));
  EXPECT_FALSE(otherThread);

  // Many small lines, read while they arrive: every byte once, in order.
  std::string expected = "first\n", got;
  std::thread feeder([&] {
    for (int i = 0; i < 200; ++i) {
      std::string line = "line " + std::to_string(i) + "\n";
      dev->Feed(line);
      if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 200; ++i) expected += "line " + std::to_string(i) + "\n";
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (got.size() < expected.size() && std::chrono::steady_clock::now() < end) {
    std::string part;
    port->ReadText(part, 7);
    got += part;
    QCoreApplication::processEvents();
  }
  feeder.join();
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(PumpUntil([&] { return flags >= 2; }));
  port->Close();
  EXPECT_FALSE(port->ThreadCreated());
}

TEST_F(Events, HandlerErrorsAreShownAndDeliveryGoesOn) {
  ProgramSettings();
  std::vector<std::string> shown;
  SetApplicationErrorHandler([&](const std::exception& e) { shown.push_back(e.what()); });
  int calls = 0;
  port->SetOnRxFlag([&] {
    ++calls;
    throw std::runtime_error("handler failed");
  });
  port->Open();
  dev->Feed("a\n");
  ASSERT_TRUE(PumpUntil([&] { return calls == 1 && shown.size() == 1; }));
  dev->Feed("b\n");
  EXPECT_TRUE(PumpUntil([&] { return calls == 2; }));
  EXPECT_EQ(shown.front(), "handler failed");
  port->Close();
  SetApplicationErrorHandler(nullptr);
}

TEST_F(Events, CloseNeverDeadlocksOnAPendingHandOver) {
  ProgramSettings();
  int flags = 0;
  port->SetOnRxFlag([&] { ++flags; });
  port->Open();
  dev->Feed("x\n");
  // The event thread is now blocked handing the event over; no messages are
  // processed before Close.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  auto t0 = std::chrono::steady_clock::now();
  port->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(flags, 1);  // the message on its way was still handled
  EXPECT_FALSE(port->Connected());
  QCoreApplication::processEvents();  // a stale posted event does nothing
  EXPECT_EQ(flags, 1);

  // A handler that closes the port itself, on the window thread and (with
  // smNone) on the event thread.
  port->OnRxFlag = [&](TCustomComPort* p) { p->Close(); };
  port->Open();
  dev->Feed("y\n");
  EXPECT_TRUE(PumpUntil([&] { return !port->Connected(); }));
  EXPECT_FALSE(port->ThreadCreated());
  port->SetSyncMethod(smNone);
  std::atomic<bool> closed{false};
  port->OnAfterClose = [&](TCustomComPort*) { closed = true; };
  port->Open();
  dev->Feed("z\n");
  EXPECT_TRUE(PumpUntil([&] { return closed.load(); }));
  port->OnAfterClose = nullptr;
  port->OnRxFlag = nullptr;
  port->Open();  // joins the thread that stopped itself
  EXPECT_TRUE(port->ThreadCreated());
  port->Close();
}

TEST_F(Events, CloseDiscardsQueuesAndVanishedDeviceEndsTheThread) {
  ProgramSettings();
  port->Open();
  dev->Feed("left over");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  port->Close();
  EXPECT_EQ(dev->Queued(), 0u);
  port->Open();
  std::string text;
  EXPECT_EQ(port->ReadText(text, 100), 0);

  dev->Vanish();
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (port->EventThreadRunning() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_FALSE(port->EventThreadRunning());
  EXPECT_EQ(CodeOf([&] { port->ReadText(text, 100); }), CError_ReadFailed);
  port->Close();
}

TEST_F(Events, WindowMessageRunsTheMatchingStepOnly) {
  EXPECT_EQ(EventToMask(evRxFlag), 0x0002u);
  EXPECT_EQ(EventToMask(evRx80Full), 0x0400u);
  port->Open();
  int flag = 0, ring = 0;
  port->OnRxFlag = [&](TCustomComPort*) { ++flag; };
  port->OnRing = [&](TCustomComPort*) { ++ring; };
  port->HandleEventMessage(2);
  port->HandleEventMessage(0x0100);
  port->HandleEventMessage(0x0800);  // not an event
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(ring, 1);
  // The error step reports only a non-empty set; parity only when checked.
  TComErrors errs;
  port->OnError = [&](TCustomComPort*, TComErrors e) { errs = e; };
  dev->lineErrors = CE_RXPARITY | CE_FRAME;
  port->HandleEventMessage(0x0080);
  EXPECT_EQ(errs, TComErrors{ceFrame});
}

TEST_F(Events, ReceivedBlocksGoToLinksWithABlockSlot) {
  port->Events = TComEvents{evRxChar};
  port->SetSyncMethod(smNone);
  TComLink link;
  std::mutex m;
  std::string block;
  int counted = 0;
  link.OnRxBuf = [&](TCustomComPort*, const char* b, int n) {
    std::lock_guard<std::mutex> lk(m);
    block.append(b, static_cast<size_t>(n));
  };
  port->OnRxChar = [&](TCustomComPort*, int) { ++counted; };
  port->AttachLink(&link);
  port->Open();
  dev->Feed("hello");
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(m);
      if (block.size() >= 5 || std::chrono::steady_clock::now() > end) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  port->Close();
  EXPECT_EQ(block, "hello");
  EXPECT_EQ(counted, 0);  // the bytes went to the block handlers instead
  port->DetachLink(&link);
}

}  // namespace
