#pragma once
// Text conversion shared by the viewer window's source files: the log's bytes
// are in the local encoding, as the program writes them.
#include <QString>
#include <string>

namespace qxview {

inline QString Q(const std::string& s) {
  return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace qxview
