// Reading the file line by line, refusing one that cannot be settings, and
// replacing it through a temporary file, private once it holds a password.
#include "common/QxStationIni.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "common/QxPaths.h"

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

bool HasLineBreak(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// Larger files are not settings files.
constexpr size_t kMaxFileSize = 1 << 20;

}  // namespace

bool TStationIni::Load(const std::string& path) {
  return Load(path, std::cerr);
}

bool TStationIni::Load(const std::string& path, std::ostream& err) {
  path_ = path;
  rejected_ = false;
  sections_.clear();
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    if (errno == ENOENT || ::access(path.c_str(), F_OK) != 0) return true;
    err << path << ": cannot be read (" << std::strerror(errno)
        << "); the station settings start from their defaults\n";
    return false;
  }
  std::string data;
  {
    std::ostringstream ss;
    ss << f.rdbuf();
    data = ss.str();
  }
  auto refuse = [&](size_t lineNo, const char* what) {
    err << path << ": line " << lineNo << " " << what
        << "; the file is ignored and the station settings start from their defaults\n";
    sections_.clear();
    rejected_ = true;
    return false;
  };
  if (data.size() > kMaxFileSize) return refuse(1, "starts a file too large for settings");
  std::vector<TSection> parsed(1);
  size_t lineNo = 0, pos = 0;
  while (pos < data.size()) {
    size_t end = data.find('\n', pos);
    if (end == std::string::npos) end = data.size();
    std::string raw = data.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    while (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (raw.find('\0') != std::string::npos) return refuse(lineNo, "holds a NUL byte");
    const std::string t = Trim(raw);
    TLine line;
    line.Raw = raw;
    if (t.empty() || t[0] == ';' || t[0] == '#') {
      if (t.empty()) line.Raw.clear();
      parsed.back().Lines.push_back(line);
    } else if (t[0] == '[') {
      if (t.back() != ']' || t.size() < 3)
        return refuse(lineNo, "is neither a [section] nor a key=value line");
      TSection s;
      s.Name = Trim(t.substr(1, t.size() - 2));
      // A blank name would be written back as "[]", which no reader takes.
      if (s.Name.empty()) return refuse(lineNo, "is a [section] without a name");
      parsed.push_back(s);
    } else {
      const size_t eq = t.find('=');
      if (eq == std::string::npos || eq == 0)
        return refuse(lineNo, "is neither a [section] nor a key=value line");
      line.Entry = true;
      line.Key = Trim(t.substr(0, eq));
      line.Value = Trim(t.substr(eq + 1));
      if (line.Key.empty()) return refuse(lineNo, "has no key before '='");
      parsed.back().Lines.push_back(line);
    }
  }
  sections_ = std::move(parsed);
  return true;
}

const TStationIni::TLine* TStationIni::Find(const std::string& section,
                                            const std::string& key) const {
  for (const auto& s : sections_) {
    if (!SameName(s.Name, section)) continue;
    for (const auto& l : s.Lines)
      if (l.Entry && SameName(l.Key, key)) return &l;
  }
  return nullptr;
}

bool TStationIni::Has(const std::string& section, const std::string& key) const {
  return Find(section, key) != nullptr;
}

std::string TStationIni::Get(const std::string& section, const std::string& key,
                             const std::string& def) const {
  const TLine* l = Find(section, key);
  return l ? l->Value : def;
}

