/* Loads and unloads the module 20 times as a host that loads modules per
 * job does (dlopen, C_Initialize, a session with a login and some work,
 * C_Finalize, dlclose), under LeakSanitizer: whatever a cycle leaves behind
 * is reported at exit and fails the run. In one cycle a child of fork
 * unloads the module its parent initialised (without initialising it
 * itself), and must end cleanly while the parent goes on.
 *
 * usage: pkcs11_load_cycles MODULE TOKEN_FILE */
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static int failed(const char* call, CK_RV rv) {
  fprintf(stderr, "%s: 0x%lx\n", call, (unsigned long)rv);
  return 1;
}

#define CHECK(call) \
  do { \
    CK_RV rv_ = (call); \
    if (rv_ != CKR_OK) return failed(#call, rv_); \
  } while (0)

static int cycle(const char* path, int first, int forkChild) {
  static unsigned char so[] = "87654321", pin[] = "12345678";
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  CK_C_GetFunctionList getList = (CK_C_GetFunctionList)dlsym(library, "C_GetFunctionList");
  CK_FUNCTION_LIST* p11 = NULL;
  if (getList == NULL) return failed("dlsym", 0);
  CHECK(getList(&p11));
  CHECK(p11->C_Initialize(NULL));
  CK_SESSION_HANDLE session;
  if (first) {
    unsigned char label[32];
    memset(label, ' ', sizeof label);
    CHECK(p11->C_InitToken(0, so, 8, label));
    CHECK(p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL, &session));
    CHECK(p11->C_Login(session, CKU_SO, so, 8));
    CHECK(p11->C_InitPIN(session, pin, 8));
    CHECK(p11->C_CloseSession(session));
  }
  CHECK(p11->C_OpenSession(0, CKF_SERIAL_SESSION, NULL, NULL, &session));
  CHECK(p11->C_Login(session, CKU_USER, pin, 8));
  CK_OBJECT_HANDLE found[4];
  CK_ULONG count = 0;
  CHECK(p11->C_FindObjectsInit(session, NULL, 0));
  CHECK(p11->C_FindObjects(session, found, 4, &count));
  CHECK(p11->C_FindObjectsFinal(session));
  CK_MECHANISM sha256 = {CKM_SHA256, NULL, 0};
  unsigned char digest[32];
  CK_ULONG digestLength = sizeof digest;
  CHECK(p11->C_DigestInit(session, &sha256));
  CHECK(p11->C_Digest(session, pin, 8, digest, &digestLength));
  if (forkChild) {
    pid_t child = fork();
    if (child == 0) _exit(dlclose(library) == 0 ? 0 : 1); /* no exit handlers: the leak check is the parent's */
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return failed("a child unloading its parent's module", (CK_RV)status);
    }
    CHECK(p11->C_FindObjectsInit(session, NULL, 0));
    CHECK(p11->C_FindObjectsFinal(session));
  }
  CHECK(p11->C_Finalize(NULL));
  if (dlclose(library) != 0) return failed("dlclose", 0);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s MODULE TOKEN_FILE\n", argv[0]);
    return 2;
  }
  remove(argv[2]);
  for (int i = 0; i < 20; ++i) {
    if (cycle(argv[1], i == 0, i == 10) != 0) return 1;
  }
  remove(argv[2]);
  return 0;
}
