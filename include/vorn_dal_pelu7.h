/*
 * vorn_dal_pelu7.h - the device abstraction layer of the PELU7 USB token.
 *
 * Every function returns an int: 0 on success, a negative error code on
 * failure (VORN_DAL_GetErrMsg gives its message), and VORN_DAL_Login,
 * VORN_DAL_ChangePin and VORN_DAL_UnlockPin return 1..14, the PIN tries left,
 * after a wrong PIN. Byte strings travel as a pointer and an int length;
 * output lengths come back through an int pointer and are never read as
 * capacities. Cipher contexts and lock handles are opaque pointers owned by
 * the caller between their acquire/create and release/destroy calls.
 *
 * The functions are not safe for concurrent use: processes and threads that
 * share the token bracket their sequences of calls with VORN_DAL_LockMutex /
 * VORN_DAL_UnLockMutex.
 */
#ifndef VORN_DAL_PELU7_H
#define VORN_DAL_PELU7_H

/* On Windows the header brings in <windows.h> itself, so that the order in
 * which a host includes the two does not matter: windows.h's macros are all
 * defined before the function table below is declared, and its members keep
 * their names. A host that uses Winsock 2 includes <winsock2.h> before this
 * header, as it would before <windows.h>. */
#if defined(_WIN32)
#include <windows.h>
/* winbase.h's Win16 leftover GetFreeSpace(w), a macro that would turn
 * list->GetFreeSpace(0) into list->(0x100000L). */
#undef GetFreeSpace
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define VORN_DAL_CALL __stdcall
#else
#define VORN_DAL_CALL
#endif

#if defined(_WIN32)
#define VORN_DAL_EXPORT
#else
#define VORN_DAL_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define VORN_DAL_OK                       0
#define VORN_DAL_ERR_USER_PIN_LOCKED     (-1)
#define VORN_DAL_ERR_SUPER_PIN_LOCKED    (-2)
#define VORN_DAL_ERR_NOT_SUPPORTED       (-10)
#define VORN_DAL_ERR_NO_DEVICE           (-100)
#define VORN_DAL_ERR_OPEN_DEVICE         (-101)
#define VORN_DAL_ERR_RESET_DEVICE        (-102)
#define VORN_DAL_ERR_OTHER               (-105)
#define VORN_DAL_ERR_UNLOCK_SUPER_PIN    (-110)
#define VORN_DAL_ERR_VERIFY_PIN          (-111)
#define VORN_DAL_ERR_UNLOCK_PIN          (-112)
#define VORN_DAL_ERR_CHANGE_PIN          (-113)
#define VORN_DAL_ERR_LOGIN               (-114)
#define VORN_DAL_ERR_LOGOUT              (-115)
#define VORN_DAL_ERR_ERASE               (-120)
#define VORN_DAL_ERR_MAKER_AUTH          (-121)
#define VORN_DAL_ERR_WRITE_FILE_OLD      (-122)
#define VORN_DAL_ERR_CREATE_FILE         (-123)
#define VORN_DAL_ERR_CREATE_KEY_FILE     (-124)
#define VORN_DAL_ERR_WRITE_KEY_FILE      (-125)
#define VORN_DAL_ERR_WRITE_PIN           (-126)
#define VORN_DAL_ERR_WRITE_FILE          (-127)
#define VORN_DAL_ERR_READ_FILE           (-128)
#define VORN_DAL_ERR_FILE_DELETED        (-129)
#define VORN_DAL_ERR_DELETE_FILE         (-130)
#define VORN_DAL_ERR_MODULUS_LENGTH      (-150)
#define VORN_DAL_ERR_GEN_KEY_PAIR        (-151)
#define VORN_DAL_ERR_DATA_LENGTH         (-160)
#define VORN_DAL_ERR_RSA                 (-161)
#define VORN_DAL_ERR_KEY_OBJECT          (-162)
#define VORN_DAL_ERR_MODE                (-163)
#define VORN_DAL_ERR_PADDING             (-164)
#define VORN_DAL_ERR_SSF33               (-165)
#define VORN_DAL_ERR_RANDOM              (-180)
#define VORN_DAL_ERR_CREATE_LOCK         (-190)
#define VORN_DAL_ERR_LOCK                (-191)
#define VORN_DAL_ERR_SSF33_ECB_FINAL     (-200)
#define VORN_DAL_ERR_ARGUMENT            (-500)

/* Login types. */
#define VORN_DAL_SUPER_USER 1
#define VORN_DAL_USER       2

/* Cipher modes. */
#define VORN_DAL_MODE_ECB 1
#define VORN_DAL_MODE_CBC 2

