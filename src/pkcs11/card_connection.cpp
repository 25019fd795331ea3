// The port the DAL has open for the module and this process's handle of the
// DAL's cross-process lock.
#include "card.h"
#include "ck_error.h"
#include "vorn_dal_pelu7.h"

namespace p11::card_connection {
namespace {

int currentPort = -1;
void* cardLock = nullptr;

}  // namespace

bool select(int portIndex) {
  if (currentPort == portIndex) return true;
  currentPort = -1;
  if (VORN_DAL_InitializeEx(portIndex) != 0) return false;
  currentPort = portIndex;
  return true;
}

bool reopen(int portIndex) {
  currentPort = -1;
  if (VORN_DAL_InitializeEx(portIndex) != 0) return false;
  currentPort = portIndex;
  return true;
}

bool isOpen(int portIndex) { return currentPort == portIndex; }

void close() {
  VORN_DAL_Finalize();
  currentPort = -1;
}

void forgetInherited() {
  // The driver keeps the parent's connection alive in a child and only drops
  // the handle, so finalising here never disturbs the parent's reader.
  VORN_DAL_Finalize();
  currentPort = -1;
  // The parent's lock handle is the parent's: a child that shared it would
  // share one holder with it, and a kill of either would leave the other
  // holding a lock it cannot release. It is dropped unclosed; the child
  // makes its own.
  cardLock = nullptr;
}

void createLock() {
  if (cardLock != nullptr) return;
  const int rc = VORN_DAL_CreateMutex(&cardLock);
  if (rc != 0) {
    cardLock = nullptr;
    fail(rc == VORN_DAL_ERR_CREATE_LOCK ? CKR_CANT_LOCK : CKR_FUNCTION_FAILED);
  }
}

void destroyLock() {
  if (cardLock != nullptr) VORN_DAL_DestroyMutex(cardLock);
  cardLock = nullptr;
}

void* lockHandle() { return cardLock; }

}  // namespace p11::card_connection
