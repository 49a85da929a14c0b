#include "platform/ipc_interface.h"

#include <stdexcept>

#include "platform/keyed_archive.h"

namespace zelvo::platform {

IpcInterface::IpcInterface(std::string protocolName, std::vector<IpcMethod> methods)
    : name_(std::move(protocolName)), methods_(std::move(methods)) {}

const IpcMethod* IpcInterface::method(std::string_view selector) const {
  for (const auto& m : methods_) {
    if (m.selector == selector) return &m;
  }
  return nullptr;
}

void IpcInterface::setClasses(std::set<std::string> classes, std::string_view selector,
                              size_t index, bool ofReply) {
  for (auto& m : methods_) {
    if (m.selector != selector) continue;
    auto& slots = ofReply ? m.reply : m.args;
    if (index >= slots.size()) throw std::invalid_argument("argument index out of range");
    auto& slot = slots[index];
    if (slot.type != IpcType::Data && slot.type != IpcType::Object) {
      throw std::invalid_argument("classes apply only to object arguments");
    }
    slot.classes = std::move(classes);
    return;
  }
  throw std::invalid_argument("unknown selector " + std::string(selector));
}

namespace {

std::optional<std::string> checkOne(const IpcSlot& slot, const IpcValue& v) {
  if (v.is_null()) {
    if (slot.optional) return std::nullopt;
    return "nil where a value is required";
  }
  switch (slot.type) {
    case IpcType::String:
      if (v.is_string()) return std::nullopt;
      return "expected a string";
    case IpcType::Int:
      if (fitsInt64(v)) return std::nullopt;
      return "expected a 64-bit integer";
    case IpcType::Bool:
      if (v.is_boolean()) return std::nullopt;
      return "expected a boolean";
    case IpcType::Data:
    case IpcType::Object: {
      if (slot.type == IpcType::Data && !v.is_binary()) return "expected data";
      if (v.is_binary() && v.get_binary().has_subtype()) return "unexpected extension type";
      auto cls = archiveClassOf(v);
      if (!cls) return "expected an archived object";
      if (!slot.classes.count(*cls)) return "class '" + *cls + "' is not allowed here";
      return std::nullopt;
    }
  }
  return "unknown type";
}

}  // namespace

std::optional<std::string> IpcInterface::check(const std::vector<IpcSlot>& slots,
                                               const IpcValue& values) {
  if (!values.is_array()) return "arguments are not an array";
  if (values.size() != slots.size()) {
    return "expected " + std::to_string(slots.size()) + " arguments, got " +
           std::to_string(values.size());
  }
  for (size_t i = 0; i < slots.size(); ++i) {
    if (auto why = checkOne(slots[i], values[i])) {
      return "argument " + std::to_string(i) + ": " + *why;
    }
  }
  return std::nullopt;
}

}  // namespace zelvo::platform
