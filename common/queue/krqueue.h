/* krqueue.h - the queue manager's calling interface.
 *
 * Six calls (KRCONN / zrtKRCONN, KROPEN, KRPUT, KRGET, KRCLOSE, KRDISC), the
 * unit-of-work calls (KRCMIT, KRBACK), the attribute inquiry (KRINQ) and the
 * records they pass. Both binding libraries export the calls by name with C
 * linkage: libkrm.so (server bindings, also exports zrtKRCONN) and libkrcl.so
 * (client bindings). Both reach the same queue managers.
 *
 * Every call ends with two out values: a completion code (KRCC_*) and a reason
 * code (KRRC_*). Records are at version 1; their fields are in wire order with
 * no padding (every character field is a multiple of four bytes). Character
 * fields are fixed width, blank- or zero-padded, not necessarily terminated.
 * Names (queue managers, queues) are at most 48 bytes of UTF-8.
 *
 * This header is plain C so that any caller can use it; it declares nothing
 * but the interface itself and an inline reason-code text table.
 */
#ifndef KRSOAP_COMMON_QUEUE_KRQUEUE_H
#define KRSOAP_COMMON_QUEUE_KRQUEUE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KRENTRY __attribute__((visibility("default")))
#else
#define KRENTRY
#endif

typedef int32_t KRLONG;
typedef char KRCHAR;
typedef unsigned char KRBYTE;
typedef KRLONG KRHCONN; /* connection handle, the library's own */
typedef KRLONG KRHOBJ;  /* object handle, the library's own */

/* ---- Field widths --------------------------------------------------------- */
#define KR_Q_NAME_LENGTH 48       /* queue names */
#define KR_Q_MGR_NAME_LENGTH 48   /* queue manager names */
#define KR_USER_ID_LENGTH 12
#define KR_FORMAT_LENGTH 8
#define KR_MSG_ID_LENGTH 24
#define KR_CORREL_ID_LENGTH 24
#define KR_ACCOUNTING_TOKEN_LENGTH 32
#define KR_APPL_IDENTITY_DATA_LENGTH 32
#define KR_PUT_APPL_NAME_LENGTH 28
#define KR_PUT_DATE_LENGTH 8
#define KR_PUT_TIME_LENGTH 8
#define KR_APPL_ORIGIN_DATA_LENGTH 4

/* ---- Special handle values ------------------------------------------------- */
/* KRDISC and KRCLOSE write these back into the handle they were given. */
#define KRHC_UNUSABLE_HCONN ((KRHCONN)-1)
#define KRHO_UNUSABLE_HOBJ ((KRHOBJ)-1)

/* ---- Completion codes ------------------------------------------------------ */
#define KRCC_OK 0      /* the call did what was asked */
#define KRCC_WARNING 1 /* done, with a remark in the reason code */
#define KRCC_FAILED 2  /* nothing was done; the reason code says why */

