// Attribute templates from an application into the PKCS#11 module:
// C_CreateObject, C_FindObjectsInit, C_GetAttributeValue and
// C_SetAttributeValue on an in-memory virtual token, with the user logged in.
// What a template asks is what the object holds (never silently changed),
// every object a Find gives matches its template, answers never claim more
// than the caller's buffer, and no call fails as a module error.
//
// Input: steps, each a call (one byte) with its template and object choices.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "byte_source.h"
#include "exact_buffer.h"
#include "fuzz_check.h"
#include "pkcs11/pkcs11_api.h"

namespace fuzzing {
namespace {

constexpr int kMaxSteps = 16;
constexpr unsigned kMaxAttributes = 8;
constexpr std::size_t kMaxFound = 16;

const CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS,        CKA_TOKEN,       CKA_PRIVATE,         CKA_LABEL,        CKA_ID,
    CKA_VALUE,        CKA_APPLICATION, CKA_OBJECT_ID,       CKA_CERTIFICATE_TYPE, CKA_KEY_TYPE,
    CKA_MODULUS,      CKA_PUBLIC_EXPONENT, CKA_MODULUS_BITS, CKA_SENSITIVE,    CKA_EXTRACTABLE,
    CKA_MODIFIABLE,   CKA_DESTROYABLE, CKA_SIGN,            CKA_DECRYPT,      CKA_ENCRYPT,
    CKA_VERIFY,       CKA_SUBJECT,     CKA_PRIME_1,         CKA_PRIME_2,      CKA_EXPONENT_1,
    CKA_EXPONENT_2,   CKA_COEFFICIENT, CKA_PRIVATE_EXPONENT, CKA_TRUSTED,     CKA_START_DATE,
    CKA_ALWAYS_AUTHENTICATE, CKA_VENDOR_DEFINED | 1,
};

const CK_ULONG kNumbers[] = {CKO_DATA, CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY, CKO_SECRET_KEY,
                             CKK_RSA,  CKC_X_509,       1024,           0};

bool isBoolean(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_TOKEN: case CKA_PRIVATE: case CKA_SENSITIVE: case CKA_EXTRACTABLE: case CKA_MODIFIABLE:
    case CKA_DESTROYABLE: case CKA_SIGN: case CKA_DECRYPT: case CKA_ENCRYPT: case CKA_VERIFY:
    case CKA_TRUSTED: case CKA_ALWAYS_AUTHENTICATE:
      return true;
    default:
      return false;
  }
}

// The parts of a private key the card keeps to itself or keeps in its own
// form (no leading zeros).
bool keptByTheCard(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_MODULUS: case CKA_PUBLIC_EXPONENT: case CKA_PRIVATE_EXPONENT: case CKA_PRIME_1: case CKA_PRIME_2:
    case CKA_EXPONENT_1: case CKA_EXPONENT_2: case CKA_COEFFICIENT:
      return true;
    default:
      return false;
  }
}

using Bytes = std::vector<std::uint8_t>;

struct Attribute {
  CK_ATTRIBUTE_TYPE type = 0;
  Bytes value;
  bool nullValue = false;  // pValue NULL with a length
  CK_ULONG nullLength = 0;
};

CK_FUNCTION_LIST* p11 = nullptr;
CK_SESSION_HANDLE session = CK_INVALID_HANDLE;

void check(CK_RV rv, const char* call) {
  FUZZ_CHECK(rv != CKR_GENERAL_ERROR && rv != CKR_FUNCTION_FAILED, "%s: 0x%lx", call, rv);
}

// A formatted token, the user logged in in one read-write session.
void freshToken() {
  static unsigned char so[] = "87654321", pin[] = "12345678";
  unsigned char label[32];
  for (auto& c : label) c = ' ';
  p11->C_CloseAllSessions(0);
  FUZZ_CHECK(p11->C_InitToken(0, so, 8, label) == CKR_OK, "format");
  FUZZ_CHECK(p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) == CKR_OK,
             "session");
  FUZZ_CHECK(p11->C_Login(session, CKU_SO, so, 8) == CKR_OK && p11->C_InitPIN(session, pin, 8) == CKR_OK &&
                 p11->C_Logout(session) == CKR_OK && p11->C_Login(session, CKU_USER, pin, 8) == CKR_OK,
             "user PIN");
}

