// Templates for key generation, key import and new objects: what they ask is
// what the objects hold, or the call is refused before any card command.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "module_fixture.h"

namespace p11test {
namespace {

enum class Call { Generate, Import, CreateData, CreatePublicKey };

// One attribute changed from the call's valid baseline; no value removes it.
struct Change {
  CK_ATTRIBUTE_TYPE type;
  std::optional<Bytes> value;
};

const Bytes kTrue{CK_TRUE}, kFalse{CK_FALSE};

struct TemplateCase {
  const char* name;
  Call call;
  std::vector<Change> publicChanges;  // the only template of the import and create calls
  std::vector<Change> privateChanges;
  CK_RV expected;
};

const TemplateCase kCases[] = {
    {"GenerateWithPublicSessionKey", Call::Generate, {{CKA_TOKEN, kFalse}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateWithoutPublicToken", Call::Generate, {{CKA_TOKEN, std::nullopt}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateWithoutPrivateToken", Call::Generate, {}, {{CKA_TOKEN, std::nullopt}}, CKR_TEMPLATE_INCONSISTENT},
    {"GeneratePublicPrivateKey", Call::Generate, {}, {{CKA_PRIVATE, kFalse}}, CKR_TEMPLATE_INCONSISTENT},
    {"GeneratePrivatePublicKey", Call::Generate, {{CKA_PRIVATE, kTrue}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateNotSensitive", Call::Generate, {}, {{CKA_SENSITIVE, kFalse}}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateExtractable", Call::Generate, {}, {{CKA_EXTRACTABLE, kTrue}}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateNoSigning", Call::Generate, {}, {{CKA_SIGN, kFalse}}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateUnwrapping", Call::Generate, {}, {{CKA_UNWRAP, kTrue}}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateWrapping", Call::Generate, {{CKA_WRAP, kTrue}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateNotModifiable", Call::Generate, {{CKA_MODIFIABLE, kFalse}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateGivenModulus", Call::Generate, {{CKA_MODULUS, Bytes(128, 0xC5)}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateTwoIds", Call::Generate, {{CKA_ID, bytesOf("a")}}, {{CKA_ID, bytesOf("b")}}, CKR_TEMPLATE_INCONSISTENT},
    {"GenerateWithAValue", Call::Generate, {}, {{CKA_VALUE, bytesOf("x")}}, CKR_ATTRIBUTE_TYPE_INVALID},
    {"GenerateHonoured", Call::Generate,
     {{CKA_PRIVATE, kFalse}, {CKA_VERIFY, kTrue}, {CKA_ENCRYPT, kTrue}, {CKA_ID, bytesOf("same")}},
     {{CKA_PRIVATE, kTrue}, {CKA_SENSITIVE, kTrue}, {CKA_EXTRACTABLE, kFalse}, {CKA_SIGN, kTrue},
      {CKA_DECRYPT, kTrue}, {CKA_ID, bytesOf("same")}, {CKA_LABEL, bytesOf("both")}},
     CKR_OK},
    {"ImportWithoutToken", Call::Import, {{CKA_TOKEN, std::nullopt}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"ImportPublicPrivateKey", Call::Import, {{CKA_PRIVATE, kFalse}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"ImportExtractable", Call::Import, {{CKA_EXTRACTABLE, kTrue}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"ImportAlwaysAuthenticate", Call::Import, {{CKA_ALWAYS_AUTHENTICATE, kTrue}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"ImportHonoured", Call::Import, {{CKA_PRIVATE, kTrue}, {CKA_SENSITIVE, kTrue}, {CKA_SIGN, kTrue}}, {}, CKR_OK},
    {"DataNotDestroyable", Call::CreateData, {{CKA_DESTROYABLE, kFalse}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"DataNotModifiable", Call::CreateData, {{CKA_MODIFIABLE, kFalse}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"DataHonoured", Call::CreateData, {{CKA_PRIVATE, kTrue}, {CKA_APPLICATION, bytesOf("app")}}, {}, CKR_OK},
    {"SessionPublicKeyMadePrivate", Call::CreatePublicKey, {{CKA_PRIVATE, kTrue}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"SessionPublicKeyNoVerify", Call::CreatePublicKey, {{CKA_VERIFY, kFalse}}, {}, CKR_TEMPLATE_INCONSISTENT},
    {"SessionPublicKeyHonoured", Call::CreatePublicKey, {{CKA_ENCRYPT, kTrue}}, {}, CKR_OK},
};

using Attributes = std::map<CK_ATTRIBUTE_TYPE, Bytes>;

Bytes ulongBytes(CK_ULONG value) {
  Bytes out(sizeof value);
  std::memcpy(out.data(), &value, sizeof value);
  return out;
}

void applyChanges(Attributes& attributes, const std::vector<Change>& changes) {
  for (const auto& change : changes) {
    if (change.value) {
      attributes[change.type] = *change.value;
    } else {
      attributes.erase(change.type);
    }
  }
}

std::vector<CK_ATTRIBUTE> asTemplate(Attributes& attributes) {
  std::vector<CK_ATTRIBUTE> out;
  for (auto& [type, value] : attributes) out.push_back(attr(type, value.data(), value.size()));
  return out;
}

// A software key pair's parts for an import template.
Attributes importBaseline() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(1024), EVP_PKEY_free);
  auto part = [&](const char* name, std::size_t size) {
    BIGNUM* value = nullptr;
    EVP_PKEY_get_bn_param(key.get(), name, &value);
    Bytes out(size);
    BN_bn2binpad(value, out.data(), static_cast<int>(size));
    BN_clear_free(value);
    return out;
  };
  return {{CKA_CLASS, ulongBytes(CKO_PRIVATE_KEY)},
          {CKA_KEY_TYPE, ulongBytes(CKK_RSA)},
          {CKA_TOKEN, kTrue},
          {CKA_MODULUS, part(OSSL_PKEY_PARAM_RSA_N, 128)},
          {CKA_PUBLIC_EXPONENT, part(OSSL_PKEY_PARAM_RSA_E, 3)},
          {CKA_PRIME_1, part(OSSL_PKEY_PARAM_RSA_FACTOR1, 64)},
          {CKA_PRIME_2, part(OSSL_PKEY_PARAM_RSA_FACTOR2, 64)},
          {CKA_EXPONENT_1, part(OSSL_PKEY_PARAM_RSA_EXPONENT1, 64)},
          {CKA_EXPONENT_2, part(OSSL_PKEY_PARAM_RSA_EXPONENT2, 64)},
          {CKA_COEFFICIENT, part(OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 64)}};
}

class TemplateTest : public TracedModuleTest, public ::testing::WithParamInterface<TemplateCase> {
 protected:
  // What a returned object holds of what the template asked.
  void expectHeld(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, const std::vector<Change>& asked) {
    for (const auto& change : asked) {
      if (change.value) {
        EXPECT_EQ(attribute(session, object, change.type), *change.value) << change.type;
      }
    }
  }
};

TEST_P(TemplateTest, AskedIsHeldOrRefusedBeforeTheCard) {
  const TemplateCase& c = GetParam();
  CK_SESSION_HANDLE session = openSession();
  loginUser(session);
  const std::size_t before = commandsSent();
  CK_OBJECT_HANDLE first = CK_INVALID_HANDLE, second = CK_INVALID_HANDLE;
  CK_RV rv = CKR_OK;
  if (c.call == Call::Generate) {
    Attributes publicAttributes{{CKA_MODULUS_BITS, ulongBytes(1024)}, {CKA_TOKEN, kTrue}};
    Attributes privateAttributes{{CKA_TOKEN, kTrue}};
    applyChanges(publicAttributes, c.publicChanges);
    applyChanges(privateAttributes, c.privateChanges);
    auto publicTemplate = asTemplate(publicAttributes);
    auto privateTemplate = asTemplate(privateAttributes);
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    rv = p11->C_GenerateKeyPair(session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                                privateTemplate.data(), privateTemplate.size(), &first, &second);
  } else {
    Attributes attributes;
    if (c.call == Call::Import) attributes = importBaseline();
    if (c.call == Call::CreateData) attributes = {{CKA_CLASS, ulongBytes(CKO_DATA)}, {CKA_TOKEN, kTrue}};
    if (c.call == Call::CreatePublicKey) {
      Bytes modulus(128, 0xC3);
      attributes = {{CKA_CLASS, ulongBytes(CKO_PUBLIC_KEY)}, {CKA_KEY_TYPE, ulongBytes(CKK_RSA)},
                    {CKA_MODULUS, modulus}, {CKA_PUBLIC_EXPONENT, Bytes{1, 0, 1}}};
    }
    applyChanges(attributes, c.publicChanges);
    auto pattern = asTemplate(attributes);
    rv = p11->C_CreateObject(session, pattern.data(), pattern.size(), &first);
  }
  ASSERT_EQ(rv, c.expected);
  if (rv != CKR_OK) {
    EXPECT_EQ(commandsSent(), before);
    return;
  }
  expectHeld(session, first, c.publicChanges);
  if (second != CK_INVALID_HANDLE) expectHeld(session, second, c.privateChanges);
}

INSTANTIATE_TEST_SUITE_P(Templates, TemplateTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace p11test
