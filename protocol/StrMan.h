#pragma once
// Token work on reply text: splitting, prefix stripping, blank folding and
// character counting. Positions and results follow the byte text as sent by
// the devices; nothing here is locale dependent.
#include <string>

class TStringManager {
 public:
  // Number of characters of text that occur in chars.
  int CountChars(const std::string& text, const std::string& chars) const;
  // Cut text at the first delimiter: token = the part before it, text = the
  // part after it (the delimiter is dropped). With skipLeading one delimiter
  // at the very start is removed first. Without a delimiter the whole text
  // becomes the token and text is emptied.
  void SplitToken(std::string& text, const std::string& delimiter, std::string& token,
                  bool skipLeading) const;
  // The same, but any single character of chars is a delimiter.
  void SplitAtChars(std::string& text, const std::string& chars, std::string& token,
                    bool skipLeading) const;
  // text without prefix when it starts with it, else text unchanged.
  std::string StripPrefix(const std::string& text, const std::string& prefix) const;
  // Trim control characters and blanks (codes 0..32) at both ends and fold
  // every inner run of them into one space.
  std::string NormalizeSpaces(const std::string& text) const;
};

// The one instance the whole program shares.
TStringManager& StringManager();