std::vector<Attribute> readTemplate(ByteSource& in) {
  std::vector<Attribute> out(in.below(kMaxAttributes + 1));
  for (auto& attribute : out) {
    const std::uint8_t pick = in.byte();
    attribute.type = pick < 0xF0 ? kTypes[pick % std::size(kTypes)] : in.u16();
    switch (in.byte() % 4) {
      case 0:
        attribute.value = in.bytes(in.u16() % 1100);
        break;
      case 1: {
        const CK_ULONG number = kNumbers[in.byte() % std::size(kNumbers)];
        attribute.value.resize(sizeof number);
        std::memcpy(attribute.value.data(), &number, sizeof number);
        break;
      }
      case 2:
        attribute.value = {in.byte()};
        break;
      default:
        attribute.nullValue = true;
        attribute.nullLength = in.byte();
    }
  }
  return out;
}

std::vector<CK_ATTRIBUTE> asTemplate(std::vector<Attribute>& attributes) {
  std::vector<CK_ATTRIBUTE> out;
  for (auto& a : attributes) {
    out.push_back({a.type, a.nullValue ? nullptr : a.value.data(),
                   a.nullValue ? a.nullLength : static_cast<CK_ULONG>(a.value.size())});
  }
  return out;
}

// The value the module gives for one attribute (nullopt when it gives none).
std::optional<Bytes> valueOf(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE query{type, nullptr, 0};
  if (p11->C_GetAttributeValue(session, object, &query, 1) != CKR_OK) return std::nullopt;
  ExactBuffer buffer(query.ulValueLen);
  query.pValue = buffer.data();
  FUZZ_CHECK(p11->C_GetAttributeValue(session, object, &query, 1) == CKR_OK, "a value vanished");
  FUZZ_CHECK(query.ulValueLen == buffer.size(), "sized %zu, gave %lu", buffer.size(), query.ulValueLen);
  return buffer.prefix(query.ulValueLen);
}

// The object holds what the template gave (booleans by their truth).
void expectHeld(CK_OBJECT_HANDLE object, const std::vector<Attribute>& attributes, bool privateKey) {
  for (const auto& a : attributes) {
    if (a.nullValue || (privateKey && keptByTheCard(a.type))) continue;
    const auto held = valueOf(object, a.type);
    FUZZ_CHECK(held.has_value(), "attribute 0x%lx not given back", a.type);
    if (isBoolean(a.type) && held->size() == 1 && a.value.size() == 1) {
      FUZZ_CHECK(((*held)[0] != 0) == (a.value[0] != 0), "boolean 0x%lx changed", a.type);
    } else {
      FUZZ_CHECK(*held == a.value, "attribute 0x%lx changed (%zu bytes asked, %zu held)", a.type, a.value.size(),
                 held->size());
    }
  }
}

CK_OBJECT_HANDLE chooseObject(ByteSource& in, const std::vector<CK_OBJECT_HANDLE>& known) {
  if (in.flag() && !known.empty()) return known[in.below(static_cast<unsigned>(known.size()))];
  return in.u16();
}

bool isPrivateKeyTemplate(const std::vector<Attribute>& attributes) {
  for (const auto& a : attributes) {
    if (a.type == CKA_CLASS && a.value.size() == sizeof(CK_ULONG)) {
      CK_ULONG value;
      std::memcpy(&value, a.value.data(), sizeof value);
      if (value == CKO_PRIVATE_KEY) return true;
    }
  }
  return false;
}

