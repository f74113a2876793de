#pragma once
// "DevList": one row per device of the last bus scan with its address and
// the identity texts it reports. Filled on demand with live queries.
#include <QString>
#include <QWidget>

class QTableWidget;
class TOEMData;

class TDevList : public QWidget {
  Q_OBJECT
 public:
  explicit TDevList(QWidget* parent = nullptr);

  // The bus object of the last fill; not owned.
  TOEMData* Bus = nullptr;
  // The grid; its header is row 0 of the list.
  QTableWidget* StringGrid1;

  void FormCreate();
  // Refills the rows from the bus's devices, querying each device's name,
  // serial number and firmware revision. With no device the grid is left as
  // it is; the first failing query ends the fill quietly, keeping what was
  // written until then.
  void FillList(TOEMData* bus);

  // The grid seen as rows and columns, header row included.
  int RowCount() const;
  QString Cells(int col, int row) const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void SetCell(int col, int row, const QString& text);
};
