/*
 * The relay library's calls and records. The module and the local relay both
 * build against this one header, so its layout is the contract: every record
 * crosses the library boundary byte for byte, and the assertions below pin it.
 */
#ifndef ZELRELAY_H
#define ZELRELAY_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZEL_Version {
  uint64_t major;
  uint64_t minor; /* ten-thousandths: 1.5 is 5000 */
  uint64_t build;
} ZEL_Version;

typedef struct ZELRELAY_EntityItem {
  int32_t klass;
  int32_t type;
  int32_t language; /* -1: not given */
  int32_t platform;
  int32_t region;
  int32_t oem;
  ZEL_Version version;
  uint64_t revision;
} ZELRELAY_EntityItem;

typedef struct ZELRELAY_Product {
  ZELRELAY_EntityItem entity;
  ZELRELAY_EntityItem *components; /* null: the whole product */
  uint64_t componentCount;
} ZELRELAY_Product;

typedef struct ZELRELAY_Proxy {
  int32_t type;
  wchar_t *host;
  uint16_t port;
  wchar_t *user;
  wchar_t *password;
} ZELRELAY_Proxy;

typedef struct ZELRELAY_Source {
  wchar_t *url;
  void *reserved1;
  void *reserved2;
  ZELRELAY_Proxy *proxy;
} ZELRELAY_Source;

typedef struct ZELRELAY_Information {
  ZELRELAY_Product *products;
  uint64_t productCount;
} ZELRELAY_Information;

typedef struct ZELRELAY_Event {
  wchar_t *information;
  uint64_t total;
  uint64_t finished;
} ZELRELAY_Event;

typedef struct ZELRELAY_ContextRecord *ZELRELAY_Context;

/* Returns 0 to cancel the running operation, 1 to go on. */
typedef int (*ZELRELAY_EventCallback)(int event, ZELRELAY_Event *record, void *user);

enum {
  ZELRELAY_EVENT_DOWNLOAD = 0,
  ZELRELAY_EVENT_PROGRESS = 1,
  ZELRELAY_EVENT_REMOVEBEGIN = 2,
  ZELRELAY_EVENT_REMOVEFAILED = 3,
  ZELRELAY_EVENT_DOWNLOADBEGIN = 4,
  ZELRELAY_EVENT_DOWNLOADEND = 5
};

enum {
  ZELRELAY_OPTION_MAXBANDWIDTH = 0,
  ZELRELAY_OPTION_BUILDPATCH = 9,
  ZELRELAY_OPTION_MAXMERGE = 10,
  ZELRELAY_OPTION_DIFFCOUNT = 11,
  ZELRELAY_OPTION_KEEPCOUNT = 12,
  ZELRELAY_OPTION_HTTPSLEVEL = 15,
  ZELRELAY_OPTION_DUPDIGISIGN = 19
};

enum { ZELRELAY_MESSAGE_CHARS = 64 };

/* Every call returns a status: above zero is success. Strings and arrays
   passed in are borrowed for the call only. What the project's relay
   answers to each is in docs/local-relay.md. */
/* Starts the library for the process (reserved: 0); each start-up reads the
   module's g_zel_mode. */
int32_t ZELRELAY_Startup(int32_t reserved);
/* Stops it; live contexts stay valid for ZELRELAY_DestroyContext. */
int32_t ZELRELAY_Shutdown(void);
/* Writes the library's version through the four pointers. */
int32_t ZELRELAY_GetVersion(uint64_t *major, uint64_t *minor, uint64_t *build, uint64_t *revision);
/* Writes the status's message, terminator included at most
   ZELRELAY_MESSAGE_CHARS wide characters, into buffer. */
int32_t ZELRELAY_GetStatusMessage(wchar_t *buffer, int32_t status);
/* On success stores a context on the repository folder in *handle, which the
   caller ends with ZELRELAY_DestroyContext once; else *handle is not one. */
int32_t ZELRELAY_CreateContext(ZELRELAY_Context *handle, const wchar_t *repository);
/* Ends the context; the handle is refused from then on. */
int32_t ZELRELAY_DestroyContext(ZELRELAY_Context handle);
/* Sets one option (ZELRELAY_OPTION_) for the context's later calls. */
int32_t ZELRELAY_SetOption(ZELRELAY_Context handle, int32_t id, int64_t value);
/* The callback, with user, hears the event during the context's operations,
   on the calling thread; it replaces the one before, and null unsubscribes. */
