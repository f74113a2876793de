#pragma once
// The running test binary copied into a directory every user can read, so a
// child that dropped its privileges can start it wherever the build lives.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

inline std::string CopySelfTo(const std::string& dir) {
  const std::string target = dir + "/unprivileged-child";
  std::ifstream in("/proc/self/exe", std::ios::binary);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.close();
  if (!in || !out || ::chmod(target.c_str(), 0755) != 0) return std::string();
  return target;
}
