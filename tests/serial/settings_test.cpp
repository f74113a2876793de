// Text forms, the settings file and the port list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "serial/CPort.h"
#include "serial/CPortIni.h"
#include "tests/serial/fake_com_device.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
void WriteFile(const std::string& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

struct Store : ::testing::Test {
  std::string dir, ini;
  TFakeComDevice* dev = nullptr;
  std::unique_ptr<TComPort> port;
  void SetUp() override {
    dir = ::testing::TempDir() + "qxserial" + std::to_string(getpid()) + "_" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir);
    fs::create_directories(dir);
    ini = dir + "/quilex.ini";
    auto d = std::make_unique<TFakeComDevice>();
    dev = d.get();
    port = std::make_unique<TComPort>(nullptr, std::move(d));
    port->SetName("ComPort1");
    // As the program configures its port before reading the file.
    port->SetBaudRate(br57600);
    port->Buffer().SetInputSize(2048);
    port->Buffer().SetOutputSize(2048);
    port->SetEventChar('\n');
  }
  void TearDown() override {
    port.reset();
    fs::remove_all(dir);
  }
  int Code(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const EComPort& e) {
      return e.ErrorCode();
    }
    return 0;
  }
};

TEST(TextForms, ConvertersFollowTheirTables) {
  EXPECT_EQ(CharToText('\n'), "#10");
  EXPECT_EQ(CharToText(' '), "#32");
  EXPECT_EQ(CharToText('A'), "A");
  EXPECT_EQ(CharToText(static_cast<char>(127)), std::string(1, 127));
  EXPECT_EQ(CharToText(static_cast<char>(128)), "#128");
  EXPECT_EQ(TextToChar("#10"), 10);
  EXPECT_EQ(TextToChar("#"), '#');
  EXPECT_EQ(TextToChar("AB"), 'A');
  EXPECT_EQ(TextToChar("#x"), 0);
  EXPECT_EQ(TextToChar(""), 0);
  EXPECT_EQ(TextToChar("#273"), 17);  // only the low byte counts

  EXPECT_EQ(TextToBaudRate("custom"), brCustom);
  EXPECT_EQ(TextToBaudRate("57600"), br57600);
  EXPECT_EQ(TextToBaudRate("12345"), br9600);
  EXPECT_EQ(TextToStopBits("1.5"), sbOne5StopBits);
  EXPECT_EQ(TextToStopBits("3"), sbOneStopBit);
  EXPECT_EQ(TextToDataBits("9"), dbEight);
  EXPECT_EQ(TextToParity("even"), prEven);
  EXPECT_EQ(TextToParity("?"), prNone);
  EXPECT_EQ(TextToFlowControl("HARDWARE"), fcHardware);
  EXPECT_EQ(TextToFlowControl("whatever"), fcCustom);
  EXPECT_EQ(TextToDTR("handshake"), dtrHandshake);
  EXPECT_EQ(TextToRTS("toggle"), rtsToggle);
  EXPECT_TRUE(TextToBool("yEs"));
  EXPECT_FALSE(TextToBool("true"));
  EXPECT_EQ(BaudRateToText(br256000), "256000");
  EXPECT_EQ(FlowControlToText(fcNone), "None");

  EXPECT_EQ(TextToIntDef("2048", 1), 2048);
  EXPECT_EQ(TextToIntDef("-1", 1), -1);
  EXPECT_EQ(TextToIntDef("0x10", 1), 16);
  EXPECT_EQ(TextToIntDef("0xFFFFFFFF", 1), -1);
  EXPECT_EQ(TextToIntDef("0x", 7), 7);
  EXPECT_EQ(TextToIntDef("12abc", 7), 7);
  EXPECT_EQ(TextToIntDef("99999999999", 7), 7);
  EXPECT_EQ(TextToIntDef("", 7), 7);
}