/* Callers pass a message buffer of at least this many bytes to VORN_DAL_GetErrMsg. */
#define VORN_DAL_ERRMSG_SIZE 30

/* Device connection. */
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Initialize(void);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Finalize(void);
/* VORN_DAL_InitializeEx and VORN_DAL_FinalizeEx are exported only under their
 * decorated names _VORN_DAL_InitializeEx@4 and _VORN_DAL_FinalizeEx@4 (see
 * the end of this header for how a program calls them by their plain names). */
#if defined(_WIN32) || defined(VORN_DAL_PLAIN_EX_NAMES)
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_InitializeEx(int portIndex);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_FinalizeEx(int unused);
#endif
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GetFreeSpace(int unused);

/* Provisioning, login and PINs. A login is the card's state, not the
 * process's: it lasts until VORN_DAL_Logout or a reset of the card, and every
 * program that reaches the same token shares it. On a file-backed virtual
 * token that includes later processes: a login made by one program still holds
 * for the next one that opens the same token file. */
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_FormatDevice(const unsigned char *superPin, int superPinLen,
                                                        const unsigned char *userPin, int userPinLen);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Login(int loginType, const unsigned char *pin, int pinLen);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Logout(int loginType);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_IsLogin(int loginType, int *isLogin);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_ChangePin(int loginType, const unsigned char *oldPin, int oldPinLen,
                                                     const unsigned char *newPin, int newPinLen);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_UnlockPin(const unsigned char *superPin, int superPinLen,
                                                     const unsigned char *newUserPin, int newUserPinLen);

/* Data files. */
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_CreateGlobalInfoFile(int size);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_ReadGlobalInfoFile(int offset, int length, unsigned char *outData);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_WriteGlobalInfoFile(int offset, int length, const unsigned char *inData);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_CreateUsrDataFile(int fileType, int fileNo, int size,
                                                             int readAccess, int writeAccess);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_ReadUsrDataFile(int fileType, int fileNo, int offset, int length,
                                                           unsigned char *outData);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_WriteUsrDataFile(int fileType, int fileNo, int offset, int length,
                                                            const unsigned char *inData);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_DeleteUsrDataFile(int fileType, int fileNo);

/* RSA keys on the card (1024-bit) and public-key operations in software. */
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GenRsaKeyPair(int modulusLen, int *pubKeyId, int *priKeyId);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GetPublicKey(int pubKeyId, unsigned char *modulus, int *modulusLen);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_ImportRsaKeyPair(const void *reserved1, const unsigned char *n,
                                                            const void *reserved2, const unsigned char *p,
                                                            const unsigned char *q, const unsigned char *dP,
                                                            const unsigned char *dQ, const unsigned char *qInv,
                                                            int *pubKeyId, int *priKeyId);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_RsaPrivateKeyRaw(int priKeyId, const unsigned char *inData, int inDataLen,
                                                            unsigned char *outData, int *outDataLen);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_RsaPublicKeyRaw(const unsigned char *modulus, unsigned int modulusLen,
                                                           const unsigned char *inData, int inDataLen,
                                                           unsigned char *outData, int *outDataLen);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Pkcs1RsaPublicKeyEnc(const unsigned char *modulus, unsigned int modulusLen,
                                                                const unsigned char *inData, int inDataLen,
                                                                unsigned char *outData, int *outDataLen);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Pkcs1RsaPublicKeyDec(const unsigned char *modulus, unsigned int modulusLen,
                                                                const unsigned char *inData, int inDataLen,
                                                                unsigned char *outData, int *outDataLen);

/* One argument pattern for every context family. */
#define VORN_DAL_CIPHER_FAMILY(F)                                                                              \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##AcquireContext(const unsigned char *key, int keyLen,         \
                                                                 const unsigned char *iv, int mode, int option, \
                                                                 void **ctxOut);                                \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##EncUpdate(void *ctx, const unsigned char *inData,            \
                                                            unsigned int inDataLen, unsigned char *outData,     \
                                                            int *outDataLen);                                   \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##EncFinal(void *ctx, unsigned char *outData, int *outDataLen); \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##ReleaseCtx(void *ctx);                                       \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##Encrypt(void *ctx, const unsigned char *inData,              \
                                                          unsigned int inDataLen, unsigned char *outData,       \
                                                          int *outDataLen);                                     \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##DecUpdate(void *ctx, const unsigned char *inData,            \
                                                            unsigned int inDataLen, unsigned char *outData,     \
                                                            int *outDataLen);                                   \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##DecFinal(void *ctx, unsigned char *outData, int *outDataLen); \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##Decrypt(void *ctx, const unsigned char *inData,              \
                                                          unsigned int inDataLen, unsigned char *outData,       \
                                                          int *outDataLen);                                     \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##MacUpdate(void *ctx, const unsigned char *inData,            \
                                                            unsigned int inDataLen);                            \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##MacFinal(void *ctx, unsigned char *mac, unsigned int macLen); \
  VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_##F##Mac(void *ctx, const unsigned char *inData,                  \
                                                      unsigned int inDataLen, unsigned char *mac,               \
                                                      unsigned int macLen);

