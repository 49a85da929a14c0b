#include "platform/keyed_archive.h"

#include <limits>

namespace zelvo::platform {

std::optional<std::string> archiveClassOf(const IpcValue& value) {
  if (value.is_string()) return std::string(kStringClass);
  if (value.is_binary()) return std::string(kDataClass);
  if (value.is_object()) {
    auto it = value.find(kClassKey);
    if (it != value.end() && it->is_string()) return it->get<std::string>();
  }
  return std::nullopt;
}

bool fitsInt64(const IpcValue& value) {
  if (value.is_number_unsigned()) {
    return value.get<uint64_t>() <= uint64_t(std::numeric_limits<int64_t>::max());
  }
  return value.is_number_integer();
}

KeyedArchiver::KeyedArchiver(std::string_view className) : archive_(IpcValue::object()) {
  // Room for a record's few keys at once, rather than growing for each.
  archive_.get_ref<IpcValue::object_t&>().reserve(8);
  archive_[kClassKey] = std::string(className);
}

void KeyedArchiver::encodeBool(std::string_view key, bool value) {
  archive_[std::string(key)] = value;
}

void KeyedArchiver::encodeInteger(std::string_view key, int64_t value) {
  archive_[std::string(key)] = value;
}

void KeyedArchiver::encodeInt64(std::string_view key, int64_t value) {
  archive_[std::string(key)] = value;
}

void KeyedArchiver::encodeObject(std::string_view key, const std::optional<std::string>& value) {
  if (value) archive_[std::string(key)] = *value;
}

KeyedUnarchiver::KeyedUnarchiver(const IpcValue& archive,
                                 const std::set<std::string>& allowedClasses)
    : archive_(archive) {
  auto cls = archive.is_object() ? archiveClassOf(archive) : std::nullopt;
  if (!cls) {
    throw Error(kCocoaErrorDomain, kCoderReadCorruptError,
                "The data couldn't be read because it isn't an archived object.");
  }
  if (!allowedClasses.count(*cls)) {
    throw Error(kCocoaErrorDomain, kCoderReadCorruptError,
                "value of class '" + *cls + "' is not allowed here");
  }
  className_ = std::move(*cls);
}

const IpcValue* KeyedUnarchiver::find(std::string_view key) const {
  auto it = archive_.find(std::string(key));
  return it == archive_.end() ? nullptr : &*it;
}

void KeyedUnarchiver::corrupt(std::string_view key, const char* expected) const {
  throw Error(kCocoaErrorDomain, kCoderReadCorruptError,
              "value for key '" + std::string(key) + "' of " + className_ + " is not " + expected);
}

bool KeyedUnarchiver::containsValue(std::string_view key) const {
  return find(key) != nullptr;
}

bool KeyedUnarchiver::decodeBool(std::string_view key) const {
  const auto* v = find(key);
  if (!v) return false;
  if (!v->is_boolean()) corrupt(key, "a boolean");
  return v->get<bool>();
}

int64_t KeyedUnarchiver::decodeInteger(std::string_view key) const {
  const auto* v = find(key);
  if (!v) return 0;
  if (!fitsInt64(*v)) corrupt(key, "a 64-bit integer");
  return v->get<int64_t>();
}

int64_t KeyedUnarchiver::decodeInt64(std::string_view key) const {
  return decodeInteger(key);
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) const {
  const auto* v = find(key);
  if (!v || v->is_null()) return std::nullopt;
  if (!v->is_string()) corrupt(key, "a string");
  return v->get<std::string>();
}

}  // namespace zelvo::platform