/* ---- Reason codes -----------------------------------------------------------
 * Each has one value, a symbolic name and a text (KRReasonText below).
 *
 *    0 KRRC_NONE                  no reason to report
 * 2003 KRRC_BACKED_OUT            the commit could not be done; the unit of
 *                                 work was backed out instead
 * 2024 KRRC_SYNCPOINT_LIMIT_REACHED too many messages in one unit of work
 * 2033 KRRC_NO_MSG_AVAILABLE      no matching message arrived within the wait
 * 2080 KRRC_TRUNCATED_MSG_FAILED  message longer than the buffer; it stays on
 *                                 the queue, the data length gives its length
 * 2201 KRRC_HCONN_ERROR           connection handle not valid (never issued,
 *                                 disconnected, forged, or from another library)
 * 2202 KRRC_HOBJ_ERROR            object handle not valid (closed, forged, or
 *                                 belonging to another connection)
 * 2203 KRRC_OPTIONS_ERROR         unknown option bits, or options that do not
 *                                 go together
 * 2204 KRRC_UNKNOWN_OBJECT_NAME   no such queue on the queue manager
 * 2205 KRRC_UNKNOWN_Q_MGR         no queue manager of that name is defined on
 *                                 this machine (or no default is defined)
 * 2206 KRRC_Q_MGR_NOT_AVAILABLE   the queue manager's store cannot be reached
 *                                 (missing, unreadable, locked, corrupt, or a
 *                                 database server that is down)
 * 2207 KRRC_UNKNOWN_REMOTE_Q_MGR  the object queue manager name on open names
 *                                 no queue manager known to this machine
 * 2208 KRRC_NAME_TOO_LONG         a name longer than 48 bytes
 * 2209 KRRC_NAME_NOT_VALID        a name that is empty where one is needed or
 *                                 holds characters the store does not accept
 * 2210 KRRC_MSG_TOO_BIG_FOR_Q     message longer than the queue's maximum
 * 2211 KRRC_Q_FULL                the queue holds its maximum depth
 * 2212 KRRC_GET_INHIBITED         gets are inhibited on the queue
 * 2213 KRRC_PUT_INHIBITED         puts are inhibited on the queue
 * 2214 KRRC_BUFFER_ERROR          buffer pointer missing for a nonzero length
 * 2215 KRRC_BUFFER_LENGTH_ERROR   negative or too large buffer or data length
 * 2216 KRRC_DATA_LENGTH_ERROR     data length pointer missing
 * 2217 KRRC_OD_ERROR              object descriptor missing, or its structure
 *                                 id or version not valid
 * 2218 KRRC_MD_ERROR              message descriptor missing or not valid
 * 2219 KRRC_GMO_ERROR             get-message options missing or not valid
 * 2220 KRRC_PMO_ERROR             put-message options missing or not valid
 * 2221 KRRC_NOT_OPEN_FOR_INPUT    get on a handle not opened for input
 * 2222 KRRC_NOT_OPEN_FOR_OUTPUT   put on a handle not opened for output
 * 2223 KRRC_NOT_OPEN_FOR_BROWSE   browse on a handle not opened for browse
 * 2224 KRRC_PRIORITY_ERROR        priority not in -1..9
 * 2225 KRRC_PERSISTENCE_ERROR     persistence not 0, 1 or 2
 * 2226 KRRC_PERSISTENT_NOT_ALLOWED persistent message on a temporary queue
 * 2227 KRRC_EXPIRY_ERROR          expiry neither -1 nor positive
 * 2228 KRRC_STORAGE_NOT_AVAILABLE the queue manager's message space is full
 * 2229 KRRC_STORE_ERROR           the store failed to read or write (I/O error,
 *                                 read-only or corrupt file)
 * 2230 KRRC_OBJECT_IN_USE         the object is open and cannot be removed
 * 2231 KRRC_OBJECT_ALREADY_EXISTS an object of that name exists already
 * 2232 KRRC_OBJECT_TYPE_ERROR     object type not a queue
 * 2233 KRRC_DYNAMIC_Q_NAME_ERROR  dynamic queue name pattern not valid
 * 2234 KRRC_CONNECTION_BROKEN     the connection to the store was lost during
 *                                 the call; connect again
 * 2235 KRRC_RESOURCE_PROBLEM      too many handles or out of memory
 * 2236 KRRC_WAIT_INTERVAL_ERROR   wait interval neither -1 nor >= 0
 * 2237 KRRC_Q_DELETED             the queue was deleted while it was open
 * 2238 KRRC_NOT_AUTHORIZED        the store refused access
 * 2239 KRRC_HANDLE_NOT_AVAILABLE  handle pointer missing
 * 2240 KRRC_MODEL_Q_NOT_ALLOWED   the model queue itself cannot hold messages
 * 2241 KRRC_SELECTOR_ERROR        an inquiry selector not known, or attribute
 *                                 arrays too short for the selectors
 * 2242 KRRC_NOT_OPEN_FOR_INQUIRE  inquiry on a handle not opened for inquire
 * -------------------------------------------------------------------------- */
