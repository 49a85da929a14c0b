// The start, stop and reload requests, and the port parsing that keeps the
// status record's ports in step with the configuration the client sends.
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "platform/log.h"
#include "service/helper.h"

namespace zelvo {

namespace {

std::string describe(const std::exception& e) {
  if (const auto* err = dynamic_cast<const platform::Error*>(&e)) {
    return err->localizedDescription();
  }
  return e.what();
}

// Decodes the UTF-8 sequence at text[i] into `*cp` and returns its length;
// a byte that does not start a well-formed sequence stands for one U+FFFD,
// as a lenient decoder would show it. No allocation: configurations run to
// megabytes and are counted on every start.
size_t decodeAt(std::string_view text, size_t i, char32_t* cp) {
  const auto c = static_cast<unsigned char>(text[i]);
  const size_t len = c < 0x80           ? 1
                     : (c >> 5) == 0x6  ? 2
                     : (c >> 4) == 0xE  ? 3
                     : (c >> 3) == 0x1E ? 4
                                        : 0;
  char32_t value = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  bool valid = len > 0 && i + len <= text.size();
  for (size_t k = 1; valid && k < len; ++k) {
    const auto cc = static_cast<unsigned char>(text[i + k]);
    valid = (cc & 0xC0) == 0x80;
    value = (value << 6) | (cc & 0x3F);
  }
  *cp = valid ? value : 0xFFFD;
  return valid ? len : 1;
}

bool inRanges(char32_t cp, std::initializer_list<std::pair<char32_t, char32_t>> ranges) {
  for (const auto& [lo, hi] : ranges) {
    if (cp >= lo && cp <= hi) return true;
  }
  return false;
}

// Marks that attach to the character before them.
bool isExtend(char32_t cp) {
  return inRanges(cp,
                  {{0x0300, 0x036F}, {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x0610, 0x061A},
                   {0x064B, 0x065F}, {0x0670, 0x0670},   {0x06D6, 0x06DC},   {0x06DF, 0x06E4},
                   {0x0900, 0x0903}, {0x093A, 0x094F},   {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},
                   {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x200C, 0x200C},
                   {0x20D0, 0x20FF}, {0x302A, 0x302F},   {0x3099, 0x309A},   {0xFE00, 0xFE0F},
                   {0xFE20, 0xFE2F}, {0x1F3FB, 0x1F3FF}, {0xE0020, 0xE007F}, {0xE0100, 0xE01EF}});
}

bool isPictographic(char32_t cp) {
  return inRanges(cp, {{0x00A9, 0x00A9},
                       {0x00AE, 0x00AE},
                       {0x203C, 0x203C},
                       {0x2049, 0x2049},
                       {0x2122, 0x2122},
                       {0x2139, 0x2139},
                       {0x2194, 0x21AA},
                       {0x2300, 0x23FF},
                       {0x2600, 0x27BF},
                       {0x2B00, 0x2BFF},
                       {0x3030, 0x3030},
                       {0x303D, 0x303D},
                       {0x3297, 0x3297},
                       {0x3299, 0x3299},
                       {0x1F000, 0x1F1E5},
                       {0x1F200, 0x1FAFF}});
}

bool isRegionalIndicator(char32_t cp) {
  return cp >= 0x1F1E6 && cp <= 0x1F1FF;
}
bool isControl(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
}

// The length the client's own string type reports: user-perceived characters
// (extended grapheme clusters). CR LF is one character, marks, variation
// selectors and skin tones join their base, emoji joined by ZWJ and flag
// pairs count once. Configurations name proxies with flags and emoji, so
// those matter; exotic scripts are approximated.
size_t characterCount(const std::string& text) {
  size_t count = 0;
  char32_t prev = 0;
  bool first = true;
  bool pictRun = false;       // inside "pictograph Extend*"
  bool zwjAfterPict = false;  // the previous was a ZWJ that follows such a run
  size_t regionalRun = 0;     // regional indicators in a row
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    i += decodeAt(text, i, &cp);
    if (cp < 0x80) {  // most of any configuration: only LF after CR joins
      if (first || prev != U'\r' || cp != U'\n') ++count;
      pictRun = zwjAfterPict = false;
      regionalRun = 0;
      prev = cp;
      first = false;
      continue;
    }
    bool joins = false;
    if (!first) {
      // The rules apply in this order, so equal outcomes stay apart.
      if (prev == U'\r' && cp == U'\n') {  // NOLINT(bugprone-branch-clone)
        joins = true;
      } else if (isControl(prev) || isControl(cp)) {
        joins = false;
      } else if (isExtend(cp) || cp == 0x200D) {
        joins = true;
      } else if (zwjAfterPict && isPictographic(cp)) {
        joins = true;
      } else if (isRegionalIndicator(prev) && isRegionalIndicator(cp) && regionalRun % 2 == 1) {
        joins = true;
      }
    }
    if (!joins) ++count;

    zwjAfterPict = cp == 0x200D && pictRun;
    if (isPictographic(cp)) {
      pictRun = true;
    } else if (!isExtend(cp)) {
      pictRun = false;
    }
    regionalRun = isRegionalIndicator(cp) ? regionalRun + 1 : 0;
    prev = cp;
    first = false;
  }
  return count;
}

// The pattern's \s: tab, line feed, form feed, carriage return and every
// Unicode space separator, line separator and paragraph separator. Returns the
// byte length of the white-space character at `p`, or 0.
size_t whiteSpaceAt(const std::string& text, size_t p) {
  const auto at = [&](size_t k) {
    return p + k < text.size() ? static_cast<unsigned char>(text[p + k]) : 0;
  };
  const unsigned char c = at(0);
  if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ') return 1;
  if (c == 0xC2 && at(1) == 0xA0) return 2;                   // U+00A0
  if (c == 0xE1 && at(1) == 0x9A && at(2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && at(1) == 0x80) {                           // U+2000..200A, 2028, 2029, 202F
    const unsigned char t = at(2);
    if ((t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF) return 3;
  }
  if (c == 0xE2 && at(1) == 0x81 && at(2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && at(1) == 0x80 && at(2) == 0x80) return 3;  // U+3000
  return 0;
}

// Where a line may begin in multi-line mode: after LF, VT, FF, CR, NEL,
// LINE SEPARATOR or PARAGRAPH SEPARATOR. Returns the position after the next
// terminator at or after `from`, or npos.
size_t nextLineStart(const std::string& text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x0A && c <= 0x0D) return i + 1;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      return i + 2;
    }
    if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
        (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
         static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      return i + 3;
    }
  }
  return std::string::npos;
}

// The pattern's \d: a decimal digit of any script. Returns the byte length
// of the digit at `p` (0 when there is none) and whether it is an ASCII one.
size_t digitAt(const std::string& text, size_t p, bool* ascii) {
  const auto c = static_cast<unsigned char>(text[p]);
  if (c >= '0' && c <= '9') {
    *ascii = true;
    return 1;
  }
  *ascii = false;
  if (c < 0xC0) return 0;
  const size_t len = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || p + len > text.size()) return 0;
  char32_t cp = 0;
  if (decodeAt(text, p, &cp) != len) return 0;
  // First code point of each block of ten decimal digits (Unicode Nd).
  static constexpr char32_t kZeros[] = {
      0x0660,  0x06F0,  0x07C0,  0x0966,  0x09E6,  0x0A66,  0x0AE6,  0x0B66,  0x0BE6,
      0x0C66,  0x0CE6,  0x0D66,  0x0DE6,  0x0E50,  0x0ED0,  0x0F20,  0x1040,  0x1090,
      0x17E0,  0x1810,  0x1946,  0x19D0,  0x1A80,  0x1A90,  0x1B50,  0x1BB0,  0x1C40,
      0x1C50,  0xA620,  0xA8D0,  0xA900,  0xA9D0,  0xA9F0,  0xAA50,  0xABF0,  0xFF10,
      0x104A0, 0x10D30, 0x11066, 0x110F0, 0x11136, 0x111D0, 0x112F0, 0x11450, 0x114D0,
      0x11650, 0x116C0, 0x11730, 0x118E0, 0x11950, 0x11C50, 0x11D50, 0x11DA0, 0x11F50,
      0x16A60, 0x16AC0, 0x16B50, 0x1E140, 0x1E2F0, 0x1E4F0, 0x1E950, 0x1FBF0};
  for (const char32_t zero : kZeros) {
    if (cp >= zero && cp < zero + 10) return len;
  }
  if (cp >= 0x1D7CE && cp <= 0x1D7FF) return len;  // mathematical digits
  return 0;
}

