// The status words the card operating system answers with (ISO 7816-4),
// named once in the card's vocabulary.
#pragma once

#include "card/vocabulary.h"

namespace vtoken {

using card::kSwBeyondEnd;
using card::kSwBlocked;
using card::kSwConditionsNotSatisfied;
using card::kSwFileExists;
using card::kSwFileNotFound;
using card::kSwIncompatibleFile;
using card::kSwMemoryFailure;
using card::kSwNoCurrentEf;
using card::kSwNoPreciseDiagnosis;
using card::kSwNotEnoughMemory;
using card::kSwOk;
using card::kSwReferenceNotFound;
using card::kSwSecurityNotSatisfied;
using card::kSwUnknownClass;
using card::kSwUnknownInstruction;
using card::kSwWrongData;
using card::kSwWrongLength;
using card::kSwWrongP1P2;
using card::swTriesLeft;

}  // namespace vtoken