#define KRRC_NONE 0
#define KRRC_BACKED_OUT 2003
#define KRRC_SYNCPOINT_LIMIT_REACHED 2024
#define KRRC_NO_MSG_AVAILABLE 2033
#define KRRC_TRUNCATED_MSG_FAILED 2080
#define KRRC_HCONN_ERROR 2201
#define KRRC_HOBJ_ERROR 2202
#define KRRC_OPTIONS_ERROR 2203
#define KRRC_UNKNOWN_OBJECT_NAME 2204
#define KRRC_UNKNOWN_Q_MGR 2205
#define KRRC_Q_MGR_NOT_AVAILABLE 2206
#define KRRC_UNKNOWN_REMOTE_Q_MGR 2207
#define KRRC_NAME_TOO_LONG 2208
#define KRRC_NAME_NOT_VALID 2209
#define KRRC_MSG_TOO_BIG_FOR_Q 2210
#define KRRC_Q_FULL 2211
#define KRRC_GET_INHIBITED 2212
#define KRRC_PUT_INHIBITED 2213
#define KRRC_BUFFER_ERROR 2214
#define KRRC_BUFFER_LENGTH_ERROR 2215
#define KRRC_DATA_LENGTH_ERROR 2216
#define KRRC_OD_ERROR 2217
#define KRRC_MD_ERROR 2218
#define KRRC_GMO_ERROR 2219
#define KRRC_PMO_ERROR 2220
#define KRRC_NOT_OPEN_FOR_INPUT 2221
#define KRRC_NOT_OPEN_FOR_OUTPUT 2222
#define KRRC_NOT_OPEN_FOR_BROWSE 2223
#define KRRC_PRIORITY_ERROR 2224
#define KRRC_PERSISTENCE_ERROR 2225
#define KRRC_PERSISTENT_NOT_ALLOWED 2226
#define KRRC_EXPIRY_ERROR 2227
#define KRRC_STORAGE_NOT_AVAILABLE 2228
#define KRRC_STORE_ERROR 2229
#define KRRC_OBJECT_IN_USE 2230
#define KRRC_OBJECT_ALREADY_EXISTS 2231
#define KRRC_OBJECT_TYPE_ERROR 2232
#define KRRC_DYNAMIC_Q_NAME_ERROR 2233
#define KRRC_CONNECTION_BROKEN 2234
#define KRRC_RESOURCE_PROBLEM 2235
#define KRRC_WAIT_INTERVAL_ERROR 2236
#define KRRC_Q_DELETED 2237
#define KRRC_NOT_AUTHORIZED 2238
#define KRRC_HANDLE_NOT_AVAILABLE 2239
#define KRRC_MODEL_Q_NOT_ALLOWED 2240
#define KRRC_SELECTOR_ERROR 2241
#define KRRC_NOT_OPEN_FOR_INQUIRE 2242

/* ---- Object descriptor ----------------------------------------------------- */
#define KROD_STRUC_ID "OD  "
#define KROD_VERSION_1 1
#define KROT_Q 1 /* the only object type */

typedef struct KROD {
  KRCHAR StrucId[4];                           /* "OD  " */
  KRLONG Version;                              /* 1 */
  KRLONG ObjectType;                           /* KROT_Q */
  KRCHAR ObjectName[KR_Q_NAME_LENGTH];         /* queue; a model queue's open
                                                  writes the new dynamic
                                                  queue's name back here */
  KRCHAR ObjectQMgrName[KR_Q_MGR_NAME_LENGTH]; /* blank/empty: the connected
                                                  queue manager */
  KRCHAR DynamicQName[KR_Q_NAME_LENGTH];       /* pattern for a dynamic queue:
                                                  a trailing '*' becomes a
                                                  unique suffix; "*" alone a
                                                  unique name */
  KRCHAR AlternateUserId[KR_USER_ID_LENGTH];   /* not used */
} KROD;

#define KROD_DEFAULT                                                                   \
  {                                                                                    \
    {'O', 'D', ' ', ' '}, KROD_VERSION_1, KROT_Q, {0}, {0}, {'T', 'K', 'R', '.', '*'}, \
    {                                                                                  \
      0                                                                                \
    }                                                                                  \
  }

