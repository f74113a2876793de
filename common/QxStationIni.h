#pragma once
// quilex-station.ini: the settings of the station's own features (publishing,
// reconnecting, ...), beside quilex.ini, which keeps only the port settings.
// Sections and key=value lines; keys are matched without regard to case.
// Whatever the program does not know (keys, sections, comments) is kept when
// the file is rewritten, so an older or newer program can share it.
#include <iosfwd>
#include <string>
#include <vector>

class TStationIni {
 public:
  // Reads the file. A missing file is an empty store. A file that is not made
  // of [section] and key=value lines (or holds NUL bytes) gives an empty store
  // too, so every setting takes its default, and `err` gets one line naming
  // the file and the first bad line. Returns false only for such a file or an
  // unreadable one.
  bool Load(const std::string& path, std::ostream& err);
  bool Load(const std::string& path);  // messages to stderr

  const std::string& Path() const { return path_; }
  void SetPath(const std::string& path) { path_ = path; }
  // The file was refused as garbage by the last Load.
  bool Rejected() const { return rejected_; }

  bool Has(const std::string& section, const std::string& key) const;
  std::string Get(const std::string& section, const std::string& key,
                  const std::string& def = std::string()) const;
  // Decimal integer within [lo, hi]; anything else gives def.
  int GetInt(const std::string& section, const std::string& key, int def, int lo, int hi) const;
  // 1/0 (also yes/no, true/false, on/off); anything else gives def.
  bool GetBool(const std::string& section, const std::string& key, bool def) const;

  // Sets a value, adding the section or key at its end when missing. Values
  // and keys with line breaks or NUL would add lines of their own to the
  // file: they are refused (false) and nothing changes.
  bool Set(const std::string& section, const std::string& key, const std::string& value);
  void SetInt(const std::string& section, const std::string& key, int value);
  void SetBool(const std::string& section, const std::string& key, bool value);

  // The file's text as Save writes it.
  std::string Text() const;
  // Writes the file atomically (a temporary file beside it, flushed, then
  // renamed over it). A file that holds a non-empty Password key is written
  // with mode 0600. A file refused by Load is kept as <path>.bad before it is
  // replaced. On failure the old file is untouched and `error` says why.
  bool Save(std::string* error = nullptr);

 private:
  struct TLine {
    bool Entry = false;  // key=value, else kept as it stood
    std::string Key, Value, Raw;
  };
  struct TSection {
    std::string Name;  // empty: lines before the first section
    std::vector<TLine> Lines;
  };
  const TLine* Find(const std::string& section, const std::string& key) const;
  bool HoldsSecret() const;

  std::string path_;
  bool rejected_ = false;
  std::vector<TSection> sections_;
};

// quilex-station.ini in the folder of the given quilex.ini path.
std::string StationIniPathBeside(const std::string& quilexIniPath);
// The program's quilex-station.ini, beside its quilex.ini.
std::string StationIniPath();
