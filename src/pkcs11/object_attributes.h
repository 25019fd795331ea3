// The attributes of the objects the module shows: key pairs, certificates
// and data objects, built from what the card holds.
#pragma once

#include "attributes.h"
#include "card_files.h"

namespace p11 {

extern const Bytes kRsaExponent;  // 65537, the only public exponent on this card

// Default CKA_ID of a key pair: SHA-1 of its modulus, as NSS and others name keys.
Bytes keyIdOfModulus(const Bytes& modulus);

AttributeMap publicKeyAttributes(const Bytes& modulus, const Bytes& exponent, const Bytes& id, const Bytes& label,
                                 bool onToken, bool local);
AttributeMap privateKeyAttributes(const Bytes& modulus, const Bytes& id, const Bytes& label, bool local);
// CKR_ATTRIBUTE_VALUE_INVALID when the value is no DER X.509 certificate.
AttributeMap certificateAttributes(const Bytes& der, const Bytes& id, const Bytes& label, bool onToken);
AttributeMap dataAttributes(const Payload& payload, const Bytes& label, bool isPrivate, bool onToken);

// Attributes never revealed (private key parts).
bool isSensitiveAttribute(CK_ATTRIBUTE_TYPE type);

}  // namespace p11
