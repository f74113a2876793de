// The device list's table: fixed design columns, filled row by row with
// the identity texts each device reports when asked.
#include "app/oem_devlist.h"

#include <QHeaderView>
#include <QTableWidget>
#include <algorithm>
#include <exception>

#include "protocol/OEMLib.h"

namespace {
constexpr int kColWidths[5] = {28, 30, 81, 49, 64};
constexpr int kRowHeight = 24;
constexpr int kDesignRows = 7;  // empty rows below the header until the first fill

// Identity texts are byte strings, one character per reported code.
QString Latin1(const std::string& s) {
  return QString::fromLatin1(s.data(), qsizetype(s.size()));
}
}  // namespace

TDevList::TDevList(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle("DevList");
  // 268 x 255 with the frame: taller on demand, never wider.
  resize(260, 228);
  setMaximumWidth(260);
  StringGrid1 = new QTableWidget(kDesignRows, 5, this);
  StringGrid1->setObjectName("StringGrid1");
  StringGrid1->verticalHeader()->hide();
  StringGrid1->verticalHeader()->setDefaultSectionSize(kRowHeight);
  StringGrid1->horizontalHeader()->setFixedHeight(kRowHeight);
  StringGrid1->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  StringGrid1->horizontalHeader()->setHighlightSections(false);
  StringGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // The narrow columns are sized for a small dialog font; with the desktop's
  // larger default the identity texts would be cut.
  QFont f = StringGrid1->font();
  f.setPointSizeF(std::min<qreal>(f.pointSizeF() > 0 ? f.pointSizeF() : 8.0, 8.0));
  StringGrid1->setFont(f);
  StringGrid1->horizontalHeader()->setFont(f);
  StringGrid1->setTextElideMode(Qt::ElideNone);
  StringGrid1->setStyleSheet(
      "QTableView::item { padding: 0px 2px; } QHeaderView::section { padding: 0px 2px; }");
  for (int c = 0; c < 5; ++c) StringGrid1->setColumnWidth(c, kColWidths[c]);
  FormCreate();
}

void TDevList::FormCreate() {
  StringGrid1->setHorizontalHeaderLabels({"Nr.", "Addr.", "Device", "Serial", "Firmw.-Rev."});
}

void TDevList::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  StringGrid1->setGeometry(rect());
}

int TDevList::RowCount() const {
  return StringGrid1->rowCount() + 1;
}

QString TDevList::Cells(int col, int row) const {
  if (col < 0 || col >= StringGrid1->columnCount() || row < 0 || row >= RowCount()) return {};
  if (row == 0) {
    const QTableWidgetItem* h = StringGrid1->horizontalHeaderItem(col);
    return h ? h->text() : QString();
  }
  const QTableWidgetItem* it = StringGrid1->item(row - 1, col);
  return it ? it->text() : QString();
}

void TDevList::SetCell(int col, int row, const QString& text) {
  auto* it = StringGrid1->item(row - 1, col);
  if (!it) {
    it = new QTableWidgetItem;
    StringGrid1->setItem(row - 1, col, it);
  }
  it->setText(text);
  it->setToolTip(text);  // the window cannot be widened; the tip shows a cut text whole
}

void TDevList::FillList(TOEMData* bus) {
  Bus = bus;
  if (!bus || bus->Devices.empty()) return;
  try {
    StringGrid1->setRowCount(int(bus->Devices.size()));
    int row = 1;
    for (auto& dev : bus->Devices) {
      SetCell(0, row, QString::number(row));
      SetCell(1, row, QString::number(dev->Address));
      // Live queries, asked again at every fill: a device may have been
      // swapped for another at the same address.
      SetCell(2, row, Latin1(dev->GetDeviceName()));
      SetCell(3, row, Latin1(dev->GetSerialNumber()));
      SetCell(4, row, Latin1(dev->GetFirmwareRevision()));
      ++row;
    }
  } catch (const std::exception&) {
    // An identity reply that is not a list of character codes, or a port
    // failure: the list shows what it got so far.
  }
}
