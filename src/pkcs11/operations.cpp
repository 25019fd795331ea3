// Sign, verify, encrypt and decrypt operations: their set-up, multi-part
// collection, and the one-shot and final steps with size queries.
#include <cstring>

#include "ck_error.h"
#include "crypto_calls.h"
#include "rsa_padding.h"

namespace p11 {
namespace {

constexpr std::size_t kMaxCollected = 4096;  // parts of mechanisms that do not hash

std::optional<Operation>& slotFor(Session& session, OperationKind kind) {
  switch (kind) {
    case OperationKind::Sign:
      return session.sign;
    case OperationKind::Verify:
      return session.verify;
    case OperationKind::Encrypt:
      return session.encrypt;
    case OperationKind::Decrypt:
      break;
  }
  return session.decrypt;
}

CK_FLAGS flagOf(OperationKind kind) {
  switch (kind) {
    case OperationKind::Sign:
      return CKF_SIGN;
    case OperationKind::Verify:
      return CKF_VERIFY;
    case OperationKind::Encrypt:
      return CKF_ENCRYPT;
    case OperationKind::Decrypt:
      break;
  }
  return CKF_DECRYPT;
}

CK_ATTRIBUTE_TYPE usageOf(OperationKind kind) {
  switch (kind) {
    case OperationKind::Sign:
      return CKA_SIGN;
    case OperationKind::Verify:
      return CKA_VERIFY;
    case OperationKind::Encrypt:
      return CKA_ENCRYPT;
    case OperationKind::Decrypt:
      break;
  }
  return CKA_DECRYPT;
}

PssParameters pssParameters(const Mechanism& mechanism, const CK_MECHANISM& given) {
  require(given.pParameter != nullptr && given.ulParameterLen == sizeof(CK_RSA_PKCS_PSS_PARAMS),
          CKR_MECHANISM_PARAM_INVALID);
  CK_RSA_PKCS_PSS_PARAMS params;
  std::memcpy(&params, given.pParameter, sizeof params);
  PssParameters pss{digestOfHashMechanism(params.hashAlg), digestOfMgf(params.mgf), params.sLen};
  require(pss.hash != nullptr && pss.mgf1 != nullptr, CKR_MECHANISM_PARAM_INVALID);
  if (mechanism.digest != nullptr) {
    require(EVP_MD_get_type(mechanism.digest()) == EVP_MD_get_type(pss.hash), CKR_MECHANISM_PARAM_INVALID);
  }
  require(static_cast<std::size_t>(EVP_MD_get_size(pss.hash)) + pss.saltLength + 2 <= kModulusBytes,
          CKR_MECHANISM_PARAM_INVALID);
  return pss;
}

// The hash, mask generator and label of OAEP. SHA-512 does not fit: two of
// its hashes and two bytes exceed a 1024-bit key.
OaepParameters oaepParameters(const CK_MECHANISM& given) {
  require(given.pParameter != nullptr && given.ulParameterLen == sizeof(CK_RSA_PKCS_OAEP_PARAMS),
          CKR_MECHANISM_PARAM_INVALID);
  CK_RSA_PKCS_OAEP_PARAMS params;
  std::memcpy(&params, given.pParameter, sizeof params);
  OaepParameters oaep{digestOfHashMechanism(params.hashAlg), digestOfMgf(params.mgf), {}};
  require(oaep.hash != nullptr && oaep.mgf1 != nullptr, CKR_MECHANISM_PARAM_INVALID);
  require(2 * static_cast<std::size_t>(EVP_MD_get_size(oaep.hash)) + 2 <= kModulusBytes, CKR_MECHANISM_PARAM_INVALID);
  // The label is the only source there is; no source with no data is read
  // as an empty label, as some callers send it.
  const bool labelGiven = params.source == CKZ_DATA_SPECIFIED;
  require(labelGiven || (params.source == 0 && params.ulSourceDataLen == 0), CKR_MECHANISM_PARAM_INVALID);
  require(params.pSourceData != nullptr || params.ulSourceDataLen == 0, CKR_MECHANISM_PARAM_INVALID);
  if (params.ulSourceDataLen != 0) {
    const auto* label = static_cast<const unsigned char*>(params.pSourceData);
    oaep.label.assign(label, label + params.ulSourceDataLen);
  }
  return oaep;
}

Bytes finishDigest(Operation& operation) {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  require(EVP_DigestFinal_ex(operation.digest.get(), digest.data(), &length) == 1, CKR_FUNCTION_FAILED);
  digest.resize(length);
  return digest;
}

Bytes collected(const Operation& operation) { return Bytes(operation.data.data(), operation.data.data() + operation.data.size()); }

const EVP_MD* pkcs1Digest(const Operation& operation) {
  return operation.mechanism->digest != nullptr ? operation.mechanism->digest() : nullptr;
}

// The block the card's raw operation signs.
SecureBytes signingBlock(Operation& operation) {
  switch (operation.mechanism->padding) {
    case Padding::Pkcs1: {
      if (operation.digest == nullptr) return encodePkcs1Signature(operation.data.data(), operation.data.size());
      const Bytes digest = finishDigest(operation);
      const Bytes info = digestInfo(pkcs1Digest(operation), digest.data(), digest.size());
      return encodePkcs1Signature(info.data(), info.size());
    }
    case Padding::Raw: {
      require(operation.data.size() <= kModulusBytes, CKR_DATA_LEN_RANGE);
      SecureBytes block(kModulusBytes);
      if (!operation.data.empty()) {
        std::memcpy(block.data() + kModulusBytes - operation.data.size(), operation.data.data(), operation.data.size());
      }
      return block;
    }
    case Padding::Pss: {
      if (operation.digest == nullptr) {
        return encodePss(operation.pss.hash, operation.pss.mgf1, operation.data.data(), operation.data.size(),
                         operation.pss.saltLength);
      }
      const Bytes digest = finishDigest(operation);
      return encodePss(operation.pss.hash, operation.pss.mgf1, digest.data(), digest.size(), operation.pss.saltLength);
    }
    default:
      fail(CKR_MECHANISM_INVALID);
  }
}

RsaPublicKey publicKeyOf(const Object& key) {
  return {key.attributes.at(CKA_MODULUS), key.attributes.at(CKA_PUBLIC_EXPONENT)};
}

std::size_t outputLength(const Object& key) { return key.attributes.at(CKA_MODULUS).size(); }

Bytes runOperation(const Session& session, Operation& operation, const Object& key) {
  switch (operation.kind) {
    case OperationKind::Sign: {
      const SecureBytes signature = privateKeyOperation(session, key, signingBlock(operation));
      return Bytes(signature.data(), signature.data() + signature.size());
    }
    case OperationKind::Encrypt: {
      const RsaPublicKey publicKey = publicKeyOf(key);
      switch (operation.mechanism->padding) {
        case Padding::Raw:
          return encryptRaw(publicKey, collected(operation));
        case Padding::Oaep:
          return encryptOaep(publicKey, operation.oaep, collected(operation));
        default:
          return encryptPkcs1(publicKey, collected(operation));
      }
    }
    case OperationKind::Decrypt: {
      require(operation.data.size() == kModulusBytes, CKR_ENCRYPTED_DATA_LEN_RANGE);
      require(Bytes(operation.data.data(), operation.data.data() + kModulusBytes) < key.attributes.at(CKA_MODULUS),
              CKR_ENCRYPTED_DATA_INVALID);
      const SecureBytes block = privateKeyOperation(session, key, operation.data);
      if (operation.mechanism->padding == Padding::Raw) return Bytes(block.data(), block.data() + block.size());
      SecureBytes message;
      const bool decoded = operation.mechanism->padding == Padding::Oaep
                               ? decodeOaep(operation.oaep.hash, operation.oaep.mgf1, operation.oaep.label, block,
                                            message)
                               : decodePkcs1Encryption(block, message);
      require(decoded, CKR_ENCRYPTED_DATA_INVALID);
      return Bytes(message.data(), message.data() + message.size());
    }
    case OperationKind::Verify:
      break;
  }
  fail(CKR_GENERAL_ERROR);
}

// The key of an active operation; a private key's login is checked where
// the card is used, so a lost login reads as CKR_USER_NOT_LOGGED_IN.
const Object& operationKey(CK_OBJECT_HANDLE handle) {
  const auto at = state().objects.find(handle);
  require(at != state().objects.end(), CKR_KEY_HANDLE_INVALID);
  return at->second;
}

void collect(Operation& operation, const unsigned char* part, CK_ULONG length) {
  require(part != nullptr || length == 0, CKR_ARGUMENTS_BAD);
  if (operation.digest != nullptr) {
    require(length == 0 || EVP_DigestUpdate(operation.digest.get(), part, length) == 1, CKR_FUNCTION_FAILED);
    return;
  }
  require(operation.data.size() + length <= kMaxCollected, CKR_DATA_LEN_RANGE);
  SecureBytes joined(operation.data.size() + length);
  if (!operation.data.empty()) std::memcpy(joined.data(), operation.data.data(), operation.data.size());
  if (length != 0) std::memcpy(joined.data() + operation.data.size(), part, length);
  operation.data = joined;
}

}  // namespace

CK_RV operationInit(CK_SESSION_HANDLE handle, OperationKind kind, const CK_MECHANISM* mechanism,
                    CK_OBJECT_HANDLE keyHandle) {
  Session& session = sessionByHandle(handle);
  require(mechanism != nullptr, CKR_ARGUMENTS_BAD);
  auto& active = slotFor(session, kind);
  require(!active.has_value(), CKR_OPERATION_ACTIVE);
  const auto at = state().objects.find(keyHandle);
  require(at != state().objects.end() && at->second.slot == session.slot, CKR_KEY_HANDLE_INVALID);
  // A private key out of reach only for want of this application's login
  // (never made, or ended) says so.
  require(isVisible(session, at->second), CKR_USER_NOT_LOGGED_IN);
  const Object& key = at->second;
  const bool privateKind = kind == OperationKind::Sign || kind == OperationKind::Decrypt;
  // A data object or a certificate is no key at all.
  require(key.objectClass == CKO_PRIVATE_KEY || key.objectClass == CKO_PUBLIC_KEY, CKR_KEY_HANDLE_INVALID);
  // A public key cannot sign or decrypt, as a private key cannot encrypt:
  // the key's function is refused, not its type.
  require(!privateKind || key.objectClass == CKO_PRIVATE_KEY, CKR_KEY_FUNCTION_NOT_PERMITTED);
  const auto usage = key.attributes.find(usageOf(kind));
  require(usage != key.attributes.end() && usage->second == boolValue(true), CKR_KEY_FUNCTION_NOT_PERMITTED);
  const Mechanism* found = findMechanism(mechanism->mechanism);
  require(found != nullptr && (found->flags & flagOf(kind)) != 0, CKR_MECHANISM_INVALID);
  if (privateKind) require(userLoggedIn(slotById(session.slot)), CKR_USER_NOT_LOGGED_IN);

  Operation operation;
  operation.kind = kind;
  operation.mechanism = found;
  operation.key = keyHandle;
  if (found->padding == Padding::Pss) operation.pss = pssParameters(*found, *mechanism);
  if (found->padding == Padding::Oaep) operation.oaep = oaepParameters(*mechanism);
  if (found->digest != nullptr) {
    operation.digest.reset(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    require(operation.digest != nullptr && EVP_DigestInit_ex(operation.digest.get(), found->digest(), nullptr) == 1,
            CKR_HOST_MEMORY);
  }
  active = std::move(operation);
  return CKR_OK;
}

CK_RV operationUpdate(CK_SESSION_HANDLE handle, OperationKind kind, const unsigned char* part, CK_ULONG length) {
  Session& session = sessionByHandle(handle);
  auto& active = slotFor(session, kind);
  require(active.has_value(), CKR_OPERATION_NOT_INITIALIZED);
  // Encryption and decryption with RSA are single-part.
  if (kind == OperationKind::Encrypt || kind == OperationKind::Decrypt) {
    active.reset();
    fail(CKR_FUNCTION_NOT_SUPPORTED);
  }
  try {
    collect(*active, part, length);
    active->updated = true;
  } catch (...) {
    active.reset();
    throw;
  }
  return CKR_OK;
}

CK_RV operationFinish(CK_SESSION_HANDLE handle, OperationKind kind, const unsigned char* data, CK_ULONG length,
                      unsigned char* out, CK_ULONG* outLength, bool oneShot) {
  Session& session = sessionByHandle(handle);
  auto& active = slotFor(session, kind);
  require(active.has_value(), CKR_OPERATION_NOT_INITIALIZED);
  try {
    require(outLength != nullptr, CKR_ARGUMENTS_BAD);
    require(!(oneShot && active->updated), CKR_OPERATION_ACTIVE);
    const Object& key = operationKey(active->key);
    if (out == nullptr) {
      *outLength = outputLength(key);  // a size query leaves the operation active
      return CKR_OK;
    }
    if (kind != OperationKind::Decrypt && *outLength < outputLength(key)) {
      *outLength = outputLength(key);
      return CKR_BUFFER_TOO_SMALL;
    }
    Operation attempt = *active;  // a too-small buffer leaves the operation as it was
    if (attempt.digest != nullptr) {
      attempt.digest.reset(EVP_MD_CTX_new(), EVP_MD_CTX_free);
      require(attempt.digest != nullptr && EVP_MD_CTX_copy_ex(attempt.digest.get(), active->digest.get()) == 1,
              CKR_HOST_MEMORY);
    }
    if (oneShot) collect(attempt, data, length);
    const Bytes result = runOperation(session, attempt, key);
    if (*outLength < result.size()) {
      *outLength = result.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    if (!result.empty()) std::memcpy(out, result.data(), result.size());
    *outLength = result.size();
    active.reset();
    return CKR_OK;
  } catch (...) {
    active.reset();
    throw;
  }
}

CK_RV verifyFinish(CK_SESSION_HANDLE handle, const unsigned char* data, CK_ULONG length,
                   const unsigned char* signature, CK_ULONG signatureLength, bool oneShot) {
  Session& session = sessionByHandle(handle);
  auto& active = slotFor(session, OperationKind::Verify);
  require(active.has_value(), CKR_OPERATION_NOT_INITIALIZED);
  Operation operation = std::move(*active);
  active.reset();
  require(signature != nullptr, CKR_ARGUMENTS_BAD);
  require(!(oneShot && operation.updated), CKR_OPERATION_ACTIVE);
  const Object& key = operationKey(operation.key);
  if (oneShot) collect(operation, data, length);
  require(signatureLength == outputLength(key), CKR_SIGNATURE_LEN_RANGE);
  const Bytes sig(signature, signature + signatureLength);
  const RsaPublicKey publicKey = publicKeyOf(key);
  bool valid = false;
  switch (operation.mechanism->padding) {
    case Padding::Pkcs1:
      valid = operation.digest != nullptr
                  ? verifyPkcs1(publicKey, pkcs1Digest(operation), finishDigest(operation), sig)
                  : verifyPkcs1(publicKey, nullptr, collected(operation), sig);
      break;
    case Padding::Raw:
      valid = verifyRaw(publicKey, collected(operation), sig);
      break;
    case Padding::Pss: {
      const Bytes digest = operation.digest != nullptr ? finishDigest(operation) : collected(operation);
      require(digest.size() == static_cast<std::size_t>(EVP_MD_get_size(operation.pss.hash)), CKR_DATA_LEN_RANGE);
      valid = verifyPss(publicKey, operation.pss, digest, sig);
      break;
    }
    default:
      fail(CKR_MECHANISM_INVALID);
  }
  return valid ? CKR_OK : CKR_SIGNATURE_INVALID;
}

}  // namespace p11
