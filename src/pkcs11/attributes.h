// Attribute values as byte strings: templates read from the caller, and the
// attribute maps objects are made of.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "pkcs11_api.h"
#include "bytes.h"

namespace p11 {

using AttributeMap = std::map<CK_ATTRIBUTE_TYPE, Bytes>;

Bytes ulongValue(CK_ULONG value);
Bytes boolValue(bool value);
Bytes textValue(const std::string& text);

// A caller's template, checked for readable pointers.
class Template {
 public:
  Template(const CK_ATTRIBUTE* attributes, CK_ULONG count);

  bool has(CK_ATTRIBUTE_TYPE type) const { return values_.find(type) != values_.end(); }
  const Bytes* find(CK_ATTRIBUTE_TYPE type) const;
  // Typed reads; CKR_ATTRIBUTE_VALUE_INVALID when the value has the wrong size.
  std::optional<bool> boolean(CK_ATTRIBUTE_TYPE type) const;
  std::optional<CK_ULONG> ulong(CK_ATTRIBUTE_TYPE type) const;
  const AttributeMap& values() const { return values_; }

 private:
  AttributeMap values_;
};

// Whether every attribute of the template is in the map with the same value.
bool matches(const AttributeMap& object, const Template& pattern);

// Answers C_GetAttributeValue from a map; hidden attributes are sensitive.
CK_RV copyAttributes(const AttributeMap& object, bool (*isSensitive)(CK_ATTRIBUTE_TYPE), CK_ATTRIBUTE* attributes,
                     CK_ULONG count);

}  // namespace p11
