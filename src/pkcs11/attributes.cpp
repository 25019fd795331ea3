#include "attributes.h"

#include <cstring>

#include "ck_error.h"

namespace p11 {

Bytes ulongValue(CK_ULONG value) {
  Bytes out(sizeof value);
  std::memcpy(out.data(), &value, sizeof value);
  return out;
}

Bytes boolValue(bool value) { return Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)}; }

Bytes textValue(const std::string& text) { return Bytes(text.begin(), text.end()); }

Template::Template(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
  require(attributes != nullptr || count == 0, CKR_ARGUMENTS_BAD);
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE& attribute = attributes[i];
    require(attribute.pValue != nullptr || attribute.ulValueLen == 0, CKR_ATTRIBUTE_VALUE_INVALID);
    require(attribute.ulValueLen != CK_UNAVAILABLE_INFORMATION, CKR_ATTRIBUTE_VALUE_INVALID);
    const auto* bytes = static_cast<const unsigned char*>(attribute.pValue);
    // A repeated attribute with another value makes the template inconsistent.
    Bytes value = bytes == nullptr ? Bytes{} : Bytes(bytes, bytes + attribute.ulValueLen);
    const auto [at, inserted] = values_.emplace(attribute.type, value);
    require(inserted || at->second == value, CKR_TEMPLATE_INCONSISTENT);
  }
}

const Bytes* Template::find(CK_ATTRIBUTE_TYPE type) const {
  const auto at = values_.find(type);
  return at == values_.end() ? nullptr : &at->second;
}

std::optional<bool> Template::boolean(CK_ATTRIBUTE_TYPE type) const {
  const Bytes* value = find(type);
  if (value == nullptr) return std::nullopt;
  require(value->size() == sizeof(CK_BBOOL), CKR_ATTRIBUTE_VALUE_INVALID);
  return (*value)[0] != CK_FALSE;
}

std::optional<CK_ULONG> Template::ulong(CK_ATTRIBUTE_TYPE type) const {
  const Bytes* value = find(type);
  if (value == nullptr) return std::nullopt;
  require(value->size() == sizeof(CK_ULONG), CKR_ATTRIBUTE_VALUE_INVALID);
  CK_ULONG result = 0;
  std::memcpy(&result, value->data(), sizeof result);
  return result;
}

bool matches(const AttributeMap& object, const Template& pattern) {
  for (const auto& [type, value] : pattern.values()) {
    const auto at = object.find(type);
    if (at == object.end() || at->second != value) return false;
  }
  return true;
}

CK_RV copyAttributes(const AttributeMap& object, bool (*isSensitive)(CK_ATTRIBUTE_TYPE), CK_ATTRIBUTE* attributes,
                     CK_ULONG count) {
  require(attributes != nullptr || count == 0, CKR_ARGUMENTS_BAD);
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_ATTRIBUTE& attribute = attributes[i];
    const auto at = object.find(attribute.type);
    if (isSensitive(attribute.type)) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_ATTRIBUTE_SENSITIVE;
    } else if (at == object.end()) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_ATTRIBUTE_TYPE_INVALID;
    } else if (attribute.pValue == nullptr) {
      attribute.ulValueLen = at->second.size();
    } else if (attribute.ulValueLen < at->second.size()) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_BUFFER_TOO_SMALL;
    } else {
      if (!at->second.empty()) std::memcpy(attribute.pValue, at->second.data(), at->second.size());
      attribute.ulValueLen = at->second.size();
    }
  }
  return result;
}

}  // namespace p11