void getAttributes(ByteSource& in, CK_OBJECT_HANDLE object, std::vector<Attribute>& attributes) {
  std::vector<ExactBuffer> buffers;
  std::vector<CK_ATTRIBUTE> query;
  for (auto& a : attributes) {
    buffers.emplace_back(a.nullValue ? 0 : a.value.size());
    query.push_back({a.type, a.nullValue ? nullptr : buffers.back().data(),
                     a.nullValue ? a.nullLength : static_cast<CK_ULONG>(buffers.back().size())});
  }
  const CK_RV rv = p11->C_GetAttributeValue(session, object, query.data(), query.size());
  check(rv, "C_GetAttributeValue");
  (void)in;
  if (rv != CKR_OK && rv != CKR_ATTRIBUTE_SENSITIVE && rv != CKR_ATTRIBUTE_TYPE_INVALID &&
      rv != CKR_BUFFER_TOO_SMALL) {
    return;
  }
  for (std::size_t i = 0; i < query.size(); ++i) {
    const CK_ULONG length = query[i].ulValueLen;
    FUZZ_CHECK(rv != CKR_OK || length != CK_UNAVAILABLE_INFORMATION, "OK with an attribute not given");
    if (query[i].pValue != nullptr && length != CK_UNAVAILABLE_INFORMATION) {
      FUZZ_CHECK(length <= buffers[i].size(), "%lu bytes claimed in a buffer of %zu", length, buffers[i].size());
    }
  }
}

}  // namespace
}  // namespace fuzzing

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("PELU7_READERS", "USB1=vtoken:", 1);
  setenv("PELU7_PKCS11_PORTS", "1", 1);
  unsetenv("PELU7_APDU_TRACE");
  FUZZ_CHECK(C_GetFunctionList(&fuzzing::p11) == CKR_OK, "function list");
  FUZZ_CHECK(fuzzing::p11->C_Initialize(nullptr) == CKR_OK, "initialise");
  fuzzing::freshToken();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace fuzzing;
  ByteSource in(data, size);
  std::vector<CK_OBJECT_HANDLE> created, known;
  bool cardFull = false;
  for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
    const std::uint8_t call = in.byte() % 4;
    std::vector<Attribute> attributes = readTemplate(in);
    std::vector<CK_ATTRIBUTE> pattern = asTemplate(attributes);
    switch (call) {
      case 0: {
        CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
        const CK_RV rv = p11->C_CreateObject(session, pattern.data(), pattern.size(), &object);
        check(rv, "C_CreateObject");
        cardFull = cardFull || rv == CKR_DEVICE_MEMORY;
        if (rv != CKR_OK) break;
        FUZZ_CHECK(object != CK_INVALID_HANDLE, "no handle");
        expectHeld(object, attributes, isPrivateKeyTemplate(attributes));
        created.push_back(object);
        known.push_back(object);
        break;
      }
      case 1: {
        const CK_RV rv = p11->C_FindObjectsInit(session, pattern.data(), pattern.size());
        check(rv, "C_FindObjectsInit");
        if (rv != CKR_OK) break;
        CK_OBJECT_HANDLE found[kMaxFound];
        CK_ULONG count = 0;
        FUZZ_CHECK(p11->C_FindObjects(session, found, kMaxFound, &count) == CKR_OK && count <= kMaxFound, "find");
        FUZZ_CHECK(p11->C_FindObjectsFinal(session) == CKR_OK, "find final");
        for (CK_ULONG i = 0; i < count; ++i) {
          for (const auto& a : attributes) {
            FUZZ_CHECK(!a.nullValue, "a template with a NULL value matched");
            FUZZ_CHECK(valueOf(found[i], a.type) == a.value, "found object 0x%lx does not match 0x%lx", found[i],
                       a.type);
          }
          known.push_back(found[i]);
        }
        break;
      }
      case 2:
        getAttributes(in, chooseObject(in, known), attributes);
        break;
      default: {
        const CK_OBJECT_HANDLE object = chooseObject(in, known);
        const CK_RV rv = p11->C_SetAttributeValue(session, object, pattern.data(), pattern.size());
        check(rv, "C_SetAttributeValue");
        if (rv == CKR_OK) expectHeld(object, attributes, false);
        break;
      }
    }
  }
  for (CK_OBJECT_HANDLE object : created) p11->C_DestroyObject(session, object);
  // Key pairs and the space of deleted files stay on the card until a format.
  if (cardFull) freshToken();
  return 0;
}