/* DES / triple DES and RC2 in software (8-byte blocks, PKCS#5 padding);
 * SSF33 computed by the card (16-byte blocks). Mode 1 is ECB, 2 is CBC.
 * VORN_DAL_DesReleaseCtx, VORN_DAL_Rc2ReleaseCtx and VORN_DAL_Rc4ReleaseCtx
 * are one function.
 *
 * Two traps of these families:
 * - The block cipher updates and one-shot calls need separate input and output
 *   buffers: output is written while input is still being read, so in-place
 *   use corrupts the data. Only RC4 may work in place.
 * - A DES or RC2 final in CBC moves the chain on to the block it wrote: a
 *   second final on the same context gives another block, not the first one
 *   again (an SSF33 final leaves its context as it was). No final resets a
 *   context: acquire a new one for each message. */
VORN_DAL_CIPHER_FAMILY(Des)
VORN_DAL_CIPHER_FAMILY(Rc2)
VORN_DAL_CIPHER_FAMILY(SSF33)
#undef VORN_DAL_CIPHER_FAMILY

/* RC4 in software; VORN_DAL_Rc4Update and VORN_DAL_Rc4Encrypt are one function. */
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Rc4AcquireContext(const unsigned char *key, int keyLen,
                                                             const unsigned char *iv, int mode, int option,
                                                             void **ctxOut);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Rc4Update(void *ctx, const unsigned char *inData, unsigned int inDataLen,
                                                     unsigned char *outData, int *outDataLen);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Rc4Final(void *ctx, unsigned char *outData, int *outDataLen);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Rc4ReleaseCtx(void *ctx);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_Rc4Encrypt(void *ctx, const unsigned char *inData, unsigned int inDataLen,
                                                      unsigned char *outData, int *outDataLen);

/* Random bytes from the card. */
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GenRand(unsigned int randLen, unsigned char *randData);

/* The GBK message of a result code; msg holds at least VORN_DAL_ERRMSG_SIZE bytes. */
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GetErrMsg(int code, char *msg);

/* The lock "SemVornDal" shared by the processes that use the token. As a
 * Windows named object lives in the namespace of one log-on, there is one lock
 * per user: all processes of one user share it, other users (root included)
 * have their own (on Linux in /run, or the user's runtime folder where the
 * system has one). A holder that ends without releasing is recovered. A
 * child forked while the lock is held keeps it held after its parent ends,
 * until it releases it or ends too; a child forked before a take never
 * stands for it. LockMutex returns -191 rather than wait for ever on a
 * damaged lock object. */
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_CreateMutex(void **lockOut);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_LockMutex(void *lock);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_UnLockMutex(void *lock);
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_DestroyMutex(void *lock);

/* The table of entry points, one slot per function, in this order. */
typedef int(VORN_DAL_CALL *VORN_DAL_FN_VOID)(void);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_INT)(int);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_PIN_PAIR)(const unsigned char *, int, const unsigned char *, int);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_LOGIN)(int, const unsigned char *, int);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_IS_LOGIN)(int, int *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_CHANGE_PIN)(int, const unsigned char *, int, const unsigned char *, int);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_READ_GLOBAL)(int, int, unsigned char *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_WRITE_GLOBAL)(int, int, const unsigned char *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_CREATE_USR)(int, int, int, int, int);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_READ_USR)(int, int, int, int, unsigned char *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_WRITE_USR)(int, int, int, int, const unsigned char *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_INT_INT)(int, int);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_GEN_KEY)(int, int *, int *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_GET_PUBKEY)(int, unsigned char *, int *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_IMPORT_KEY)(const void *, const unsigned char *, const void *,
                                                   const unsigned char *, const unsigned char *,
                                                   const unsigned char *, const unsigned char *,
                                                   const unsigned char *, int *, int *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_RSA_PRIVATE)(int, const unsigned char *, int, unsigned char *, int *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_RSA_PUBLIC)(const unsigned char *, unsigned int, const unsigned char *, int,
                                                   unsigned char *, int *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_ACQUIRE)(const unsigned char *, int, const unsigned char *, int, int, void **);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_UPDATE)(void *, const unsigned char *, unsigned int, unsigned char *, int *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_FINAL)(void *, unsigned char *, int *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_HANDLE)(void *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_MAC_UPDATE)(void *, const unsigned char *, unsigned int);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_MAC_FINAL)(void *, unsigned char *, unsigned int);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_MAC)(void *, const unsigned char *, unsigned int, unsigned char *, unsigned int);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_GEN_RAND)(unsigned int, unsigned char *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_ERRMSG)(int, char *);
