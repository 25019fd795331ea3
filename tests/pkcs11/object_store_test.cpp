// Certificates and data objects kept in the module's files on the card:
// stored, found, renamed, destroyed, and never written over another
// program's file.
#include <stdlib.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "module_fixture.h"

namespace p11test {
namespace {

// A small self-signed certificate made with OpenSSL.
Bytes makeCertificate(const std::string& commonName) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(1024), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  X509_sign(cert.get(), key.get(), EVP_sha256());
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert.get(), &der);
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

class ObjectStoreTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    initToken();
    session = openSession();
  }

  CK_RV createCertificate(const Bytes& der, const std::string& id, const std::string& label,
                          CK_OBJECT_HANDLE* handle) {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, objectClass), attr(CKA_CERTIFICATE_TYPE, type),
                                      attr(CKA_TOKEN, yes), attr(CKA_VALUE, der.data(), der.size()),
                                      attr(CKA_ID, id.data(), id.size()),
                                      attr(CKA_LABEL, label.data(), label.size())};
    return p11->C_CreateObject(session, pattern.data(), pattern.size(), handle);
  }

  CK_RV createData(const std::string& value, CK_BBOOL isPrivate, CK_OBJECT_HANDLE* handle) {
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    std::string app = "tests";
    std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, objectClass), attr(CKA_TOKEN, yes),
                                      attr(CKA_PRIVATE, isPrivate), attr(CKA_APPLICATION, app.data(), app.size()),
                                      attr(CKA_VALUE, value.data(), value.size())};
    return p11->C_CreateObject(session, pattern.data(), pattern.size(), handle);
  }

  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
};

TEST_F(ObjectStoreTest, CertificatesPersistWithTheirFieldsAndCanBeDestroyed) {
  const Bytes der = makeCertificate("stored on the token");
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_EQ(createCertificate(der, "c", "cert", &handle), CKR_USER_NOT_LOGGED_IN);
  loginUser(session);
  ASSERT_EQ(createCertificate(der, "c", "cert", &handle), CKR_OK);

  restartModule();
  session = openSession();
  const auto found = findClass(session, CKO_CERTIFICATE);  // public: no login needed
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(attribute(session, found[0], CKA_VALUE), der);
  EXPECT_EQ(attribute(session, found[0], CKA_LABEL), bytesOf("cert"));
  const unsigned char* cursor = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &cursor, der.size()), X509_free);
  unsigned char* subject = nullptr;
  const int subjectLength = i2d_X509_NAME(X509_get_subject_name(cert.get()), &subject);
  EXPECT_EQ(attribute(session, found[0], CKA_SUBJECT), Bytes(subject, subject + subjectLength));
  OPENSSL_free(subject);

  loginUser(session);
  ASSERT_EQ(p11->C_DestroyObject(session, found[0]), CKR_OK);
  restartModule();
  session = openSession();
  EXPECT_TRUE(findClass(session, CKO_CERTIFICATE).empty());
}

