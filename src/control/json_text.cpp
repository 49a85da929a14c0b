#include "control/json_text.h"

#include <cmath>
#include <limits>

namespace zelvo::control {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool isContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence starting at s[i] (whose first byte
// is >= 0x80), or 0 when it is not one: overlong forms, surrogates and code
// points above U+10FFFF are refused, as RFC 3629 requires.
size_t utf8SequenceLength(std::string_view s, size_t i) {
  const auto at = [&](size_t k) -> unsigned char {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
  };
  const unsigned char c = at(0);
  if (c >= 0xC2 && c <= 0xDF) return isContinuation(at(1)) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    const unsigned char c1 = at(1);
    const bool ok1 = c == 0xE0   ? (c1 >= 0xA0 && c1 <= 0xBF)
                     : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                 : isContinuation(c1);
    return ok1 && isContinuation(at(2)) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    const unsigned char c1 = at(1);
    const bool ok1 = c == 0xF0   ? (c1 >= 0x90 && c1 <= 0xBF)
                     : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                 : isContinuation(c1);
    return ok1 && isContinuation(at(2)) && isContinuation(at(3)) ? 4 : 0;
  }
  return 0;
}

// The escape of a byte that JSON does not allow raw in a string; `u` holds
// the text of a \u escape.
std::string_view escapeOf(unsigned char c, char (&u)[6]) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default: {
      static constexpr char kHex[] = "0123456789abcdef";
      u[0] = '\\';
      u[1] = 'u';
      u[2] = '0';
      u[3] = '0';
      u[4] = kHex[c >> 4];
      u[5] = kHex[c & 0xF];
      return {u, 6};
    }
  }
}

// Walks `s` once, handing `emit` the output piece by piece: runs of bytes
// that go out unchanged in bulk, escapes and replacements one at a time. The
// same walk sizes the output and writes it, so the two cannot disagree.
template <class Emit>
void escapeString(std::string_view s, Emit&& emit) {
  char u[6];
  size_t run = 0;  // start of the bytes not yet emitted
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      if (const size_t len = utf8SequenceLength(s, i)) {
        i += len;
        continue;
      }
      emit(s.substr(run, i - run));
      emit(std::string_view(kReplacement, 3));
    } else {
      emit(s.substr(run, i - run));
      emit(escapeOf(c, u));
    }
    run = ++i;
  }
  emit(s.substr(run));
}

}  // namespace

size_t jsonStringSize(std::string_view s) {
  size_t n = 2;
  escapeString(s, [&n](std::string_view piece) { n += piece.size(); });
  return n;
}

void appendJsonString(std::string& out, std::string_view s) {
  // Sized first: growing a multi-megabyte string by doubling costs more than
  // the extra pass over it. The slack leaves room for the few closing
  // characters of the enclosing frame, which would otherwise double it again.
  if (s.size() >= 4096) out.reserve(out.size() + jsonStringSize(s) + 64);
  out.push_back('"');
  escapeString(s, [&out](std::string_view piece) { out.append(piece); });
  out.push_back('"');
}

void appendCompactJson(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      appendJsonString(out, value.get_ref<const std::string&>());
      return;
    case Json::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out.push_back(',');
        first = false;
        appendJsonString(out, it.key());
        out.push_back(':');
        appendCompactJson(out, it.value());
      }
      out.push_back('}');
      return;
    }
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const Json& element : value) {
        if (!first) out.push_back(',');
        first = false;
        appendCompactJson(out, element);
      }
      out.push_back(']');
      return;
    }
    default:
      // Numbers, booleans, null (and binary, which never occurs here).
      out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
}

std::string compactJson(const Json& value) {
  std::string out;
  appendCompactJson(out, value);
  return out;
}

std::string jsonTextPayload(const Json& object) {
  try {
    return compactJson(object);
  } catch (...) {
    return "{}";
  }
}

std::optional<int64_t> truncatedInt64(const Json& value) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    return u > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_float()) {
    const double d = std::trunc(value.get<double>());
    if (std::isnan(d)) return std::nullopt;
    if (d >= 9223372036854775808.0) return kMax;  // 2^63
    if (d < -9223372036854775808.0) return kMin;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace zelvo::control
