#include "host/networksetup_output.h"

#include <algorithm>
#include <cstdint>

#include "host/host_backend.h"

namespace zelvo::host {

namespace {

std::string_view trimSpacesAndTabs(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string asciiLower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return out;
}

}  // namespace

bool isValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

std::vector<std::string> parseNetworkServiceList(std::string_view rest) {
  std::vector<std::string> services;
  while (!rest.empty()) {
    const size_t nl = rest.find('\n');
    std::string_view piece = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    piece = trimSpacesAndTabs(piece);
    if (piece.empty() || piece.front() == '*') continue;  // "*" marks a disabled service
    if (asciiLower(piece.substr(0, 11)) == "an asterisk") continue;  // the header line
    services.emplace_back(piece);
  }
  return services;
}

bool showsEnabledLocalWebProxy(std::string_view text) {
  // The server is one line among a few; none of the others can name a host.
  return text.find("Enabled: Yes") != std::string_view::npos && namesThisMachine(text);
}

}  // namespace zelvo::host
