/* uaclib: a small OPC UA server library (binary protocol over opc.tcp).
 *
 * C interface used by the gateway's OPC UA bridge. All calls and both callbacks run on
 * the caller's thread; uasRunIntv does all pending network work without blocking and
 * calls the write callback from inside. A caller may run it on a fixed period or wait
 * for what uasGetWaitInfo names, so that a request is answered as soon as it arrives. Records keep their field order with natural
 * widths; texts are UTF-8, zero-terminated, and must stay valid while the server lives.
 * No C++ exception leaves any of these functions. */
#ifndef UACLIB_UACLIB_H
#define UACLIB_UACLIB_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct uasServer* uasHandle;

/* Log callback: category 0 network, 1 channel, 2 session, 3 server, 4 client, 5 user,
 * 6 security policy, 7 other; level 0 trace .. 5 fatal. */
typedef void (*uasLogFun)(int category, int level, const char* text);
/* A client wrote the Value of a writable node: `context` is the definition's context,
 * `value` the written value converted to a double, always finite. Text variables are
 * read-only. The first argument is unused (0). */
typedef void (*uasWriteFun)(void* unused, void* context, double* value);

typedef struct TuasServerConfig {
  const uint8_t* certificate;      /* DER bytes of the server certificate */
  const uint8_t* privateKey;       /* DER bytes of its private key (PKCS#1 or PKCS#8) */
  int32_t certificateLength;
  int32_t privateKeyLength;
  const uint8_t* const* extraCertificates; /* further DER blocks; none: 0 */
  const int32_t* extraCertificateLengths;
  int32_t extraCertificateCount;
  int32_t certificateFlag;         /* 1: the certificate fields are filled */
  int32_t dispAddFolder;           /* 1: display names carry the folder path */
  const char* userName;            /* set: UserName tokens required, anonymous refused */
  const char* password;
  int32_t reserved1[3];
  double buildDate;                /* date-time double, days since 1899-12-30 */
  const char* softwareVersion;
  const char* manufacturerName;
  const char* productName;
  const char* applicationUri;
  const char* buildNumber;
  int32_t reserved2;
} TuasServerConfig;

typedef struct TuasFolder {
  const char* name;
  int32_t number;   /* 1, 2, 3 ... over the whole tree */
  int32_t parent;   /* 0: directly under Objects */
  int32_t reserved1;
  int32_t reserved2;
} TuasFolder;

/* Type codes of TuasVarDef.typeCode. */
enum { UAS_TYPE_BOOL = 1, UAS_TYPE_INT32 = 2, UAS_TYPE_FLOAT = 3, UAS_TYPE_DOUBLE = 4, UAS_TYPE_STRING = 5 };

typedef struct TuasVarDef {
  const char* fullName;     /* the node id (string form, namespace 1) */
  const char* browseName;
  const char* displayName;
  void* context;            /* handed back in write callbacks */
  int32_t folder;           /* number of the folder that holds the variable */
  int32_t typeCode;
  int32_t access;           /* 'R' read-only, 'W' read and write */
  uint64_t node;            /* 0 when handed over; filled by uasAddNameSpace */
} TuasVarDef;

typedef struct TuasUpdateItem {
  uint64_t node;            /* from TuasVarDef.node */
  const double* value;      /* read during uasUpdateVar */
  uint32_t status;          /* OPC UA status code: 0 good; Bad carries a null value */
  uint32_t reserved;
} TuasUpdateItem;

typedef struct TuasRunStats {
  int32_t clients;          /* connected client connections */
  int32_t sessions;
  int32_t subscriptions;
  int32_t monitoredItems;
  int32_t reserved[6];
} TuasRunStats;             /* 40 bytes */

/* What a caller that sleeps between run steps waits for (uasGetWaitInfo). */
typedef struct TuasWaitInfo {
  int32_t fd;               /* readable (level-triggered) when a client sent something or
                             * held-back answers can go on; -1 before uasRunStart. Poll it
                             * only: never read, change or close it. On Windows the value
                             * of an event handle, set on the same occasions: wait on it
                             * (WaitForMultipleObjects), never reset or close it. */
  int32_t timeoutMs;        /* until the server's next timer (sampling, publishing,
                             * time-outs) is due; 0: work is left, run at once */
  int32_t reserved[2];
} TuasWaitInfo;             /* 16 bytes */

/* Results: 0 is success; a result with any of the upper 16 bits set is an error (an
 * OPC UA Bad status code). */
uint32_t uaInitLib(uasLogFun log, int flags);
uasHandle uasNewServer(int port, const TuasServerConfig* config, uasWriteFun onWrite);
uint32_t uasAddNameSpace(uasHandle h, TuasVarDef** defs, int defCount, TuasFolder** folders, int folderCount);
uint32_t uasRunStart(uasHandle h);
uint32_t uasRunIntv(uasHandle h, TuasRunStats* stats, int statsSize);
uint32_t uasUpdateVar(uasHandle h, TuasUpdateItem** items, int count);
const char* uasGetErrorInfo(uasHandle h);
void uasDelServer(uasHandle h);
/* The TCP port actually bound after uasRunStart (useful with port 0 in tests); 0 before. */
int uasGetPort(uasHandle h);
/* Fills `info` (its first `infoSize` bytes) with what to wait for before the next
 * uasRunIntv: call uasRunIntv as soon as `fd` is readable or `timeoutMs` has passed,
 * whichever comes first. Ask again after every uasRunIntv and uasUpdateVar. */
uint32_t uasGetWaitInfo(uasHandle h, TuasWaitInfo* info, int infoSize);
/* Changes one of the server's budgets before uasRunStart, by name (for example
 * "activateTimeoutMs", "orphanGraceMs", "maxConnectionsPerPeer"); for tests and
 * uademo, the defaults suit plants. BadInvalidArgument for an unknown name or a value
 * out of range, BadInvalidState once the server runs. */
uint32_t uasSetLimit(uasHandle h, const char* name, double value);
/* Offers the SecurityPolicy None endpoint (allow 1, the default) or not (0): without
 * it GetEndpoints lists only the signing and encrypting endpoints, and a None channel
 * serves discovery only (GetEndpoints, FindServers): CreateSession over it is refused
 * with BadSecurityPolicyRejected. Before uasRunStart, else BadInvalidState. */
uint32_t uasSetAllowNone(uasHandle h, int allow);
/* Decides on a client's application instance certificate: `der` is the certificate the
 * client sent (leaf first, optionally followed by its chain). Called with
 * `applicationUri` 0 when a secure channel opens (trust, validity, usage) and with the
 * ApplicationUri the client states at CreateSession (which the certificate must carry).
 * Returns 0 to accept or the OPC UA Bad status the client is refused with. Called on
 * the thread of uasRunIntv; it must not call back into the server. */
typedef uint32_t (*uasCertCheckFun)(void* context, const uint8_t* der, int32_t length,
                                    const char* applicationUri);
/* Installs the check (0 restores the default, which accepts every certificate that
 * parses); `context` is handed back to it and must stay valid while it is installed. */
uint32_t uasSetCertificateCheck(uasHandle h, uasCertCheckFun check, void* context);

#ifdef __cplusplus
}
#endif
#endif
