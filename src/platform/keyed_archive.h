// Keyed archive: how objects travel inside IPC messages (the stand-in for
// NSKeyedArchiver with secure coding).
//
// An archived object is a MessagePack map whose "$class" key names its class
// and whose other keys are its fields. Strings and byte buffers travel as
// plain str and bin values and count as the classes "NSString" and "NSData".
// Decoding is secure: the decoder is told which classes are allowed at that
// position and refuses any other; a missing key yields the field's default.
//
// Value types; no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/ipc_frame.h"

namespace zelvo::platform {

inline constexpr const char* kClassKey = "$class";
inline constexpr const char* kStringClass = "NSString";
inline constexpr const char* kDataClass = "NSData";
// Errors of archive decoding: NSCocoaErrorDomain / NSCoderReadCorruptError.
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr long kCoderReadCorruptError = 4864;

// The class a value counts as: "NSString" for a str, "NSData" for a bin, the
// "$class" of a map that has a string "$class"; nullopt for anything else
// (nil, numbers, booleans, arrays, maps without a class).
std::optional<std::string> archiveClassOf(const IpcValue& value);

// Encodes one object; keys come out in the order they are encoded.
class KeyedArchiver {
 public:
  explicit KeyedArchiver(std::string_view className);

  void encodeBool(std::string_view key, bool value);
  void encodeInteger(std::string_view key, int64_t value);
  void encodeInt64(std::string_view key, int64_t value);
  // A string object; nullopt encodes nothing (the key is left out).
  void encodeObject(std::string_view key, const std::optional<std::string>& value);

  // The archive, moved out: the coder is spent afterwards.
  IpcValue take() { return std::move(archive_); }

 private:
  IpcValue archive_;
};

// Decodes one object. The constructor throws Error (kCocoaErrorDomain,
// kCoderReadCorruptError) when `archive` is not an archived object or its
// class is not in `allowedClasses`. The decode calls return the default when
// the key is missing and throw the same Error when the key holds a value of
// the wrong type.
class KeyedUnarchiver {
 public:
  KeyedUnarchiver(const IpcValue& archive, const std::set<std::string>& allowedClasses);

  const std::string& className() const { return className_; }
  bool containsValue(std::string_view key) const;
  bool decodeBool(std::string_view key) const;
  int64_t decodeInteger(std::string_view key) const;
  int64_t decodeInt64(std::string_view key) const;
  // A string object (decodeObjectOfClass:NSString); nullopt when absent or nil.
  std::optional<std::string> decodeString(std::string_view key) const;

 private:
  const IpcValue* find(std::string_view key) const;
  [[noreturn]] void corrupt(std::string_view key, const char* expected) const;

  const IpcValue& archive_;
  std::string className_;
};

// True when `value` is a MessagePack integer that fits a signed 64-bit integer.
bool fitsInt64(const IpcValue& value);

}  // namespace zelvo::platform
