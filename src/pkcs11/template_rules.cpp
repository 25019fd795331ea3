#include "template_rules.h"

#include <algorithm>

#include "ck_error.h"

namespace p11 {
namespace {

bool listed(std::initializer_list<CK_ATTRIBUTE_TYPE> list, CK_ATTRIBUTE_TYPE type) {
  return std::find(list.begin(), list.end(), type) != list.end();
}

// Booleans compare by truth (any non-zero byte is true), other values by
// their bytes.
bool sameValue(const Bytes& given, const Bytes& held) {
  if (held.size() == sizeof(CK_BBOOL) && given.size() == sizeof(CK_BBOOL)) {
    return (given[0] != CK_FALSE) == (held[0] != CK_FALSE);
  }
  return given == held;
}

}  // namespace

void requireHonoured(const Template& pattern, const AttributeMap& made,
                     std::initializer_list<CK_ATTRIBUTE_TYPE> chosen,
                     std::initializer_list<CK_ATTRIBUTE_TYPE> cardMade) {
  for (const auto& [type, value] : pattern.values()) {
    if (listed(chosen, type)) continue;
    require(!listed(cardMade, type), CKR_TEMPLATE_INCONSISTENT);
    const auto held = made.find(type);
    require(held != made.end(), CKR_ATTRIBUTE_TYPE_INVALID);
    require(sameValue(value, held->second), CKR_TEMPLATE_INCONSISTENT);
  }
}

void requireTokenObject(const Template& pattern) {
  require(pattern.boolean(CKA_TOKEN).value_or(false), CKR_TEMPLATE_INCONSISTENT);
}

}  // namespace p11
