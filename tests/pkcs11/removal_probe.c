/* A program that stays loaded while its token is pulled out, put back and
 * its reader service restarted, told what to do one line at a time on its
 * standard input. It prints the return codes it sees, one "name=0x..." pair
 * each, then DONE, and never calls C_Finalize until "quit".
 *
 *   setup    C_Initialize, a session, C_Login, the key KEY_ID_HEX, a signature
 *   out      while the token is out: slot flags, the slot list, C_OpenSession,
 *            the old session twice, a slot event without blocking
 *   back     a blocking slot event, then a new session, C_Login and a
 *            signature, tried until one succeeds (20 s at most); prints the
 *            milliseconds from the command to that signature
 *   restart  the old session's signature, then as back without the event
 *   quit     C_Finalize
 *
 * usage: pkcs11_removal_probe MODULE KEY_ID_HEX   (the PIN in P11_PIN) */
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static CK_FUNCTION_LIST_PTR p11;
static const char* pin;
static unsigned char id[64];
static int idLength;
static CK_SLOT_ID slot = 0;
static CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
static CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;

static void show(const char* name, CK_RV rv) { printf("%s=0x%lx\n", name, (unsigned long)rv); }

static double nowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
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

static CK_RV sign(CK_SESSION_HANDLE in, CK_OBJECT_HANDLE with) {
  CK_MECHANISM mechanism = {CKM_SHA256_RSA_PKCS, NULL, 0};
  unsigned char message[] = "signed across a removal", signature[512];
  CK_ULONG length = sizeof signature;
  CK_RV rv = p11->C_SignInit(in, &mechanism, with);
  return rv != CKR_OK ? rv : p11->C_Sign(in, message, sizeof message - 1, signature, &length);
}

/* A new session, its login, the key and a signature; the first failure. */
static CK_RV freshSignature(void) {
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &privateClass, sizeof privateClass}, {CKA_ID, id, (CK_ULONG)idLength}};
  CK_ULONG found = 0;
  CK_RV rv = p11->C_OpenSession(slot, CKF_SERIAL_SESSION, NULL, NULL, &session);
  if (rv != CKR_OK) return rv;
  rv = p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin, (CK_ULONG)strlen(pin));
  if (rv == CKR_OK) rv = p11->C_FindObjectsInit(session, pattern, 2);
  if (rv == CKR_OK) rv = p11->C_FindObjects(session, &key, 1, &found);
  if (rv == CKR_OK) rv = p11->C_FindObjectsFinal(session);
  if (rv == CKR_OK && found != 1) rv = CKR_KEY_HANDLE_INVALID;
  if (rv == CKR_OK) rv = sign(session, key);
  if (rv != CKR_OK) p11->C_CloseSession(session);
  return rv;
}

/* Tries freshSignature until it succeeds; prints the codes of the failed
 * tries (each different code once) and the time to success. */
static void signAgain(double since) {
  CK_RV last = CKR_OK, rv;
  int tries = 0;
  while ((rv = freshSignature()) != CKR_OK && nowMs() - since < 20000) {
    if (rv != last) show("retry", rv);
    last = rv;
    ++tries;
    struct timespec pause = {0, 50 * 1000 * 1000};
    nanosleep(&pause, NULL);
  }
  show("signature", rv);
  printf("failed_tries=%d\nms_to_signature=%.0f\n", tries, nowMs() - since);
}

int main(int argc, char** argv) {
  pin = getenv("P11_PIN");
  idLength = argc == 3 ? hexBytes(argv[2], id, sizeof id) : -1;
  if (idLength < 0 || pin == NULL) {
    fprintf(stderr, "usage: %s MODULE KEY_ID_HEX (PIN in P11_PIN)\n", argv[0]);
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  CK_C_GetFunctionList getList = library ? (CK_C_GetFunctionList)dlsym(library, "C_GetFunctionList") : NULL;
  if (getList == NULL || getList(&p11) != CKR_OK) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 2;
  }
  setvbuf(stdout, NULL, _IOLBF, 0);
  char line[64];
  while (fgets(line, sizeof line, stdin) != NULL) {
    const double since = nowMs();
    if (strncmp(line, "setup", 5) == 0) {
      CK_ULONG slots = 1;
      CK_SLOT_ID event = 0;
      show("initialize", p11->C_Initialize(NULL));
      show("slot_list", p11->C_GetSlotList(CK_TRUE, &slot, &slots));
      show("first_signature", freshSignature());
      show("event_baseline", p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, NULL));
    } else if (strncmp(line, "out", 3) == 0) {
      CK_SLOT_INFO info;
      CK_ULONG count = 0;
      CK_SESSION_HANDLE another = CK_INVALID_HANDLE;
      CK_SESSION_INFO sessionInfo;
      CK_SLOT_ID event = 99;
      CK_RV rv = p11->C_GetSlotInfo(slot, &info);
      show("slot_info", rv);
      printf("token_present=%d\n", rv == CKR_OK && (info.flags & CKF_TOKEN_PRESENT) != 0);
      show("slot_list_present", p11->C_GetSlotList(CK_TRUE, NULL, &count));
      printf("present_slots=%lu\n", (unsigned long)count);
      show("open_session", p11->C_OpenSession(slot, CKF_SERIAL_SESSION, NULL, NULL, &another));
      show("old_session_sign", sign(session, key));
      show("old_session_info", p11->C_GetSessionInfo(session, &sessionInfo));
      show("event_removal", p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, NULL));
      printf("event_slot=%lu\n", (unsigned long)event);
    } else if (strncmp(line, "back", 4) == 0) {
      CK_SLOT_ID event = 99;
      show("event_insertion", p11->C_WaitForSlotEvent(0, &event, NULL));
      printf("event_slot=%lu\n", (unsigned long)event);
      signAgain(since);
    } else if (strncmp(line, "restart", 7) == 0) {
      show("old_session_sign", sign(session, key));
      signAgain(since);
    } else if (strncmp(line, "quit", 4) == 0) {
      show("finalize", p11->C_Finalize(NULL));
      printf("DONE\n");
      return 0;
    }
    printf("DONE\n");
  }
  return 1;
}
