/* A long-lived signer, as ssh-agent is: loads a PKCS#11 module, logs in
 * once and signs every 20 ms until SIGTERM, then prints how many signatures
 * passed and failed (with the first failure's code) and exits 0 only when
 * none failed.
 *
 * usage: pkcs11_long_signer MODULE KEY_ID_HEX   (the PIN in P11_PIN) */
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static volatile sig_atomic_t stopping = 0;

static void stop(int signal_number) {
  (void)signal_number;
  stopping = 1;
}

static int hexBytes(const char* hex, unsigned char* out, size_t capacity) {
  size_t length = strlen(hex) / 2;
  if (length == 0 || length > capacity) return -1;
  for (size_t i = 0; i < length; ++i) {
    unsigned value = 0;
    if (sscanf(hex + 2 * i, "%2x", &value) != 1) return -1;
    out[i] = (unsigned char)value;
  }
  return (int)length;
}

int main(int argc, char** argv) {
  const char* pin = getenv("P11_PIN");
  unsigned char id[64];
  const int idLength = argc == 3 ? hexBytes(argv[2], id, sizeof id) : -1;
  if (idLength < 0 || pin == NULL) {
    fprintf(stderr, "usage: %s MODULE KEY_ID_HEX (PIN in P11_PIN)\n", argv[0]);
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  CK_C_GetFunctionList getList = library ? (CK_C_GetFunctionList)dlsym(library, "C_GetFunctionList") : NULL;
  CK_FUNCTION_LIST_PTR p11 = NULL;
  if (getList == NULL || getList(&p11) != CKR_OK) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 2;
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = stop;
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);

  CK_SLOT_ID slot = 0;
  CK_ULONG slots = 1;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &privateClass, sizeof privateClass}, {CKA_ID, id, (CK_ULONG)idLength}};
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  CK_ULONG found = 0;
  CK_RV rv = p11->C_Initialize(NULL);
  if (rv == CKR_OK) rv = p11->C_GetSlotList(CK_TRUE, &slot, &slots);
  if (rv == CKR_OK) rv = p11->C_OpenSession(slot, CKF_SERIAL_SESSION, NULL, NULL, &session);
  if (rv == CKR_OK) rv = p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin, (CK_ULONG)strlen(pin));
  if (rv == CKR_OK) rv = p11->C_FindObjectsInit(session, pattern, 2);
  if (rv == CKR_OK) rv = p11->C_FindObjects(session, &key, 1, &found);
  if (rv == CKR_OK) rv = p11->C_FindObjectsFinal(session);
  if (rv != CKR_OK || found != 1) {
    fprintf(stderr, "set-up failed: 0x%lx, %lu keys found\n", (unsigned long)rv, (unsigned long)found);
    return 2;
  }

  unsigned long passed = 0, failed = 0;
  CK_RV firstFailure = CKR_OK;
  const struct timespec pause = {0, 20 * 1000 * 1000};
  while (!stopping) {
    CK_MECHANISM mechanism = {CKM_SHA256_RSA_PKCS, NULL, 0};
    unsigned char message[] = "signed by the long-lived signer", signature[512];
    CK_ULONG length = sizeof signature;
    rv = p11->C_SignInit(session, &mechanism, key);
    if (rv == CKR_OK) rv = p11->C_Sign(session, message, sizeof message, signature, &length);
    if (rv == CKR_OK) {
      ++passed;
    } else {
      if (failed++ == 0) firstFailure = rv;
    }
    nanosleep(&pause, NULL);
  }
  p11->C_Finalize(NULL);
  printf("signatures passed %lu failed %lu", passed, failed);
  if (failed != 0) printf(" (first 0x%lx)", (unsigned long)firstFailure);
  printf("\n");
  return failed == 0 && passed > 0 ? 0 : 1;
}