int32_t ZELRELAY_SubscribeEvent(ZELRELAY_Context handle, int32_t event, ZELRELAY_EventCallback callback,
                                void *user);
/* Lists what the request covers into a new record in *information, which
   the caller releases with ZELRELAY_DestroyData. */
int32_t ZELRELAY_GetInformation(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                                ZELRELAY_Source *sources, uint64_t sourceCount,
                                ZELRELAY_Information **information);
/* Copies what the request covers and the repository lacks; may store a
   record of it in *information (when not null), for ZELRELAY_DestroyData. */
int32_t ZELRELAY_Duplicate(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                           ZELRELAY_Source *sources, uint64_t sourceCount, ZELRELAY_Information **information);
/* Extracts the newest version the repository holds that matches entity
   into the folder destination. */
int32_t ZELRELAY_ExportComponent(ZELRELAY_Context handle, const wchar_t *destination, ZELRELAY_EntityItem entity);
/* Releases a record of ZELRELAY_GetInformation or ZELRELAY_Duplicate. */
int32_t ZELRELAY_DestroyData(ZELRELAY_Information *information);

#ifdef __cplusplus
}
#define ZELRELAY_ASSERT(e, m) static_assert(e, m)
#else
#define ZELRELAY_ASSERT(e, m) _Static_assert(e, m)
#endif

ZELRELAY_ASSERT(sizeof(wchar_t) == 4, "wide characters are 32-bit");
ZELRELAY_ASSERT(sizeof(ZEL_Version) == 24, "ZEL_Version");
ZELRELAY_ASSERT(offsetof(ZEL_Version, minor) == 8 && offsetof(ZEL_Version, build) == 16, "ZEL_Version");
ZELRELAY_ASSERT(sizeof(ZELRELAY_EntityItem) == 56, "entity");
ZELRELAY_ASSERT(offsetof(ZELRELAY_EntityItem, type) == 4 && offsetof(ZELRELAY_EntityItem, language) == 8, "entity");
ZELRELAY_ASSERT(offsetof(ZELRELAY_EntityItem, platform) == 12 && offsetof(ZELRELAY_EntityItem, region) == 16, "entity");
ZELRELAY_ASSERT(offsetof(ZELRELAY_EntityItem, oem) == 20 && offsetof(ZELRELAY_EntityItem, version) == 24, "entity");
ZELRELAY_ASSERT(offsetof(ZELRELAY_EntityItem, revision) == 48, "entity");
ZELRELAY_ASSERT(sizeof(ZELRELAY_Product) == 72, "product");
ZELRELAY_ASSERT(offsetof(ZELRELAY_Product, components) == 56, "product");
ZELRELAY_ASSERT(offsetof(ZELRELAY_Product, componentCount) == 64, "product");
ZELRELAY_ASSERT(sizeof(ZELRELAY_Source) == 32 && offsetof(ZELRELAY_Source, proxy) == 24, "source");
ZELRELAY_ASSERT(offsetof(ZELRELAY_Source, reserved1) == 8 && offsetof(ZELRELAY_Source, reserved2) == 16, "source");
ZELRELAY_ASSERT(sizeof(ZELRELAY_Proxy) == 40 && offsetof(ZELRELAY_Proxy, host) == 8, "proxy");
ZELRELAY_ASSERT(offsetof(ZELRELAY_Proxy, port) == 16 && offsetof(ZELRELAY_Proxy, user) == 24, "proxy");
ZELRELAY_ASSERT(offsetof(ZELRELAY_Proxy, password) == 32, "proxy");
ZELRELAY_ASSERT(sizeof(ZELRELAY_Information) == 16 && offsetof(ZELRELAY_Information, productCount) == 8, "information");
ZELRELAY_ASSERT(sizeof(ZELRELAY_Event) == 24 && offsetof(ZELRELAY_Event, total) == 8, "event");
ZELRELAY_ASSERT(offsetof(ZELRELAY_Event, finished) == 16, "event");

#undef ZELRELAY_ASSERT

#endif
