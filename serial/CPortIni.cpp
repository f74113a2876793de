// The profile file behind the port settings store, and where a bare file
// name of it lives.
#include "serial/CPortIni.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/QxPaths.h"
#include "serial/CPort.h"

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// "[name]" -> name; false for any other line.
bool SectionName(const std::string& line, std::string& name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t[0] != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  name = Trim(t.substr(1, close - 1));
  return true;
}

bool KeyOf(const std::string& line, std::string& key) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '[') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  key = Trim(t.substr(0, eq));
  return true;
}

// A value must stay on its line.
std::string OneLine(const std::string& v) {
  std::string r = v;
  for (char& c : r)
    if (c == '\n' || c == '\r') c = ' ';
  return r;
}

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

// Quoted when reading would otherwise trim or unquote it.
std::string ValueText(const std::string& v) {
  const std::string r = OneLine(v);
  if (r.empty()) return r;
  const bool quoted =
      r.size() >= 2 && (r.front() == '"' || r.front() == '\'') && r.back() == r.front();
  if (Blank(r.front()) || Blank(r.back()) || quoted) return "\"" + r + "\"";
  return r;
}

}  // namespace

bool TIniFile::Load(const std::string& path, int* err) {
  lines_.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    int e = errno;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
    if (err) *err = e ? e : EIO;
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) {
    if (err) *err = EIO;
    return false;
  }
  Parse(ss.str());
  return true;
}

void TIniFile::Parse(const std::string& content) {
  lines_.clear();
  // Lines end in LF, CR LF or a lone CR; no value ever holds a line break.
  std::string line;
  bool any = false;
  for (size_t i = 0; i < content.size(); ++i) {
    const char c = content[i];
    if (c == '\n' || c == '\r') {
      lines_.push_back(line);
      line.clear();
      any = false;
      if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
    } else {
      line += c;
      any = true;
    }
  }
  if (any) lines_.push_back(line);
}

std::string TIniFile::Text() const {
  std::string r;
  for (const auto& l : lines_) r += l + "\n";
  return r;
}

int TIniFile::FindSection(const std::string& section) const {
  std::string name;
  for (size_t i = 0; i < lines_.size(); ++i)
    if (SectionName(lines_[i], name) && SameText(name, section)) return static_cast<int>(i);
  return -1;
}

int TIniFile::FindKey(int sec, const std::string& key) const {
  std::string name;
  for (size_t i = static_cast<size_t>(sec) + 1; i < lines_.size(); ++i) {
    if (SectionName(lines_[i], name)) break;
    if (KeyOf(lines_[i], name) && SameText(name, key)) return static_cast<int>(i);
  }
  return -1;
}

bool TIniFile::HasKey(const std::string& section, const std::string& key) const {
  int sec = FindSection(section);
  return sec >= 0 && FindKey(sec, key) >= 0;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  int sec = FindSection(section);
  if (sec < 0) return def;
  int k = FindKey(sec, key);
  if (k < 0) return def;
  const std::string& line = lines_[static_cast<size_t>(k)];
  std::string v = Trim(line.substr(line.find('=') + 1));
  // A value may be quoted to keep its outer blanks.
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return v;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  const std::string line = OneLine(key) + "=" + ValueText(value);
  int sec = FindSection(section);
  if (sec < 0) {
    if (!lines_.empty() && !Trim(lines_.back()).empty()) lines_.push_back("");
    lines_.push_back("[" + OneLine(section) + "]");
    lines_.push_back(line);
    return;
  }
  int k = FindKey(sec, key);
  if (k >= 0) {
    lines_[static_cast<size_t>(k)] = line;
    return;
  }
  // After the section's last non-blank line.
  size_t last = static_cast<size_t>(sec);
  std::string name;
  for (size_t i = last + 1; i < lines_.size(); ++i) {
    if (SectionName(lines_[i], name)) break;
    if (!Trim(lines_[i]).empty()) last = i;
  }
  lines_.insert(lines_.begin() + static_cast<long>(last) + 1, line);
}

bool TIniFile::Save(const std::string& path, int* err) const {
  namespace fs = std::filesystem;
  auto fail = [err](int e) {
    if (err) *err = e;
    return false;
  };
  std::string target = path;
  // Replace what a link points at, not the link.
  struct stat lst;
  if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) target = buf;
  }
  fs::path dir = fs::path(target).parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  fs::create_directories(dir, ec);
  mode_t mode = 0644;
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;

  std::string tmpl = (dir / (fs::path(target).filename().string() + ".XXXXXX")).string();
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) return fail(errno);
  auto abandon = [&](int e) {
    ::close(fd);
    ::unlink(name.data());
    return fail(e);
  };
  const std::string data = Text();
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(errno);
    }
    done += static_cast<size_t>(n);
  }
  if (::fchmod(fd, mode) != 0) return abandon(errno);
  if (::fsync(fd) != 0) return abandon(errno);
  if (::close(fd) != 0) {
    int e = errno;
    ::unlink(name.data());
    return fail(e);
  }
  if (::rename(name.data(), target.c_str()) != 0) {
    int e = errno;
    ::unlink(name.data());
    return fail(e);
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

std::string ProfileFilePath(const std::string& location) {
  if (location.find('/') != std::string::npos) return location;
  return UserConfigFilePath(location);
}