/* Open options. Input, browse and output may be combined; at most one input
 * kind. */
#define KROO_INPUT_AS_Q_DEF 0x00000001
#define KROO_INPUT_SHARED 0x00000002
#define KROO_INPUT_EXCLUSIVE 0x00000004 /* treated as shared */
#define KROO_BROWSE 0x00000008
#define KROO_OUTPUT 0x00000010
#define KROO_INQUIRE 0x00000020
#define KROO_FAIL_IF_QUIESCING 0x00002000 /* accepted; the queue manager never
                                             quiesces */

/* Close options. */
#define KRCO_NONE 0x00000000

/* ---- Message descriptor ---------------------------------------------------- */
#define KRMD_STRUC_ID "MD  "
#define KRMD_VERSION_1 1

#define KRRO_NONE 0 /* report options: none are acted on */

#define KRMT_REQUEST 1
#define KRMT_REPLY 2
#define KRMT_REPORT 4
#define KRMT_DATAGRAM 8

#define KREI_UNLIMITED (-1) /* expiry, else in tenths of a second */
#define KRFB_NONE 0
#define KRENC_NATIVE 546
#define KRCCSI_Q_MGR 0 /* coded character set: the queue manager's (UTF-8) */

#define KRFMT_NONE "        "
#define KRFMT_STRING "KRSTR   "

#define KRPRI_PRIORITY_AS_Q_DEF (-1) /* else 0 (lowest) .. 9 (highest) */

#define KRPER_NOT_PERSISTENT 0
#define KRPER_PERSISTENT 1
#define KRPER_PERSISTENCE_AS_Q_DEF 2

typedef struct KRMD {
  KRCHAR StrucId[4];                   /* "MD  " */
  KRLONG Version;                      /* 1 */
  KRLONG Report;                       /* KRRO_* */
  KRLONG MsgType;                      /* KRMT_* */
  KRLONG Expiry;                       /* tenths of a second, or -1 */
  KRLONG Feedback;
  KRLONG Encoding;                     /* 546 */
  KRLONG CodedCharSetId;               /* 0: the queue manager's */
  KRCHAR Format[KR_FORMAT_LENGTH];     /* blanks: none; "KRSTR   ": text */
  KRLONG Priority;                     /* -1: the queue's default */
  KRLONG Persistence;                  /* 2: the queue's default */
  KRBYTE MsgId[KR_MSG_ID_LENGTH];      /* all zero on put: one is generated */
  KRBYTE CorrelId[KR_CORREL_ID_LENGTH];
  KRLONG BackoutCount;
  KRCHAR ReplyToQ[KR_Q_NAME_LENGTH];
  KRCHAR ReplyToQMgr[KR_Q_MGR_NAME_LENGTH];
  /* Identity context. */
  KRCHAR UserIdentifier[KR_USER_ID_LENGTH];
  KRBYTE AccountingToken[KR_ACCOUNTING_TOKEN_LENGTH];
  KRCHAR ApplIdentityData[KR_APPL_IDENTITY_DATA_LENGTH];
  /* Origin context. */
  KRLONG PutApplType;
  KRCHAR PutApplName[KR_PUT_APPL_NAME_LENGTH];
  KRCHAR PutDate[KR_PUT_DATE_LENGTH]; /* YYYYMMDD, set by put (UTC) */
  KRCHAR PutTime[KR_PUT_TIME_LENGTH]; /* HHMMSSTH, set by put (UTC) */
  KRCHAR ApplOriginData[KR_APPL_ORIGIN_DATA_LENGTH];
} KRMD;