// The first match of (?m)^\s*mixed-port:\s*(\d+) in the text, as its digits;
// nothing when there is none. `allAscii` tells whether every digit is an
// ASCII one (only those make a number). Written out by hand because the
// multi-line anchor and the Unicode classes decide the match, and they must
// behave the same with every standard library.
std::optional<std::string> findMixedPort(const std::string& text, bool* allAscii) {
  static const std::string key = "mixed-port:";
  for (size_t lineStart = 0, next = 0; next != std::string::npos; lineStart = next) {
    size_t p = lineStart;
    while (size_t n = whiteSpaceAt(text, p)) p += n;
    // Every line that starts inside that run of white space runs on to the
    // same `p`, with the same outcome: trying each would take quadratic time
    // over a run of blank lines.
    next = nextLineStart(text, p);
    if (text.compare(p, key.size(), key) != 0) continue;
    p += key.size();
    while (size_t n = whiteSpaceAt(text, p)) p += n;
    size_t end = p;
    *allAscii = true;
    bool ascii = true;
    while (end < text.size()) {
      const size_t n = digitAt(text, end, &ascii);
      if (n == 0) break;
      *allAscii = *allAscii && ascii;
      end += n;
    }
    if (end > p) return text.substr(p, end - p);
  }
  return std::nullopt;
}

