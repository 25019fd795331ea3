// Templates are honoured or refused, never silently changed: an attribute a
// caller gives must be what the object made from the template will hold.
#pragma once

#include <initializer_list>

#include "attributes.h"

namespace p11 {

// Checks every attribute of the template against the object it would make
// (`made`), before any card command. Attributes in `chosen` are the
// caller's to choose (label, key parts) and checked where they are used;
// those in `cardMade` come from the card (a generated modulus) and cannot be
// asked for. A value the object would not hold, or an attribute the card
// makes, is CKR_TEMPLATE_INCONSISTENT; an attribute the object does not have
// is CKR_ATTRIBUTE_TYPE_INVALID.
void requireHonoured(const Template& pattern, const AttributeMap& made,
                     std::initializer_list<CK_ATTRIBUTE_TYPE> chosen,
                     std::initializer_list<CK_ATTRIBUTE_TYPE> cardMade = {});

// Every object the card keeps is a token object: a template must say so,
// as CKA_TOKEN defaults to false (a session object).
void requireTokenObject(const Template& pattern);

}  // namespace p11
