#include "object_attributes.h"

#include <openssl/sha.h>
#include <openssl/x509.h>

#include <memory>

#include "ck_error.h"
#include "mechanisms.h"
#include "rsa_public.h"

namespace p11 {

const Bytes kRsaExponent = {0x01, 0x00, 0x01};

namespace {

using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

Bytes allowedMechanisms() {
  Bytes out;
  for (const auto& mechanism : mechanisms()) {
    if ((mechanism.flags & (CKF_SIGN | CKF_DECRYPT)) == 0) continue;
    const Bytes one = ulongValue(mechanism.type);
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

template <class T, class Encode>
Bytes der(const T* value, Encode encode) {
  unsigned char* out = nullptr;
  const int length = encode(value, &out);
  require(length > 0, CKR_ATTRIBUTE_VALUE_INVALID);
  Bytes bytes(out, out + length);
  OPENSSL_free(out);
  return bytes;
}

void addCommonKey(AttributeMap& a, const Bytes& id, const Bytes& label, bool local) {
  a[CKA_KEY_TYPE] = ulongValue(CKK_RSA);
  a[CKA_ID] = id;
  a[CKA_LABEL] = label;
  a[CKA_MODIFIABLE] = boolValue(true);
  a[CKA_COPYABLE] = boolValue(false);
  a[CKA_DESTROYABLE] = boolValue(false);
  a[CKA_LOCAL] = boolValue(local);
  a[CKA_KEY_GEN_MECHANISM] = ulongValue(local ? CKM_RSA_PKCS_KEY_PAIR_GEN : CK_UNAVAILABLE_INFORMATION);
  a[CKA_DERIVE] = boolValue(false);
  a[CKA_START_DATE] = Bytes{};
  a[CKA_END_DATE] = Bytes{};
  a[CKA_SUBJECT] = Bytes{};
  a[CKA_ALLOWED_MECHANISMS] = allowedMechanisms();
}

}  // namespace

Bytes keyIdOfModulus(const Bytes& modulus) {
  Bytes id(SHA_DIGEST_LENGTH);
  SHA1(modulus.data(), modulus.size(), id.data());
  return id;
}

AttributeMap publicKeyAttributes(const Bytes& modulus, const Bytes& exponent, const Bytes& id, const Bytes& label,
                                 bool onToken, bool local) {
  AttributeMap a;
  a[CKA_CLASS] = ulongValue(CKO_PUBLIC_KEY);
  a[CKA_TOKEN] = boolValue(onToken);
  a[CKA_PRIVATE] = boolValue(false);
  addCommonKey(a, id, label, local);
  if (!onToken) a[CKA_DESTROYABLE] = boolValue(true);
  a[CKA_ENCRYPT] = boolValue(true);
  a[CKA_VERIFY] = boolValue(true);
  a[CKA_VERIFY_RECOVER] = boolValue(false);
  a[CKA_WRAP] = boolValue(false);
  a[CKA_TRUSTED] = boolValue(false);
  a[CKA_MODULUS] = modulus;
  a[CKA_MODULUS_BITS] = ulongValue(kModulusBits);
  a[CKA_PUBLIC_EXPONENT] = exponent;
  a[CKA_PUBLIC_KEY_INFO] = subjectPublicKeyInfo({modulus, exponent});
  return a;
}

AttributeMap privateKeyAttributes(const Bytes& modulus, const Bytes& id, const Bytes& label, bool local) {
  AttributeMap a;
  a[CKA_CLASS] = ulongValue(CKO_PRIVATE_KEY);
  a[CKA_TOKEN] = boolValue(true);
  a[CKA_PRIVATE] = boolValue(true);
  addCommonKey(a, id, label, local);
  a[CKA_SENSITIVE] = boolValue(true);
  a[CKA_DECRYPT] = boolValue(true);
  a[CKA_SIGN] = boolValue(true);
  a[CKA_SIGN_RECOVER] = boolValue(false);
  a[CKA_UNWRAP] = boolValue(false);
  a[CKA_EXTRACTABLE] = boolValue(false);
  a[CKA_ALWAYS_SENSITIVE] = boolValue(local);
  a[CKA_NEVER_EXTRACTABLE] = boolValue(local);
  a[CKA_WRAP_WITH_TRUSTED] = boolValue(false);
  a[CKA_ALWAYS_AUTHENTICATE] = boolValue(false);
  a[CKA_MODULUS] = modulus;
  a[CKA_PUBLIC_EXPONENT] = kRsaExponent;
  a[CKA_PUBLIC_KEY_INFO] = subjectPublicKeyInfo({modulus, kRsaExponent});
  return a;
}

AttributeMap certificateAttributes(const Bytes& value, const Bytes& id, const Bytes& label, bool onToken) {
  const unsigned char* cursor = value.data();
  Certificate certificate(d2i_X509(nullptr, &cursor, static_cast<long>(value.size())), X509_free);
  require(certificate != nullptr && cursor == value.data() + value.size(), CKR_ATTRIBUTE_VALUE_INVALID);
  AttributeMap a;
  a[CKA_CLASS] = ulongValue(CKO_CERTIFICATE);
  a[CKA_TOKEN] = boolValue(onToken);
  a[CKA_PRIVATE] = boolValue(false);
  a[CKA_MODIFIABLE] = boolValue(true);
  a[CKA_COPYABLE] = boolValue(false);
  a[CKA_DESTROYABLE] = boolValue(true);
  a[CKA_LABEL] = label;
  a[CKA_ID] = id;
  a[CKA_CERTIFICATE_TYPE] = ulongValue(CKC_X_509);
  a[CKA_TRUSTED] = boolValue(false);
  a[CKA_CERTIFICATE_CATEGORY] = ulongValue(0);
  a[CKA_START_DATE] = Bytes{};
  a[CKA_END_DATE] = Bytes{};
  a[CKA_VALUE] = value;
  a[CKA_SUBJECT] = der(X509_get_subject_name(certificate.get()), i2d_X509_NAME);
  a[CKA_ISSUER] = der(X509_get_issuer_name(certificate.get()), i2d_X509_NAME);
  a[CKA_SERIAL_NUMBER] = der(X509_get0_serialNumber(certificate.get()), i2d_ASN1_INTEGER);
  a[CKA_URL] = Bytes{};
  a[CKA_HASH_OF_SUBJECT_PUBLIC_KEY] = Bytes{};
  a[CKA_HASH_OF_ISSUER_PUBLIC_KEY] = Bytes{};
  a[CKA_JAVA_MIDP_SECURITY_DOMAIN] = ulongValue(0);
  return a;
}

AttributeMap dataAttributes(const Payload& payload, const Bytes& label, bool isPrivate, bool onToken) {
  AttributeMap a;
  a[CKA_CLASS] = ulongValue(CKO_DATA);
  a[CKA_TOKEN] = boolValue(onToken);
  a[CKA_PRIVATE] = boolValue(isPrivate);
  a[CKA_MODIFIABLE] = boolValue(true);
  a[CKA_COPYABLE] = boolValue(false);
  a[CKA_DESTROYABLE] = boolValue(true);
  a[CKA_LABEL] = label;
  a[CKA_APPLICATION] = payload.application;
  a[CKA_OBJECT_ID] = payload.objectId;
  a[CKA_VALUE] = payload.value;
  return a;
}

bool isSensitiveAttribute(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
      return true;
    default:
      return false;
  }
}

}  // namespace p11