std::optional<int64_t> parseInt64(const std::string& digits) {
  int64_t value = 0;
  for (char c : digits) {
    const int d = c - '0';
    if (value > (INT64_MAX - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  return value;
}

std::optional<int64_t> jsonInteger(const nlohmann::json& v) {
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
      return std::nullopt;
    }
    return v.get<int64_t>();
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (d >= -9.2e18 && d <= 9.2e18 && static_cast<double>(static_cast<int64_t>(d)) == d) {
      return static_cast<int64_t>(d);
    }
  }
  return std::nullopt;
}

}  // namespace

void Helper::parsePortsFromConfig(const std::string& config) {
  bool allAscii = true;
  if (const auto digits = findMixedPort(config, &allAscii)) {
    // Digits of another script match the pattern but make no number; then
    // the JSON form decides, as for a number too large to hold.
    if (const auto port = allAscii ? parseInt64(*digits) : std::nullopt) {
      cachedHttpPort_ = *port;
      cachedSocksPort_ = *port;
      log("Parsed mixed-port: " + std::to_string(*port));
      return;
    }
  }

  nlohmann::json root;
  try {
    root = nlohmann::json::parse(config);
  } catch (const std::exception&) {
    return;
  }
  if (!root.is_object()) return;
  const auto it = root.find("inbounds");
  if (it == root.end() || !it->is_array()) return;
  for (const auto& element : *it) {
    if (!element.is_object()) return;
  }
  for (const auto& element : *it) {
    const auto type = element.find("type");
    const auto portValue = element.find("listen_port");
    if (type == element.end() || !type->is_string() || portValue == element.end()) continue;
    const auto port = jsonInteger(*portValue);
    if (!port) continue;
    const auto& kind = type->get_ref<const std::string&>();
    if (kind == "http" || kind == "mixed") {
      cachedHttpPort_ = *port;
    } else if (kind == "socks") {
      cachedSocksPort_ = *port;
    }
  }
  log("Parsed ports: http=" + std::to_string(cachedHttpPort_.load()) +
      ", socks=" + std::to_string(cachedSocksPort_.load()));
}

