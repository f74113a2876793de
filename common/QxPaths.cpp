// The configuration directory as Qt reports it, so tests that move it (with
// XDG_CONFIG_HOME or Qt's test mode) move every file with it.
#include "common/QxPaths.h"

#include <QStandardPaths>
#include <QString>

std::string UserConfigFilePath(const std::string& name) {
  const QString dir = QStandardPaths::writableLocation(QStandardPaths::ConfigLocation);
  if (dir.isEmpty()) return name;
  return dir.toStdString() + "/" + name;
}

std::string QuilexIniPath() {
  return UserConfigFilePath("quilex.ini");
}
