#pragma once
// A small profile file (sections of key=value lines). Look-ups ignore case;
// lines it does not touch (other sections, unknown keys, comments) are kept
// as they were; a new key goes to the end of its section. Saving replaces the
// file in one step, so a crash or a full disk leaves either the old or the
// new file, never a truncated one.
#include <string>
#include <vector>

class TIniFile {
 public:
  // A missing file reads as empty. Returns false (with errno in *err) only
  // when an existing file cannot be read.
  bool Load(const std::string& path, int* err = nullptr);
  void Parse(const std::string& content);
  std::string Text() const;

  bool HasKey(const std::string& section, const std::string& key) const;
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);

  // Writes a temporary file beside path, flushes it to disk and renames it
  // over path. On failure path is untouched; returns false with errno.
  bool Save(const std::string& path, int* err = nullptr) const;

 private:
  // Index of the section header line, or -1.
  int FindSection(const std::string& section) const;
  // Index of the key's line within the section starting at sec, or -1.
  int FindKey(int sec, const std::string& key) const;
  std::vector<std::string> lines_;
};