typedef int(VORN_DAL_CALL *VORN_DAL_FN_CREATE_LOCK)(void **);

/* windows.h maps CreateMutex to CreateMutexA or CreateMutexW. Slot 63 answers
 * to all three names, so that list->CreateMutex reaches it whether or not the
 * macro is defined where a host calls it. */
#if defined(_WIN32)
#pragma push_macro("CreateMutex")
#undef CreateMutex
/* An unnamed union is C11 and C++; GCC accepts it quietly in older C too. */
#if defined(__GNUC__)
#define VORN_DAL_UNNAMED __extension__
#else
#define VORN_DAL_UNNAMED
#endif
#endif

typedef struct DalFunctionList {
  VORN_DAL_FN_VOID Initialize;               /*  0 */
  VORN_DAL_FN_VOID Finalize;                 /*  1 */
  VORN_DAL_FN_PIN_PAIR FormatDevice;         /*  2 */
  VORN_DAL_FN_INT GetFreeSpace;              /*  3 */
  VORN_DAL_FN_LOGIN Login;                   /*  4 */
  VORN_DAL_FN_INT Logout;                    /*  5 */
  VORN_DAL_FN_IS_LOGIN IsLogin;              /*  6 */
  VORN_DAL_FN_CHANGE_PIN ChangePin;          /*  7 */
  VORN_DAL_FN_PIN_PAIR UnlockPin;            /*  8 */
  VORN_DAL_FN_INT CreateGlobalInfoFile;      /*  9 */
  VORN_DAL_FN_READ_GLOBAL ReadGlobalInfoFile;   /* 10 */
  VORN_DAL_FN_WRITE_GLOBAL WriteGlobalInfoFile; /* 11 */
  VORN_DAL_FN_CREATE_USR CreateUsrDataFile;  /* 12 */
  VORN_DAL_FN_READ_USR ReadUsrDataFile;      /* 13 */
  VORN_DAL_FN_WRITE_USR WriteUsrDataFile;    /* 14 */
  VORN_DAL_FN_INT_INT DeleteUsrDataFile;     /* 15 */
  VORN_DAL_FN_GEN_KEY GenRsaKeyPair;         /* 16 */
  VORN_DAL_FN_GET_PUBKEY GetPublicKey;       /* 17 */
  VORN_DAL_FN_IMPORT_KEY ImportRsaKeyPair;   /* 18 */
  VORN_DAL_FN_RSA_PRIVATE RsaPrivateKeyRaw;  /* 19 */
  VORN_DAL_FN_RSA_PUBLIC RsaPublicKeyRaw;    /* 20 */
  VORN_DAL_FN_RSA_PUBLIC Pkcs1RsaPublicKeyEnc; /* 21 */
  VORN_DAL_FN_RSA_PUBLIC Pkcs1RsaPublicKeyDec; /* 22 */
  VORN_DAL_FN_ACQUIRE DesAcquireContext;     /* 23 */
  VORN_DAL_FN_UPDATE DesEncUpdate;           /* 24 */
  VORN_DAL_FN_FINAL DesEncFinal;             /* 25 */
  VORN_DAL_FN_HANDLE DesReleaseCtx;          /* 26 */
  VORN_DAL_FN_UPDATE DesEncrypt;             /* 27 */
  VORN_DAL_FN_UPDATE DesDecUpdate;           /* 28 */
  VORN_DAL_FN_FINAL DesDecFinal;             /* 29 */
  VORN_DAL_FN_UPDATE DesDecrypt;             /* 30 */
  VORN_DAL_FN_MAC_UPDATE DesMacUpdate;       /* 31 */
  VORN_DAL_FN_MAC_FINAL DesMacFinal;         /* 32 */
  VORN_DAL_FN_MAC DesMac;                    /* 33 */
  VORN_DAL_FN_ACQUIRE Rc2AcquireContext;     /* 34 */
  VORN_DAL_FN_UPDATE Rc2EncUpdate;           /* 35 */
  VORN_DAL_FN_FINAL Rc2EncFinal;             /* 36 */
  VORN_DAL_FN_HANDLE Rc2ReleaseCtx;          /* 37 */
  VORN_DAL_FN_UPDATE Rc2Encrypt;             /* 38 */
  VORN_DAL_FN_UPDATE Rc2DecUpdate;           /* 39 */
  VORN_DAL_FN_FINAL Rc2DecFinal;             /* 40 */
  VORN_DAL_FN_UPDATE Rc2Decrypt;             /* 41 */
  VORN_DAL_FN_MAC_UPDATE Rc2MacUpdate;       /* 42 */
  VORN_DAL_FN_MAC_FINAL Rc2MacFinal;         /* 43 */
  VORN_DAL_FN_MAC Rc2Mac;                    /* 44 */
  VORN_DAL_FN_ACQUIRE Rc4AcquireContext;     /* 45 */
  VORN_DAL_FN_UPDATE Rc4Update;              /* 46 */
  VORN_DAL_FN_FINAL Rc4Final;                /* 47 */
  VORN_DAL_FN_HANDLE Rc4ReleaseCtx;          /* 48 */
  VORN_DAL_FN_UPDATE Rc4Encrypt;             /* 49 */
  VORN_DAL_FN_ACQUIRE SSF33AcquireContext;   /* 50 */
  VORN_DAL_FN_UPDATE SSF33EncUpdate;         /* 51 */
  VORN_DAL_FN_FINAL SSF33EncFinal;           /* 52 */
  VORN_DAL_FN_HANDLE SSF33ReleaseCtx;        /* 53 */
  VORN_DAL_FN_UPDATE SSF33Encrypt;           /* 54 */
  VORN_DAL_FN_UPDATE SSF33DecUpdate;         /* 55 */
  VORN_DAL_FN_FINAL SSF33DecFinal;           /* 56 */
  VORN_DAL_FN_UPDATE SSF33Decrypt;           /* 57 */
  VORN_DAL_FN_MAC_UPDATE SSF33MacUpdate;     /* 58 */
  VORN_DAL_FN_MAC_FINAL SSF33MacFinal;       /* 59 */
  VORN_DAL_FN_MAC SSF33Mac;                  /* 60 */
  VORN_DAL_FN_GEN_RAND GenRand;              /* 61 */
  VORN_DAL_FN_ERRMSG GetErrMsg;              /* 62 */
#if defined(_WIN32)
  VORN_DAL_UNNAMED union {
    VORN_DAL_FN_CREATE_LOCK CreateMutex;
    VORN_DAL_FN_CREATE_LOCK CreateMutexA;
    VORN_DAL_FN_CREATE_LOCK CreateMutexW;
  };                                         /* 63 */
#else
  VORN_DAL_FN_CREATE_LOCK CreateMutex;       /* 63 */
#endif
  VORN_DAL_FN_HANDLE LockMutex;              /* 64 */
  VORN_DAL_FN_HANDLE UnLockMutex;            /* 65 */
  VORN_DAL_FN_HANDLE DestroyMutex;           /* 66 */
  VORN_DAL_FN_INT InitializeEx;              /* 67 */
  VORN_DAL_FN_INT FinalizeEx;                /* 68 */
} DalFunctionList;

