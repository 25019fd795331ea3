// C_Initialize and C_Finalize: the slots from the module's port setting, the
// DAL's cross-process lock, and a fresh start in a child of fork.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "pkcs11_api.h"

namespace p11 {

CK_RV initializeModule(const CK_C_INITIALIZE_ARGS* args);
CK_RV finalizeModule(void* reserved);

// The ports of the slots: PELU7_PKCS11_PORTS lists port numbers ("1,2" means
// USB1 and USB2, the default); slot ids are the DAL's port indexes.
std::vector<int> configuredPortIndexes();

// For a waiter that sleeps outside the module lock (C_WaitForSlotEvent):
// the number of C_Finalize calls so far, and a sleep of up to `period` that
// ends early, returning false, once C_Finalize was called after `since`.
std::uint64_t finalizationCount();
bool sleepUnlessFinalized(std::uint64_t since, std::chrono::milliseconds period);

}  // namespace p11
