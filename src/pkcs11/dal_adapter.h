// The module's only road to the token: the public DAL exports, reached with
// the module's own port selected and inside the DAL's cross-process lock, and
// the one table that turns DAL results into Cryptoki results.
#pragma once

#include "pkcs11_api.h"

namespace p11 {

// What a failing DAL call was doing, where the same DAL code means different
// things to the caller.
enum class DalScope {
  Slot,     // a slot or token call: a lost device is CKR_TOKEN_NOT_PRESENT
  Session,  // a call on an open session: a lost device is CKR_DEVICE_REMOVED
};

// The Cryptoki result of a DAL result (0 gives CKR_OK).
CK_RV ckrFromDal(int dalResult, DalScope scope);
// Throws CkError with ckrFromDal unless dalResult is 0.
void check(int dalResult, DalScope scope);

// True for the results that mean the port could not be opened or the reader
// went away.
bool isDeviceLost(int dalResult);

// The port (an index for VORN_DAL_InitializeEx) the DAL has open for the
// module, or -1.
int openPortIndex();
// Opens the port of this index unless it is already the open one; the DAL
// result. Never relies on the DAL's lazy opening of USB1 or USB2.
int selectPort(int portIndex);
// Closes the port (after a device error, or at C_Finalize).
void closePort();
// Forgets the port a parent process opened, without closing it, in a child
// of fork: the parent still uses it.
void forgetInheritedPort();

// The DAL's cross-process lock, created at C_Initialize.
void createCardLock();
void destroyCardLock();

// Card work for one slot: the port selected and the cross-process lock held
// for the life of the object. Throws CkError when the port cannot be opened
// or the lock cannot be taken.
class CardAccess {
 public:
  CardAccess(int portIndex, DalScope scope);
  ~CardAccess();
  CardAccess(const CardAccess&) = delete;
  CardAccess& operator=(const CardAccess&) = delete;

 private:
  bool locked_ = false;
};

}  // namespace p11