#if defined(_WIN32)
#undef VORN_DAL_UNNAMED
#pragma pop_macro("CreateMutex")
#endif

/* Fills all 69 slots; needs no reader and always returns 0. */
VORN_DAL_EXPORT int VORN_DAL_CALL VORN_DAL_GetFunctionList(DalFunctionList *list);

#if !defined(_WIN32) && !defined(VORN_DAL_PLAIN_EX_NAMES)
/* On ELF systems a symbol name with '@' cannot be linked against: the linker
 * reads it as a symbol version. A program calls the two decorated exports by
 * their plain names through these inline functions, which reach the very
 * functions exported as _VORN_DAL_InitializeEx@4 and _VORN_DAL_FinalizeEx@4
 * through the function table (slots 67 and 68). Programs that look the
 * functions up by name use the decorated names. */
static inline int VORN_DAL_InitializeEx(int portIndex) {
  DalFunctionList list;
  VORN_DAL_GetFunctionList(&list);
  return list.InitializeEx(portIndex);
}

static inline int VORN_DAL_FinalizeEx(int unused) {
  DalFunctionList list;
  VORN_DAL_GetFunctionList(&list);
  return list.FinalizeEx(unused);
}
#endif

#ifdef __cplusplus
}
#endif

#endif /* VORN_DAL_PELU7_H */