TEST_F(Store, BuiltInSettingsGiveTheSevenLineFile) {
  port->SaveSettings(ssIniFile, ini);
  EXPECT_EQ(ReadFile(ini),
            "[ComPort1]\nPort=COM1\nBaudRate=57600\nStopBits=1\nDataBits=8\nParity=None\n"
            "FlowControl=None\n");
  // Saved again: the same file, not a growing one.
  port->SaveSettings(ssIniFile, ini);
  const std::string again = ReadFile(ini);
  EXPECT_EQ(std::count(again.begin(), again.end(), '\n'), 7);
  // No temporary files are left beside it.
  int files = 0;
  for (auto& e : fs::directory_iterator(dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

TEST_F(Store, LoadReadsTextsWithoutRegardToCase) {
  WriteFile(ini, "[comport1]\nparity=even\nStopBits=1.5\nBaudRate=Custom\nCustomBaudRate=31250\n");
  port->LoadSettings(ssIniFile, ini);
  EXPECT_EQ(port->Parity().Bits(), prEven);
  EXPECT_EQ(port->StopBits(), sbOne5StopBits);
  EXPECT_EQ(port->BaudRate(), brCustom);
  EXPECT_EQ(port->CustomBaudRate(), 31250);
  EXPECT_EQ(port->Port(), "COM1");  // missing key: unchanged

  port->SetCustomBaudRate(777);
  WriteFile(ini, "[ComPort1]\nBaudRate=Custom\n");
  port->LoadSettings(ssIniFile, ini);
  EXPECT_EQ(port->CustomBaudRate(), 9600);
  WriteFile(ini, "[ComPort1]\nBaudRate=12345\nFlowControl=Odd\n");
  port->FlowControl().SetXonXoffIn(true);
  port->LoadSettings(ssIniFile, ini);
  EXPECT_EQ(port->BaudRate(), br9600);
  EXPECT_TRUE(port->FlowControl().XonXoffIn());  // unmatched preset leaves the fields
}

TEST_F(Store, SaveKeepsOtherContentAndOnlyWritesCustomRateWhenCustom) {
  WriteFile(ini,
            "; operator notes\n[Other]\nKey=1\n\n[COMPORT1]\nCustomBaudRate=31250\nUnknown=x\n"
            "BaudRate=9600\n\n[Tail]\nz=2\n");
  port->SaveSettings(ssIniFile, ini);
  TIniFile f;
  ASSERT_TRUE(f.Load(ini));
  EXPECT_EQ(f.ReadString("Other", "Key", ""), "1");
  EXPECT_EQ(f.ReadString("Tail", "z", ""), "2");
  EXPECT_EQ(f.ReadString("ComPort1", "Unknown", ""), "x");
  EXPECT_EQ(f.ReadString("ComPort1", "CustomBaudRate", ""), "31250");  // older line stays
  EXPECT_EQ(f.ReadString("ComPort1", "BaudRate", ""), "57600");
  const std::string text = ReadFile(ini);
  EXPECT_EQ(text.rfind("; operator notes\n", 0), 0u);
  // New keys go to the end of their own section, in key order.
  EXPECT_LT(text.find("FlowControl=None"), text.find("[Tail]"));
  EXPECT_LT(text.find("Port=COM1"), text.find("StopBits=1"));

  port->SetBaudRate(brCustom);
  port->SetCustomBaudRate(12345);
  port->SaveSettings(ssIniFile, ini);
  ASSERT_TRUE(f.Load(ini));
  EXPECT_EQ(f.ReadString("ComPort1", "CustomBaudRate", ""), "12345");
}

TEST_F(Store, AllGroupsRoundTrip) {
  port->SetStoredGroups(
      TStoredProps{spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers});
  port->SetPort("/dev/serial/by-id/usb-FTDI_A1-if00-port0");
  port->SetDiscardNull(true);
  port->Parity().SetCheck(true);
  port->Parity().SetReplaceChar(' ');
  port->Buffer().SetOutputSize(512);
  port->Timeouts().SetReadInterval(-1);
  port->Timeouts().SetWriteTotalConstant(250);
  port->FlowControl().SetControlDTR(dtrEnable);
  port->FlowControl().SetXonChar('A');
  port->SaveSettings(ssIniFile, ini);
  EXPECT_NE(ReadFile(ini).find("EventChar=#10\n"), std::string::npos);

  auto d = std::make_unique<TFakeComDevice>();
  TComPort other(nullptr, std::move(d));
  other.SetStoredGroups(port->StoredGroups());
  other.LoadSettings(ssIniFile, ini);
  EXPECT_EQ(other.Port(), port->Port());
  EXPECT_EQ(other.EventChar(), '\n');
  EXPECT_TRUE(other.DiscardNull());
  EXPECT_TRUE(other.Parity().Check());
  EXPECT_EQ(other.Parity().ReplaceChar(), ' ');
  EXPECT_EQ(other.Buffer().OutputSize(), 512);
  EXPECT_EQ(other.Buffer().InputSize(), 2048);
  EXPECT_EQ(other.Timeouts().ReadInterval(), -1);
  EXPECT_EQ(other.Timeouts().WriteTotalConstant(), 250);
  EXPECT_EQ(other.FlowControl().ControlDTR(), dtrEnable);
  EXPECT_EQ(other.FlowControl().XonChar(), 'A');
}

TEST_F(Store, MissingGarbageOrBinaryFilesChangeNothing) {
  port->LoadSettings(ssIniFile, dir + "/absent.ini");
  EXPECT_EQ(port->BaudRate(), br57600);

  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
  for (const std::string& junk :
       {binary, std::string("[ComPort1\n=\n[]\nPort\n==x\nBaudRate==\n\0\0[ComPort1]\0=1", 42),
        std::string("[ComPort1]\nBuffer.InputSize=zzz\nDataBits=\n")}) {
    WriteFile(ini, junk);
    port->SetStoredGroups(TStoredProps{spBasic, spBuffer});
    port->LoadSettings(ssIniFile, ini);
    EXPECT_EQ(port->Port(), "COM1");
    EXPECT_EQ(port->BaudRate(), br57600);
    EXPECT_EQ(port->Buffer().InputSize(), 2048);
  }
  // An empty value is a value: it reads by the table's fallback.
  EXPECT_EQ(port->DataBits(), dbEight);
}

TEST_F(Store, FailuresReportCodesAndNeverDamageTheFile) {
  // Saving into a path whose directory is a file fails cleanly.
  WriteFile(dir + "/plain", "x");
  EXPECT_EQ(Code([&] { port->SaveSettings(ssIniFile, dir + "/plain/quilex.ini"); }),
            CError_StoreFailed);
  EXPECT_EQ(Code([&] { port->SaveSettings(ssRegistry, "HKEY_CURRENT_USER\\Software"); }),
            CError_StoreFailed);
  EXPECT_EQ(Code([&] { port->LoadSettings(ssRegistry, "HKEY_CURRENT_USER\\Software"); }),
            CError_LoadFailed);
  EXPECT_EQ(port->BaudRate(), br57600);

  if (geteuid() != 0) {
    const std::string before = "[ComPort1]\nPort=COM4\n";
    WriteFile(ini, before);
    chmod(dir.c_str(), 0500);
    EXPECT_EQ(Code([&] { port->SaveSettings(ssIniFile, ini); }), CError_StoreFailed);
    chmod(dir.c_str(), 0700);
    EXPECT_EQ(ReadFile(ini), before);
  }

  // A settings failure while loading into an open port: code 17, and the
  // port is not left holding back its settings.
  WriteFile(ini, "[ComPort1]\nDataBits=7\n");
  port->Open();
  dev->stateError = EINVAL;
  EXPECT_EQ(Code([&] { port->LoadSettings(ssIniFile, ini); }), CError_LoadFailed);
  dev->stateError = 0;
  dev->ClearCalls();
  port->SetDataBits(dbSix);
  EXPECT_EQ(dev->Count("SetCommState"), 1);
}

TEST(ProfileFile, LookupAndWriteRules) {
  TIniFile f;
  f.Parse("[A]\r\nkey = \"  spaced  \"\r\nk2=v\r\n[a]\r\nkey=second\r\n");
  EXPECT_EQ(f.ReadString("a", "KEY", "d"), "  spaced  ");  // first section wins
  EXPECT_EQ(f.ReadString("A", "none", "d"), "d");
  f.WriteString("A", "Line", "one\ntwo");  // cannot inject a line
  EXPECT_EQ(f.ReadString("A", "Line", ""), "one two");
  EXPECT_EQ(f.Text(), "[A]\nkey = \"  spaced  \"\nk2=v\nLine=one two\n[a]\nkey=second\n");
  // Values that reading would trim or unquote are written quoted.
  for (const std::string v : {"  padded ", "\"q\"", "'", ""}) {
    f.WriteString("B", "v", v);
    TIniFile g;
    g.Parse(f.Text());
    EXPECT_EQ(g.ReadString("b", "V", "d"), v);
  }
  // A lone carriage return ends a line too.
  f.Parse("[C]\rPort=a\rx=1");
  EXPECT_EQ(f.ReadString("C", "Port", ""), "a");
}

TEST(PortList, ListsRealSerialDevicesSortedAsText) {
  const std::string root = ::testing::TempDir() + "qxenum" + std::to_string(getpid());
  fs::remove_all(root);
  auto tty = [&](const std::string& name, const std::string& driver, const char* type) {
    fs::create_directories(root + "/sys/class/tty/" + name);
    if (!driver.empty()) {
      fs::create_directories(root + "/sys/devices/" + name);
      fs::create_directories(root + "/sys/bus/drivers/" + driver);
      fs::create_directory_symlink(root + "/sys/devices/" + name,
                                   root + "/sys/class/tty/" + name + "/device");
      fs::create_directory_symlink(root + "/sys/bus/drivers/" + driver,
                                   root + "/sys/devices/" + name + "/driver");
    }
    if (type) WriteFile(root + "/sys/class/tty/" + name + "/type", type);
    fs::create_directories(root + "/dev");
    WriteFile(root + "/dev/" + name, "");
  };
  tty("ttyS0", "serial8250", "4\n");
  tty("ttyS1", "serial8250", "0\n");  // a slot without a UART
  tty("ttyS10", "serial8250", "4\n");
  tty("ttyUSB0", "ftdi_sio", nullptr);
  tty("tty1", "", nullptr);  // a console: no driver link
  fs::create_directories(root + "/dev/serial/by-id");
  fs::create_symlink("../../ttyUSB0", root + "/dev/serial/by-id/usb-FTDI_A1-if00-port0");

  std::vector<std::string> list{"stale"};
  EnumPortsIn(root, list);
  EXPECT_EQ(list, (std::vector<std::string>{"/dev/serial/by-id/usb-FTDI_A1-if00-port0", "COM1",
                                            "COM11", "ttyUSB0"}));
  EnumPortsIn(root + "/nowhere", list);
  EXPECT_TRUE(list.empty());
  fs::remove_all(root);

  EXPECT_EQ(PortDevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(PortDevicePath("com12"), "/dev/ttyS11");
  EXPECT_EQ(PortDevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(PortDevicePath("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(PortDevicePath("COM"), "/dev/COM");
}

}  // namespace
