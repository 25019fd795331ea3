// The status words the card operating system answers with (ISO 7816-4).
#pragma once

#include <cstdint>

namespace vtoken {

inline constexpr std::uint16_t kSwOk = 0x9000;
inline constexpr std::uint16_t kSwWrongLength = 0x6700;
inline constexpr std::uint16_t kSwIncompatibleFile = 0x6981;      // wrong file type for the command
inline constexpr std::uint16_t kSwSecurityNotSatisfied = 0x6982;
inline constexpr std::uint16_t kSwBlocked = 0x6983;
inline constexpr std::uint16_t kSwConditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t kSwNoCurrentEf = 0x6986;
inline constexpr std::uint16_t kSwWrongData = 0x6A80;
inline constexpr std::uint16_t kSwFileNotFound = 0x6A82;
inline constexpr std::uint16_t kSwNotEnoughMemory = 0x6A84;
inline constexpr std::uint16_t kSwWrongP1P2 = 0x6A86;
inline constexpr std::uint16_t kSwReferenceNotFound = 0x6A88;
inline constexpr std::uint16_t kSwFileExists = 0x6A89;
inline constexpr std::uint16_t kSwBeyondEnd = 0x6B00;
inline constexpr std::uint16_t kSwUnknownInstruction = 0x6D00;
inline constexpr std::uint16_t kSwUnknownClass = 0x6E00;
inline constexpr std::uint16_t kSwNoPreciseDiagnosis = 0x6F00;

// 63Cx: a wrong secret was presented, x tries are left (0 means now blocked).
constexpr std::uint16_t swTriesLeft(unsigned tries) {
  return static_cast<std::uint16_t>(0x63C0 | (tries & 0x0F));
}

}  // namespace vtoken
