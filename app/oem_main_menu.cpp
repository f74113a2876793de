// The device command menu of the channel panels and the "Device List" button:
// each command asks the device, shows its dialog and sends what was chosen.
#include <QString>
#include <cmath>

#include "app/oem_analog.h"
#include "app/oem_averaging.h"
#include "app/oem_calib.h"
#include "app/oem_calibnr.h"
#include "app/oem_devlist.h"
#include "app/oem_main.h"
#include "common/QxClock.h"
#include "protocol/OEMLib.h"

namespace {

// The device needs a moment to store a new offset before it is asked again.
constexpr int kOffsetSettleMs = 300;

// Nearest integer, halves to the even neighbour, independent of the FPU's
// current rounding mode.
double RoundHalfEven(double x) {
  const double f = std::floor(x);
  const double d = x - f;
  if (d > 0.5) return f + 1.0;
  if (d < 0.5) return f;
  return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

// Runs cmd for the channel whose panel the menu was opened on. Every index is
// compared, so a menu opened elsewhere matches none and does nothing.
template <class F>
void ForPopupChannel(TMain& m, F cmd) {
  if (!OEMData) return;
  for (int i = 0; i < OEMData->ChannelTotal; ++i) {
    if (i < int(m.Panels.size()) && m.PopupComponent && m.PopupComponent == m.Panels[size_t(i)])
      GuardedCall([&] { cmd(i); });
  }
}

}  // namespace

void TMain::OnePointCalibration1Click() {
  ForPopupChannel(*this, [](int i) {
    if (!Calibration || Calibration->exec() != QDialog::Accepted) return;
    TDeviceParam* dev = OEMData->ChannelDevice(i);
    if (!dev) return;
    const double scale = dev->GetScale();
    const double wanted = RoundHalfEven(scale * Calibration->TargetTemperature);
    const double correction = wanted - double(dev->LastValue());
    // The device takes the correction as four hex digits; anything wider
    // would arrive as a different number and shift the channel wildly.
    if (!(correction >= -32768.0 && correction <= 32767.0)) {
      ShowMessageBox(TMsgKind::mkError,
                     QString("Correction out of range (-32768..32767): %1\nNothing was sent.")
                         .arg(correction, 0, 'g', 10));
      return;
    }
    dev->SendOffsetCorrection(int16_t(correction));
    Clock().Sleep(kOffsetSettleMs);
  });
}

void TMain::ResetCalibration1Click() {
  ForPopupChannel(*this, [](int i) {
    TDeviceParam* dev = OEMData->ChannelDevice(i);
    if (!dev) return;
    const int offset = dev->GetCalibrationOffset();
    // 16-bit two's complement on the line: -32768 and 32768 share the digits 8000.
    dev->SendOffsetCorrection(int16_t(uint16_t(-offset & 0xFFFF)));
    Clock().Sleep(kOffsetSettleMs);
  });
}

// The three device-wide settings look the device up again after the dialog:
// the first lookup's object is not kept across the modal wait.
void TMain::SetAnalogOutput1Click() {
  ForPopupChannel(*this, [](int i) {
    if (!Analog) return;
    TDeviceParam* dev = OEMData->ChannelDevice(i);
    if (!dev) return;
    int first = 0, second = 0;
    dev->GetAnalogLimits(first, second);
    Analog->MinTemp = first;
    Analog->MaxTemp = second;
    if (Analog->exec() != QDialog::Accepted) return;
    dev = OEMData->ChannelDevice(i);
    if (!dev) return;
    dev->SetAnalogLimits(int16_t(uint16_t(Analog->MinTemp & 0xFFFF)),
                         int16_t(uint16_t(Analog->MaxTemp & 0xFFFF)));
  });
}

void TMain::SelectCalibration1Click() {
  ForPopupChannel(*this, [](int i) {
    if (!CalibNr) return;
    TDeviceParam* dev = OEMData->ChannelDevice(i);
    if (!dev) return;
    CalibNr->CalibNr = uint8_t(dev->GetCalibrationNumber() & 0xFF);
    if (CalibNr->exec() != QDialog::Accepted) return;
    dev = OEMData->ChannelDevice(i);
    if (!dev) return;
    dev->SetCalibrationNumber(CalibNr->CalibNr);
  });
}

void TMain::SetAveraging1Click() {
  ForPopupChannel(*this, [](int i) {
    if (!SetAveraging) return;
    TDeviceParam* dev = OEMData->ChannelDevice(i);
    if (!dev) return;
    SetAveraging->AverageCount = dev->GetAveraging();
    if (SetAveraging->exec() != QDialog::Accepted) return;
    dev = OEMData->ChannelDevice(i);
    if (!dev) return;
    dev->SetAveraging(SetAveraging->AverageCount);
  });
}

void TMain::Button3Click() {
  if (!DevList) return;
  DevList->FillList(OEMData);
  DevList->show();
  DevList->raise();
  DevList->activateWindow();
}
