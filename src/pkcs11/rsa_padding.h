// The encodings of PKCS#1 (RFC 8017) that the module applies around the
// card's raw private-key operation, for 1024-bit keys.
#pragma once

#include <openssl/evp.h>

#include "bytes.h"

namespace p11 {

// EMSA-PKCS1-v1_5 block type 1 around data (at most 117 bytes, else
// CKR_DATA_LEN_RANGE).
SecureBytes encodePkcs1Signature(const unsigned char* data, std::size_t length);
// The DER DigestInfo of a digest made with md.
Bytes digestInfo(const EVP_MD* md, const unsigned char* digest, std::size_t length);
// EMSA-PSS encoding of an mHash (emBits 1023); CKR_MECHANISM_PARAM_INVALID
// when hash and salt do not fit.
SecureBytes encodePss(const EVP_MD* hash, const EVP_MD* mgf1, const unsigned char* mHash, std::size_t hashLength,
                      std::size_t saltLength);
// EMSA-PSS verification of an encoded block (emBits 1023) against mHash.
bool checkPss(const EVP_MD* hash, const EVP_MD* mgf1, const unsigned char* mHash, std::size_t hashLength,
              std::size_t saltLength, const Bytes& block);
// EME-OAEP encoding of a message with a label (RFC 8017, 7.1.1);
// CKR_DATA_LEN_RANGE when the message does not fit beside two hashes.
SecureBytes encodeOaep(const EVP_MD* hash, const EVP_MD* mgf1, const Bytes& label, const unsigned char* message,
                       std::size_t length);
// Removes EME-OAEP padding without branching on secret data; false when the
// block is not a valid encoding with this label.
bool decodeOaep(const EVP_MD* hash, const EVP_MD* mgf1, const Bytes& label, const SecureBytes& block,
                SecureBytes& message);
// Removes EME-PKCS1-v1_5 (type 2) padding without branching on secret data;
// false when the block is not validly padded.
bool decodePkcs1Encryption(const SecureBytes& block, SecureBytes& message);

}  // namespace p11