int TStationIni::GetInt(const std::string& section, const std::string& key, int def, int lo,
                        int hi) const {
  const TLine* l = Find(section, key);
  if (!l || l->Value.empty()) return def;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(l->Value.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return def;
  return int(v);
}

bool TStationIni::GetBool(const std::string& section, const std::string& key, bool def) const {
  const TLine* l = Find(section, key);
  if (!l) return def;
  const std::string v = Lower(l->Value);
  if (v == "1" || v == "yes" || v == "true" || v == "on") return true;
  if (v == "0" || v == "no" || v == "false" || v == "off") return false;
  return def;
}

bool TStationIni::Set(const std::string& section, const std::string& key,
                      const std::string& value) {
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
  if (Trim(key).empty() || key.find('=') != std::string::npos ||
      section.find(']') != std::string::npos)
    return false;
  TSection* target = nullptr;
  for (auto& s : sections_) {
    if (!SameName(s.Name, section)) continue;
    for (auto& l : s.Lines) {
      if (l.Entry && SameName(l.Key, key)) {
        l.Value = value;
        return true;
      }
    }
    if (!target) target = &s;
  }
  if (!target) {
    if (sections_.empty()) sections_.push_back(TSection{});
    TSection s;
    s.Name = section;
    sections_.push_back(s);
    target = &sections_.back();
  }
  TLine l;
  l.Entry = true;
  l.Key = key;
  l.Value = value;
  // New keys go after the section's last entry, before trailing blank lines.
  auto it = target->Lines.end();
  while (it != target->Lines.begin() && !(it - 1)->Entry && Trim((it - 1)->Raw).empty()) --it;
  target->Lines.insert(it, l);
  return true;
}

void TStationIni::SetInt(const std::string& section, const std::string& key, int value) {
  Set(section, key, std::to_string(value));
}

void TStationIni::SetBool(const std::string& section, const std::string& key, bool value) {
  Set(section, key, value ? "1" : "0");
}

std::string TStationIni::Text() const {
  std::string out;
  for (const auto& s : sections_) {
    if (!s.Name.empty() || &s != &sections_.front()) out += "[" + s.Name + "]\n";
    for (const auto& l : s.Lines) out += l.Entry ? l.Key + "=" + l.Value + "\n" : l.Raw + "\n";
  }
  return out;
}

bool TStationIni::HoldsSecret() const {
  for (const auto& s : sections_)
    for (const auto& l : s.Lines)
      if (l.Entry && SameName(l.Key, "Password") && !l.Value.empty()) return true;
  return false;
}

bool TStationIni::Save(std::string* error) {
  auto fail = [&](const std::string& what, int e) {
    if (error) *error = path_ + ": " + what + " (" + std::strerror(e) + ")";
    return false;
  };
  if (path_.empty()) {
    if (error) *error = "no settings file name";
    return false;
  }
  const size_t slash = path_.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
  if (slash != std::string::npos) ::mkdir(dir.c_str(), 0700);

  mode_t mode = 0644;
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) mode = st.st_mode & 0777;
  if (HoldsSecret()) mode &= 0600;

  if (rejected_ && ::access(path_.c_str(), F_OK) == 0) {
    const std::string bad = path_ + ".bad";
    if (::rename(path_.c_str(), bad.c_str()) != 0) return fail("cannot keep the old file", errno);
  }

  std::string tmpl = path_ + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());  // created 0600
  if (fd < 0) return fail("cannot create a temporary file", errno);
  auto abandon = [&](const char* what, int e) {
    ::close(fd);
    ::unlink(name.data());
    return fail(what, e);
  };
  const std::string data = Text();
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return abandon("cannot be written", n < 0 ? errno : ENOSPC);
    done += size_t(n);
  }
  if (::fchmod(fd, mode) != 0) return abandon("cannot set its mode", errno);
  if (::fsync(fd) != 0) return abandon("cannot be flushed", errno);
  if (::close(fd) != 0) {
    const int e = errno;
    ::unlink(name.data());
    return fail("cannot be closed", e);
  }
  if (::rename(name.data(), path_.c_str()) != 0) {
    const int e = errno;
    ::unlink(name.data());
    return fail("cannot be replaced", e);
  }
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  rejected_ = false;
  return true;
}

std::string StationIniPathBeside(const std::string& quilexIniPath) {
  const size_t slash = quilexIniPath.rfind('/');
  if (slash == std::string::npos) return "quilex-station.ini";
  return quilexIniPath.substr(0, slash + 1) + "quilex-station.ini";
}

std::string StationIniPath() {
  return StationIniPathBeside(QuilexIniPath());
}