#define KRMD_DEFAULT                                                                       \
  {                                                                                        \
    {'M', 'D', ' ', ' '}, KRMD_VERSION_1, KRRO_NONE, KRMT_DATAGRAM, KREI_UNLIMITED,         \
        KRFB_NONE, KRENC_NATIVE, KRCCSI_Q_MGR, {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '},  \
        KRPRI_PRIORITY_AS_Q_DEF, KRPER_PERSISTENCE_AS_Q_DEF, {0}, {0}, 0, {0}, {0}, {0}, {0}, \
        {0}, 0, {0}, {0}, {0}, {                                                           \
      0                                                                                    \
    }                                                                                      \
  }

/* ---- Get-message options --------------------------------------------------- */
#define KRGMO_STRUC_ID "GMO "
#define KRGMO_VERSION_1 1

#define KRGMO_NO_WAIT 0x00000000
#define KRGMO_WAIT 0x00000001
#define KRGMO_BROWSE_FIRST 0x00000010
#define KRGMO_BROWSE_NEXT 0x00000020
/* Under syncpoint: the message is taken within the connection's unit of work.
 * Other getters do not see it; KRCMIT removes it for good, KRBACK (or a
 * disconnect without commit, or the death of the process) puts it back where
 * it was with its backout count one higher. Not with a browse. */
#define KRGMO_SYNCPOINT 0x00000002
#define KRGMO_NO_SYNCPOINT 0x00000004
#define KRGMO_FAIL_IF_QUIESCING 0x00002000
#define KRGMO_CONVERT 0x00004000 /* accepted; text is always UTF-8 */

#define KRWI_UNLIMITED (-1) /* wait interval: forever */

typedef struct KRGMO {
  KRCHAR StrucId[4]; /* "GMO " */
  KRLONG Version;    /* 1 */
  KRLONG Options;    /* KRGMO_* */
  KRLONG WaitInterval; /* milliseconds, or KRWI_UNLIMITED */
  KRLONG Signal1;      /* not used */
  KRLONG Signal2;      /* not used */
  KRCHAR ResolvedQName[KR_Q_NAME_LENGTH]; /* out: the queue read */
} KRGMO;

#define KRGMO_DEFAULT                                                   \
  {                                                                     \
    {'G', 'M', 'O', ' '}, KRGMO_VERSION_1, KRGMO_NO_WAIT, 0, 0, 0, {    \
      0                                                                 \
    }                                                                   \
  }

/* ---- Put-message options --------------------------------------------------- */
#define KRPMO_STRUC_ID "PMO "
#define KRPMO_VERSION_1 1

#define KRPMO_NONE 0x00000000
/* Under syncpoint: the message becomes visible to getters only at KRCMIT;
 * KRBACK (or a disconnect without commit, or the death of the process)
 * discards it. */
#define KRPMO_SYNCPOINT 0x00000002
#define KRPMO_NO_SYNCPOINT 0x00000004

typedef struct KRPMO {
  KRCHAR StrucId[4]; /* "PMO " */
  KRLONG Version;    /* 1 */
  KRLONG Options;    /* KRPMO_NONE */
  KRLONG Timeout;    /* -1; not used */
  KRLONG Context;    /* 0; not used */
  KRLONG KnownDestCount;   /* out: 1 after a successful put */
  KRLONG UnknownDestCount; /* out: 0 */
  KRLONG InvalidDestCount; /* out: 0 */
  KRCHAR ResolvedQName[KR_Q_NAME_LENGTH];        /* out */
  KRCHAR ResolvedQMgrName[KR_Q_MGR_NAME_LENGTH]; /* out */
} KRPMO;

#define KRPMO_DEFAULT                                                     \
  {                                                                       \
    {'P', 'M', 'O', ' '}, KRPMO_VERSION_1, KRPMO_NONE, -1, 0, 0, 0, 0, {0}, { \
      0                                                                   \
    }                                                                     \
  }

/* ---- The calls ------------------------------------------------------------- */

/* Connects to the queue manager named by the zero-terminated name (at most 48
 * bytes; trailing blanks ignored); an empty name, or NULL, is the default
 * queue manager. */
KRENTRY void KRCONN(const KRCHAR* QMgrName, KRHCONN* Hconn, KRLONG* CompCode, KRLONG* Reason);
/* The same call under the name the server bindings also export. */
KRENTRY void zrtKRCONN(const KRCHAR* QMgrName, KRHCONN* Hconn, KRLONG* CompCode,
                       KRLONG* Reason);
KRENTRY void KROPEN(KRHCONN Hconn, KROD* ObjDesc, KRLONG Options, KRHOBJ* Hobj,
                    KRLONG* CompCode, KRLONG* Reason);
KRENTRY void KRPUT(KRHCONN Hconn, KRHOBJ Hobj, KRMD* MsgDesc, KRPMO* PutMsgOpts,
                   KRLONG BufferLength, void* Buffer, KRLONG* CompCode, KRLONG* Reason);
KRENTRY void KRGET(KRHCONN Hconn, KRHOBJ Hobj, KRMD* MsgDesc, KRGMO* GetMsgOpts,
                   KRLONG BufferLength, void* Buffer, KRLONG* DataLength, KRLONG* CompCode,
                   KRLONG* Reason);
KRENTRY void KRCLOSE(KRHCONN Hconn, KRHOBJ* Hobj, KRLONG Options, KRLONG* CompCode,
                     KRLONG* Reason);
KRENTRY void KRDISC(KRHCONN* Hconn, KRLONG* CompCode, KRLONG* Reason);

/* Units of work. Each connection has at most one unit of work at a time: it
 * begins with the first get or put under syncpoint and ends with KRCMIT or
 * KRBACK. KRDISC without a commit backs it out, as does the death of the
 * connection's process. Both calls succeed with nothing to do when no unit of
 * work is open. */
KRENTRY void KRCMIT(KRHCONN Hconn, KRLONG* CompCode, KRLONG* Reason);
KRENTRY void KRBACK(KRHCONN Hconn, KRLONG* CompCode, KRLONG* Reason);

/* Attribute inquiry on a queue opened with KROO_INQUIRE. Selectors name the
 * attributes wanted; integer attributes are written to IntAttrs in selector
 * order, character attributes one after another into CharAttrs, each at its
 * full width (blank padded). */
#define KRIA_CURRENT_Q_DEPTH 3
#define KRIA_MAX_MSG_LENGTH 13
#define KRIA_MAX_Q_DEPTH 15
#define KRIA_BACKOUT_THRESHOLD 22 /* the queue's own; 0: none defined */
#define KRCA_BACKOUT_REQ_Q_NAME 2019 /* KR_Q_NAME_LENGTH wide; blank: none */
#define KRCA_Q_NAME 2016             /* KR_Q_NAME_LENGTH wide */
KRENTRY void KRINQ(KRHCONN Hconn, KRHOBJ Hobj, KRLONG SelectorCount, const KRLONG* Selectors,
                   KRLONG IntAttrCount, KRLONG* IntAttrs, KRLONG CharAttrLength,
                   KRCHAR* CharAttrs, KRLONG* CompCode, KRLONG* Reason);

/* Pointer types for callers that resolve the calls at run time by name. */
typedef void (*KRCONN_FN)(const KRCHAR*, KRHCONN*, KRLONG*, KRLONG*);
typedef void (*KROPEN_FN)(KRHCONN, KROD*, KRLONG, KRHOBJ*, KRLONG*, KRLONG*);
typedef void (*KRPUT_FN)(KRHCONN, KRHOBJ, KRMD*, KRPMO*, KRLONG, void*, KRLONG*, KRLONG*);
typedef void (*KRGET_FN)(KRHCONN, KRHOBJ, KRMD*, KRGMO*, KRLONG, void*, KRLONG*, KRLONG*,
                         KRLONG*);
typedef void (*KRCLOSE_FN)(KRHCONN, KRHOBJ*, KRLONG, KRLONG*, KRLONG*);
typedef void (*KRDISC_FN)(KRHCONN*, KRLONG*, KRLONG*);
typedef void (*KRCMIT_FN)(KRHCONN, KRLONG*, KRLONG*);
typedef void (*KRBACK_FN)(KRHCONN, KRLONG*, KRLONG*);
typedef void (*KRINQ_FN)(KRHCONN, KRHOBJ, KRLONG, const KRLONG*, KRLONG, KRLONG*, KRLONG,
                         KRCHAR*, KRLONG*, KRLONG*);

/* ---- Reason code texts ----------------------------------------------------- */
static inline const char* KRReasonText(KRLONG reason) {
  switch (reason) {
    case KRRC_NONE: return "no reason to report";
    case KRRC_NO_MSG_AVAILABLE: return "no message available";
    case KRRC_TRUNCATED_MSG_FAILED: return "message longer than the buffer; left on the queue";
    case KRRC_HCONN_ERROR: return "connection handle not valid";
    case KRRC_HOBJ_ERROR: return "object handle not valid";
    case KRRC_OPTIONS_ERROR: return "options not valid";
    case KRRC_UNKNOWN_OBJECT_NAME: return "unknown queue";
    case KRRC_UNKNOWN_Q_MGR: return "unknown queue manager";
    case KRRC_Q_MGR_NOT_AVAILABLE: return "queue manager not available";
    case KRRC_UNKNOWN_REMOTE_Q_MGR: return "unknown object queue manager";
    case KRRC_NAME_TOO_LONG: return "name longer than 48 bytes";
    case KRRC_NAME_NOT_VALID: return "name not valid";
    case KRRC_MSG_TOO_BIG_FOR_Q: return "message too big for the queue";
    case KRRC_Q_FULL: return "queue full";
    case KRRC_GET_INHIBITED: return "gets inhibited";
    case KRRC_PUT_INHIBITED: return "puts inhibited";
    case KRRC_BUFFER_ERROR: return "buffer not valid";
    case KRRC_BUFFER_LENGTH_ERROR: return "buffer length not valid";
    case KRRC_DATA_LENGTH_ERROR: return "data length pointer not valid";
    case KRRC_OD_ERROR: return "object descriptor not valid";
    case KRRC_MD_ERROR: return "message descriptor not valid";
    case KRRC_GMO_ERROR: return "get-message options not valid";
    case KRRC_PMO_ERROR: return "put-message options not valid";
    case KRRC_NOT_OPEN_FOR_INPUT: return "queue not open for input";
    case KRRC_NOT_OPEN_FOR_OUTPUT: return "queue not open for output";
    case KRRC_NOT_OPEN_FOR_BROWSE: return "queue not open for browse";
    case KRRC_PRIORITY_ERROR: return "priority not valid";
    case KRRC_PERSISTENCE_ERROR: return "persistence not valid";
    case KRRC_PERSISTENT_NOT_ALLOWED: return "persistent message not allowed on this queue";
    case KRRC_EXPIRY_ERROR: return "expiry not valid";
    case KRRC_STORAGE_NOT_AVAILABLE: return "queue manager message space full";
    case KRRC_STORE_ERROR: return "store read or write failed";
    case KRRC_OBJECT_IN_USE: return "object in use";
    case KRRC_OBJECT_ALREADY_EXISTS: return "object already exists";
    case KRRC_OBJECT_TYPE_ERROR: return "object type not valid";
    case KRRC_DYNAMIC_Q_NAME_ERROR: return "dynamic queue name not valid";
    case KRRC_CONNECTION_BROKEN: return "connection to the store broken";
    case KRRC_RESOURCE_PROBLEM: return "out of handles or memory";
    case KRRC_WAIT_INTERVAL_ERROR: return "wait interval not valid";
    case KRRC_Q_DELETED: return "queue deleted";
    case KRRC_NOT_AUTHORIZED: return "not authorized";
    case KRRC_HANDLE_NOT_AVAILABLE: return "handle pointer missing";
    case KRRC_MODEL_Q_NOT_ALLOWED: return "model queue cannot hold messages";
    case KRRC_BACKED_OUT: return "unit of work backed out";
    case KRRC_SYNCPOINT_LIMIT_REACHED: return "too many messages in the unit of work";
    case KRRC_SELECTOR_ERROR: return "inquiry selector not valid";
    case KRRC_NOT_OPEN_FOR_INQUIRE: return "queue not open for inquire";
    default: return "unknown reason code";
  }
}

#ifdef __cplusplus
}
#endif

#endif /* KRSOAP_COMMON_QUEUE_KRQUEUE_H */