void Helper::startProxy(const std::string& config, BoolErrorReply completion) {
  log("startProxy called with config length: " + std::to_string(characterCount(config)));
  // The cached ports follow the configuration given, whatever comes of it.
  parsePortsFromConfig(config);
  // Refused before the kernel is touched: it would drop the frame and run
  // without a configuration.
  if (const auto tooLarge = processManager()->configTooLarge(config)) {
    log("Failed to start proxy: " + *tooLarge);
    return completion(false, *tooLarge);
  }

  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, config, completion = std::move(completion)] {
        auto self = weakSelf.lock();
        if (!self) {
          completion(false, "Helper instance deallocated");
          return;
        }
        log("Starting 内核 process...");
        try {
          self->processManager()->start(config);
        } catch (const std::exception& e) {
          const std::string description = describe(e);
          platform::mainQueue().async([description, completion] {
            log("Failed to start proxy: " + platform::forLog(description));
            completion(false, description);
          });
          return;
        }

        platform::sleepFor(platform::Seconds(1.0));
        if (!self->isKernelRunning()) {
          log("内核 process exited immediately");
          platform::mainQueue().async(
              [completion] { completion(false, std::string("内核 process exited immediately")); });
          return;
        }
        log("内核 process is running");
        if (self->isKernelRunning()) {
          platform::mainQueue().async([completion] {
            log("Proxy started successfully");
            completion(true, std::nullopt);
          });
        } else {
          platform::mainQueue().async([completion] {
            log("内核 process died after startup");
            completion(false, std::string("内核 process died after startup"));
          });
        }
      });
}

void Helper::stopProxy(BoolReply completion) {
  log("stopProxy called");
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, completion = std::move(completion)] {
        auto self = weakSelf.lock();
        if (!self) {
          completion(false);
          return;
        }
        try {
          self->processManager()->stop();
        } catch (const std::exception& e) {
          const std::string description = describe(e);
          platform::mainQueue().async([weakSelf, description, completion] {
            if (weakSelf.lock()) log("Failed to stop proxy: " + platform::forLog(description));
            completion(false);
          });
          return;
        }
        platform::mainQueue().async([weakSelf, completion] {
          if (weakSelf.lock()) log("Proxy stopped successfully");
          completion(true);
        });
      });
}

void Helper::reloadProxy(const std::string& config, BoolErrorReply completion) {
  log("reloadProxy called");
  parsePortsFromConfig(config);
  if (const auto tooLarge = processManager()->configTooLarge(config)) {
    log("Failed to reload proxy: " + *tooLarge);
    return completion(false, *tooLarge);
  }
  std::weak_ptr<Helper> weakSelf = weak();
  platform::globalQueue(platform::QoS::UserInitiated)
      .async([weakSelf, config, completion = std::move(completion)] {
        auto self = weakSelf.lock();
        if (!self) {
          completion(false, "Helper instance deallocated");
          return;
        }
        try {
          self->processManager()->reload(config);
        } catch (const std::exception& e) {
          const std::string description = describe(e);
          platform::mainQueue().async([weakSelf, description, completion] {
            if (weakSelf.lock()) log("Failed to reload proxy: " + platform::forLog(description));
            completion(false, description);
          });
          return;
        }
        platform::mainQueue().async([weakSelf, completion] {
          if (weakSelf.lock()) log("Proxy reloaded successfully");
          completion(true, std::nullopt);
        });
      });
}

}  // namespace zelvo
