// The device list window: header, one row per device, live identity queries,
// shrinking after a rescan, and partial rows when a query fails.
#include <QHeaderView>
#include <QTableWidget>

#include "tests/app/dialog_fixture.h"

namespace {

using DevListTest = TAppFixture;

QStringList Row(const TDevList& l, int r) {
  QStringList out;
  for (int c = 0; c < 5; ++c) out << l.Cells(c, r);
  return out;
}

TEST_F(DevListTest, StartsWithHeaderAndSevenEmptyRows) {
  EXPECT_EQ(DevList->windowTitle(), "DevList");
  EXPECT_EQ(DevList->RowCount(), 8);
  EXPECT_EQ(Row(*DevList, 0), (QStringList{"Nr.", "Addr.", "Device", "Serial", "Firmw.-Rev."}));
  for (int r = 1; r < 8; ++r) EXPECT_EQ(Row(*DevList, r).join(""), "") << r;
  const int widths[] = {28, 30, 81, 49, 64};
  for (int c = 0; c < 5; ++c) EXPECT_EQ(DevList->StringGrid1->columnWidth(c), widths[c]);
  EXPECT_EQ(DevList->StringGrid1->editTriggers(), QAbstractItemView::NoEditTriggers);

  // No device yet: the button shows the window and leaves the grid alone.
  MainWin->Button3Click();
  EXPECT_TRUE(DevList->isVisible());
  EXPECT_EQ(DevList->RowCount(), 8);
  EXPECT_EQ(DevList->Bus, OEMData);
}

TEST_F(DevListTest, OneRowPerDeviceQueriedLiveAtEveryPress) {
  TSimDevice& a = Port->Bus.AddDevice(3, 2, 10, "T-200");
  a.SerialNumber = "SN0815";
  a.Firmware = "1.07";
  Port->Bus.AddDevice(7, 1, 100, "T-100");
  Connect();

  MainWin->Button3Click();
  EXPECT_EQ(DevList->RowCount(), 3);  // devices, not channels
  EXPECT_EQ(Row(*DevList, 1), (QStringList{"1", "3", "T-200", "SN0815", "1.07"}));
  EXPECT_EQ(Row(*DevList, 2).mid(0, 3), (QStringList{"2", "7", "T-100"}));
  EXPECT_EQ(Frames(Port->Bus), (std::vector<std::string>{"A03 ?40", "A03 ?41", "A03 ?42", "A07 ?40",
                                                         "A07 ?41", "A07 ?42"}));
  // Pressed again: asked again, not cached.
  MainWin->Button3Click();
  EXPECT_EQ(CountFrame(Port->Bus, "A03 ?40"), 2);
  EXPECT_EQ(CountFrame(Port->Bus, "A07 ?42"), 2);

  // A reconnect that finds fewer devices shrinks the list at the next press.
  Port->Bus.RemoveDevice(3);
  Connect();
  MainWin->Button3Click();
  EXPECT_EQ(DevList->RowCount(), 2);
  EXPECT_EQ(Row(*DevList, 1).mid(0, 3), (QStringList{"1", "7", "T-100"}));
}

TEST_F(DevListTest, FailingQueryEndsTheFillQuietlyKeepingWhatWasWritten) {
  Port->Bus.AddDevice(3, 1, 10, "AAA");
  TSimDevice& b = Port->Bus.AddDevice(7, 1, 10, "BBB");
  Connect();
  DevList->FillList(OEMData);
  ASSERT_EQ(Row(*DevList, 2).mid(0, 3), (QStringList{"2", "7", "BBB"}));

  Port->Bus.Device(3)->Name = "NEW";
  b.Faults.NonHex = true;  // identity reply that is not character codes
  Port->Bus.Written.clear();
  DevList->FillList(OEMData);
  EXPECT_TRUE(Messages.empty());
  EXPECT_EQ(Row(*DevList, 1).mid(0, 3), (QStringList{"1", "3", "NEW"}));
  EXPECT_EQ(Row(*DevList, 2).mid(0, 3), (QStringList{"2", "7", "BBB"}));  // kept
  EXPECT_EQ(CountFrame(Port->Bus, "A07 ?41"), 0);

  // An empty bus leaves the rows of the earlier fill.
  Port->Bus.Clear();
  Connect();
  ASSERT_TRUE(OEMData->Devices.empty());
  DevList->FillList(OEMData);
  EXPECT_EQ(DevList->RowCount(), 3);
  EXPECT_EQ(DevList->Cells(2, 1), "NEW");
}

}  // namespace
