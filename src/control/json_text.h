// JSON text as the control channel writes it, and numbers as it reads them.
//
// The kernel parses every frame body, and for structured requests the payload
// string inside it a second time, so all JSON text we produce is compact (no
// whitespace) with non-ASCII characters written as UTF-8. Bytes that are not
// valid UTF-8 (a configuration can hold anything) are each replaced by U+FFFD
// instead of failing the whole request.
//
// The serialiser is our own rather than nlohmann's dump(): a configuration is
// escaped twice on its way to the kernel (into the payload text, then that
// text into the frame), and copying runs of plain bytes in bulk makes this
// several times faster for large configurations. Values other than strings,
// arrays and objects are formatted by nlohmann. Pure functions, safe from any
// thread.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace zelvo::control {

using Json = nlohmann::json;

// Appends `s` as a JSON string literal (quotes included).
void appendJsonString(std::string& out, std::string_view s);

// The number of bytes appendJsonString() appends for `s`.
size_t jsonStringSize(std::string_view s);

// Appends the compact JSON text of `value`.
void appendCompactJson(std::string& out, const Json& value);

// The compact JSON text of `value`. Throws only what allocation throws.
std::string compactJson(const Json& value);

// The payload of a request whose "data" is a JSON object sent as text: the
// object's compact text, or "{}" when it cannot be produced.
std::string jsonTextPayload(const Json& object);

// A JSON number as a signed 64-bit integer with any fraction cut off toward
// zero; values beyond the range saturate at its ends (casting them would be
// undefined). Not a number: nullopt.
std::optional<int64_t> truncatedInt64(const Json& value);

}  // namespace zelvo::control