TEST_F(ObjectStoreTest, PrivateDataObjectsNeedThisApplicationsLogin) {
  loginUser(session);
  CK_OBJECT_HANDLE secret = CK_INVALID_HANDLE, open = CK_INVALID_HANDLE;
  ASSERT_EQ(createData("secret value", CK_TRUE, &secret), CKR_OK);
  ASSERT_EQ(createData("open value", CK_FALSE, &open), CKR_OK);
  EXPECT_EQ(findClass(session, CKO_DATA).size(), 2u);
  ASSERT_EQ(p11->C_Logout(session), CKR_OK);
  const auto visible = findClass(session, CKO_DATA);
  ASSERT_EQ(visible.size(), 1u);
  EXPECT_EQ(attribute(session, visible[0], CKA_VALUE), bytesOf("open value"));
  CK_ATTRIBUTE query{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p11->C_GetAttributeValue(session, secret, &query, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ObjectStoreTest, IdAndLabelCanBeSetAndOtherAttributesCannot) {
  loginUser(session);
  const KeyPair pair = generateKeyPair(session);
  const std::string id = "new-id", label = "renamed";
  std::vector<CK_ATTRIBUTE> changes{attr(CKA_ID, id.data(), id.size()), attr(CKA_LABEL, label.data(), label.size())};
  ASSERT_EQ(p11->C_SetAttributeValue(session, pair.privateKey, changes.data(), changes.size()), CKR_OK);
  CK_BBOOL no = CK_FALSE;
  CK_ATTRIBUTE sign = attr(CKA_SIGN, no);
  EXPECT_EQ(p11->C_SetAttributeValue(session, pair.privateKey, &sign, 1), CKR_ATTRIBUTE_READ_ONLY);
  std::string tooLong(33, 'x');
  CK_ATTRIBUTE longLabel = attr(CKA_LABEL, tooLong.data(), tooLong.size());
  EXPECT_EQ(p11->C_SetAttributeValue(session, pair.privateKey, &longLabel, 1), CKR_ATTRIBUTE_VALUE_INVALID);

  restartModule();
  session = openSession();
  const auto found = find(session, {attr(CKA_ID, id.data(), id.size())});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(attribute(session, found[0], CKA_LABEL), bytesOf("renamed"));
}

TEST_F(ObjectStoreTest, AForeignFileAtTheIndexNumberIsNeverWritten) {
  setenv("P11TEST_PIN", kUserPin, 1);
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(runTool(tokenPath(), "login user --pin-env P11TEST_PIN"), 0);
  ASSERT_EQ(runTool(tokenPath(), "file create 3 510 64 --read 0 --write 1 --force"), 0);
  ASSERT_EQ(runTool(tokenPath(), "file write 3 510 --in-hex 466F726569676E --force"), 0);  // "Foreign"

  CK_TOKEN_INFO info{};
  ASSERT_EQ(p11->C_GetTokenInfo(kSlot, &info), CKR_OK);
  EXPECT_NE(info.flags & CKF_WRITE_PROTECTED, 0u);
  session = openSession();
  loginUser(session);
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  EXPECT_EQ(createData("value", CK_FALSE, &handle), CKR_TOKEN_WRITE_PROTECTED);
  // A pair asked for with a name is refused, never made without it; one
  // asked for without a name is made and shows the names of unnamed pairs.
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_ULONG bits = 1024;
  CK_BBOOL yes = CK_TRUE;
  const std::string label = "y";
  std::vector<CK_ATTRIBUTE> publicTemplate{attr(CKA_MODULUS_BITS, bits), attr(CKA_TOKEN, yes)};
  std::vector<CK_ATTRIBUTE> privateTemplate{attr(CKA_TOKEN, yes), attr(CKA_LABEL, label.data(), label.size())};
  KeyPair named;
  EXPECT_EQ(p11->C_GenerateKeyPair(session, &mechanism, publicTemplate.data(), publicTemplate.size(),
                                   privateTemplate.data(), privateTemplate.size(), &named.publicKey,
                                   &named.privateKey),
            CKR_TOKEN_WRITE_PROTECTED);
  const KeyPair pair = generateKeyPair(session);
  EXPECT_EQ(attribute(session, pair.publicKey, CKA_LABEL), bytesOf("PELU7 key 1"));
}

TEST_F(ObjectStoreTest, ADamagedIndexRecordIsDroppedNotTrusted) {
  loginUser(session);
  const KeyPair pair = generateKeyPair(session, "id", "named");
  ASSERT_EQ(attribute(session, pair.publicKey, CKA_LABEL), bytesOf("named"));
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  // Another program overwrites the label bytes of the first record without
  // its checksum, as a writer torn after its generation bump leaves them
  // (the tool does so only when forced).
  setenv("P11TEST_PIN", kUserPin, 1);
  ASSERT_EQ(runTool(tokenPath(), "login user --pin-env P11TEST_PIN"), 0);
  ASSERT_EQ(runTool(tokenPath(), "file write 3 510 --offset 8 --in-hex 7FFFFFF0 --force"), 0);
  ASSERT_EQ(runTool(tokenPath(), "file write 3 510 --offset 42 --in-hex 58585858 --force"), 0);

  session = openSession();
  const auto keys = findClass(session, CKO_PUBLIC_KEY);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(attribute(session, keys[0], CKA_LABEL), bytesOf("PELU7 key 1"));
}

TEST_F(ObjectStoreTest, SessionObjectsVanishWithTheirSession) {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  CK_OBJECT_CLASS objectClass = CKO_DATA;
  std::string value = "ephemeral";
  std::vector<CK_ATTRIBUTE> pattern{attr(CKA_CLASS, objectClass), attr(CKA_VALUE, value.data(), value.size())};
  ASSERT_EQ(p11->C_CreateObject(session, pattern.data(), pattern.size(), &handle), CKR_OK);
  CK_SESSION_HANDLE other = openSession(false);
  EXPECT_EQ(attribute(other, handle, CKA_VALUE), bytesOf("ephemeral"));
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  CK_ATTRIBUTE query{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p11->C_GetAttributeValue(other, handle, &query, 1), CKR_OBJECT_HANDLE_INVALID);
}

}  // namespace
}  // namespace p11test

namespace p11test {
namespace {

// The pelu7 tool beside a running module: it refuses to change the module's
// index and payload files, so the module's objects stay as they were.
TEST_F(ObjectStoreTest, TheToolRefusesToChangeTheModulesFiles) {
  loginUser(session);
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  ASSERT_EQ(createData("kept", CK_FALSE, &handle), CKR_OK);
  setenv("P11TEST_PIN", kUserPin, 1);
  ASSERT_EQ(runTool(tokenPath(), "login user --pin-env P11TEST_PIN"), 0);
  for (const char* command : {"file write 3 510 --offset 20 --in-hex 00", "file write 3 509 --in-hex 00",
                              "file delete 3 509", "file delete 3 510"}) {
    EXPECT_EQ(runTool(tokenPath(), command), 1) << command;
  }
  restartModule();
  session = openSession();
  const auto found = findClass(session, CKO_DATA);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(attribute(session, found[0], CKA_VALUE), bytesOf("kept"));
}

}  // namespace
}  // namespace p11test
