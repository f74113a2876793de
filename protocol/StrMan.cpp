// The splitting shared by every token call, and the one string manager.
#include "protocol/StrMan.h"

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

// Shared by SplitToken and SplitAtChars: find gives the delimiter position
// (npos when absent), len the number of characters it covers.
template <typename Find>
void SplitWith(std::string& text, std::string& token, bool skipLeading, size_t len, Find find) {
  size_t pos = find(text);
  if (pos == 0 && skipLeading) {
    text.erase(0, len);
    pos = find(text);
  }
  if (pos == std::string::npos) {
    token = text;
    text.clear();
    return;
  }
  token = text.substr(0, pos);
  text.erase(0, pos + len);
}

}  // namespace

int TStringManager::CountChars(const std::string& text, const std::string& chars) const {
  int n = 0;
  for (char c : text)
    if (chars.find(c) != std::string::npos) ++n;
  return n;
}

void TStringManager::SplitToken(std::string& text, const std::string& delimiter, std::string& token,
                                bool skipLeading) const {
  // An empty delimiter occurs nowhere.
  SplitWith(text, token, skipLeading, delimiter.size(), [&](const std::string& t) {
    return delimiter.empty() ? std::string::npos : t.find(delimiter);
  });
}

void TStringManager::SplitAtChars(std::string& text, const std::string& chars, std::string& token,
                                  bool skipLeading) const {
  SplitWith(text, token, skipLeading, 1, [&](const std::string& t) {
    return chars.empty() ? std::string::npos : t.find_first_of(chars);
  });
}

std::string TStringManager::StripPrefix(const std::string& text, const std::string& prefix) const {
  if (text.compare(0, prefix.size(), prefix) == 0) return text.substr(prefix.size());
  return text;
}

std::string TStringManager::NormalizeSpaces(const std::string& text) const {
  std::string out;
  out.reserve(text.size());
  bool pendingBlank = false;
  for (char c : text) {
    if (IsBlank(c)) {
      pendingBlank = !out.empty();
      continue;
    }
    if (pendingBlank) out += ' ';
    pendingBlank = false;
    out += c;
  }
  return out;
}

TStringManager& StringManager() {
  static TStringManager instance;
  return instance;
}
