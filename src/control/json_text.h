// JSON text as the control channel writes and reads it.
//
// The kernel parses every frame body, and for structured requests the payload
// string inside it a second time, so all JSON text we produce is compact
// (no whitespace) with non-ASCII characters written as UTF-8. Strings that are
// not valid UTF-8 (a configuration can hold anything) have the bad bytes
// replaced by U+FFFD instead of failing the whole request. Pure functions,
// safe from any thread.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace zelvo::control {

using Json = nlohmann::json;

// Compact JSON text of `value`. Throws only what allocation throws.
inline std::string compactJson(const Json& value) {
  return value.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::replace);
}

// The payload of a request whose "data" is a JSON object sent as text: the
// object's compact text, or "{}" when it cannot be produced.
inline std::string jsonTextPayload(const Json& object) {
  try {
    return compactJson(object);
  } catch (...) {
    return "{}";
  }
}

// A JSON number as a signed 64-bit integer with any fraction cut off toward
// zero; values beyond the range saturate at its ends (casting them would be
// undefined). Not a number: nullopt.
inline std::optional<int64_t> truncatedInt64(const Json& value) {
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
