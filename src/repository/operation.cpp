// The repository operations: one driver, the selections built on the
// library's listing and duplication, and the result tables.
#include <strings.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "entity/entity.h"
#include "frame/frame.h"
#include "repository/repository.h"
#include "zelrelay_shared.h"

typedef int32_t (*RepositoryOperation)(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                                       ZELRELAY_Source *sources, uint64_t sourceCount,
                                       ZELRELAY_Information **information);
typedef int (*ComponentFilter)(const ZELRELAY_EntityItem *component, const void *extra, uint64_t extraCount);

// Everything one call builds. The body fills it under a protected call and
// the driver releases it on every path, also when the interpreter raises.
struct Request {
  ZELRELAY_Context context;
  ZELRELAY_Product *products;
  unsigned long productCount;
  ZELRELAY_Source *sources;
  unsigned long sourceCount;
  ZELRELAY_Product *components;
  unsigned long componentCount;
  ZELRELAY_Information *information;
  RepositoryOperation operation;  // null: select the listed component types
  Cleanup cleanup;
};

static const ZELRELAY_Information kNoInformation = {nullptr, 0};

static void ReleaseInformation(ZELRELAY_Information **information) {
  if (*information == nullptr) return;
  ZELRELAY_DestroyData(*information);
  *information = nullptr;
}

static bool IsKvem(const ZELRELAY_EntityItem *component) {
  return component->klass == ZELRELAY_CLASS_KVEM && component->type == ZELRELAY_TYPE_KVEM;
}

static int IsPatternComponent(const ZELRELAY_EntityItem *component, const void *, uint64_t) {
  return component->klass == ZELRELAY_CLASS_PATTERN || IsKvem(component);
}

static int IsPatternExceptPelno(const ZELRELAY_EntityItem *component, const void *, uint64_t) {
  return (component->klass == ZELRELAY_CLASS_PATTERN && component->type != ZELRELAY_TYPE_PELNO) || IsKvem(component);
}

static int MatchesListedType(const ZELRELAY_EntityItem *component, const void *extra, uint64_t extraCount) {
  const auto *listed = static_cast<const ZELRELAY_Product *>(extra);
  for (uint64_t i = 0; i < extraCount; i++)
    if (listed[i].entity.klass == component->klass && listed[i].entity.type == component->type) return 1;
  return 0;
}

// One allocation: the rebuilt list with a record per information product,
// then room for every component. A size that overflows is no memory either.
static void *AllocateSelection(const ZELRELAY_Information *information) {
  uint64_t components = 0;
  for (uint64_t i = 0; i < information->productCount; i++)
    if (__builtin_add_overflow(components, information->products[i].componentCount, &components)) return nullptr;
  size_t productBytes = 0, componentBytes = 0, bytes = 0;
  if (__builtin_mul_overflow(information->productCount, sizeof(ZELRELAY_Product), &productBytes) ||
      __builtin_mul_overflow(components, sizeof(ZELRELAY_EntityItem), &componentBytes) ||
      __builtin_add_overflow(productBytes, componentBytes, &bytes))
    return nullptr;
  return malloc(bytes);
}

// Returns the number of rebuilt records.
static uint64_t SelectComponents(const ZELRELAY_Information *information, ZELRELAY_Product *rebuilt,
                                 ComponentFilter filter, const void *extra, uint64_t extraCount) {
  auto *write = reinterpret_cast<ZELRELAY_EntityItem *>(rebuilt + information->productCount);
  uint64_t count = 0;
  for (uint64_t i = 0; i < information->productCount; i++) {
    const ZELRELAY_Product &product = information->products[i];
    ZELRELAY_Product &record = rebuilt[count];
    record.components = write;
    record.componentCount = 0;
    for (uint64_t j = 0; j < product.componentCount; j++) {
      if (!filter(&product.components[j], extra, extraCount)) continue;
      *write++ = product.components[j];
      record.componentCount++;
    }
    if (record.componentCount > 0) {
      record.entity = product.entity;
      count++;
    }
  }
  return count;
}

static int32_t SelectAndDuplicate(ComponentFilter filter, ZELRELAY_Context handle, ZELRELAY_Product *products,
                           uint64_t productCount, ZELRELAY_Source *sources, uint64_t sourceCount,
                           ZELRELAY_Information **information, const void *extra, uint64_t extraCount) {
  int32_t status = ZELRELAY_GetInformation(handle, products, productCount, sources, sourceCount, information);
  if (status <= 0) return status;
  // A success without a record lists nothing rather than crashing.
  const ZELRELAY_Information *found = *information != nullptr ? *information : &kNoInformation;
  void *buffer = AllocateSelection(found);
  if (buffer == nullptr) {
    ReleaseInformation(information);
    return ZELRELAY_STATUS_OUT_OF_MEMORY;
  }
  auto *rebuilt = static_cast<ZELRELAY_Product *>(buffer);
  uint64_t rebuiltCount = SelectComponents(found, rebuilt, filter, extra, extraCount);
  ReleaseInformation(information);
  status = ZELRELAY_Duplicate(handle, rebuilt, rebuiltCount, sources, sourceCount, information);
  free(buffer);
  return status;
}

static int32_t DuplicatePatterns(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                          ZELRELAY_Source *sources, uint64_t sourceCount, ZELRELAY_Information **information) {
  return SelectAndDuplicate(IsPatternComponent, handle, products, productCount, sources, sourceCount, information,
                            nullptr, 0);
}

static int32_t DuplicatePatternsExceptPelno(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                                     ZELRELAY_Source *sources, uint64_t sourceCount,
                                     ZELRELAY_Information **information) {
  return SelectAndDuplicate(IsPatternExceptPelno, handle, products, productCount, sources, sourceCount,
                            information, nullptr, 0);
}

// Stack: result table, integer key, value; left as found.
static void AddFriendlyAlias(lua_State *L) {
  if (lua_isnil(L, -1)) return;
  lua_getfield(L, -1, "friendly");
  if (lua_isnil(L, -1)) {
    lua_pop(L, 1);
    return;
  }
  lua_pushvalue(L, -2);
  lua_settable(L, -5);
}

static int InformationToLua(lua_State *L, const ZELRELAY_Information *information) {
  uint64_t keys = information->productCount;
  for (uint64_t i = 0; i < information->productCount; i++) keys += information->products[i].componentCount;
  lua_createtable(L, keys <= INT_MAX ? static_cast<int>(keys) : 0, 0);
  lua_Integer key = 0;
  for (uint64_t i = 0; i < information->productCount; i++) {
    const ZELRELAY_Product &product = information->products[i];
    lua_pushinteger(L, ++key);
    ProductToLua(L, product.entity);
    AddFriendlyAlias(L);
    lua_rawset(L, -3);
    for (uint64_t j = 0; j < product.componentCount; j++) {
      lua_pushinteger(L, ++key);
      ComponentToLua(L, product.components[j]);
      AddFriendlyAlias(L);
      lua_rawset(L, -3);
    }
  }
  return 1;
}

static void RaiseMessage(lua_State *L, const char *message) {
  if (message != nullptr) luaL_error(L, "%s", message);
}

// The result table (or nil), the code and the message. The record is
// released as soon as it has been read.
static void PushOutcome(lua_State *L, Request &request, int32_t status) {
  if (status > 0 && request.information != nullptr) {
    InformationToLua(L, request.information);
    ReleaseInformation(&request.information);
  } else {
    request.information = nullptr;  // not ours to read on a failure
    lua_pushnil(L);
  }
  PushStatus(L, status);
}

// The protected bodies get the call's arguments in their own slots, so the
// options table stays at OPTIONS_SLOT for the event callback, and the
// request record after them.
enum { REQUEST_SLOT = COMPONENTS_SLOT + 1 };

// Pushes body and its arguments; returns their number, for lua_pcall.
static int PushBody(lua_State *L, lua_CFunction body, Request &request) {
  lua_pushcfunction(L, body);
  for (int slot = REPOSITORY_SLOT; slot <= COMPONENTS_SLOT; slot++) lua_pushvalue(L, slot);
  lua_pushlightuserdata(L, &request);
  return REQUEST_SLOT;
}

static Request &RequestOf(lua_State *L) { return *static_cast<Request *>(lua_touserdata(L, REQUEST_SLOT)); }

static int RequestBody(lua_State *L) {
  Request &request = RequestOf(L);
  RaiseMessage(L, LuaToProducts(L, PRODUCTS_SLOT, &request.products, request.productCount));
  RaiseMessage(L, LuaToSources(L, SOURCES_SLOT, &request.sources, request.sourceCount));
  RaiseMessage(L, ParseOptions(L, request.context, &request.cleanup));
  int32_t status;
  if (request.operation != nullptr) {
    status = request.operation(request.context, request.products, request.productCount, request.sources,
                               request.sourceCount, &request.information);
  } else {
    if (!lua_isnoneornil(L, COMPONENTS_SLOT))
      RaiseMessage(L, LuaToProducts(L, COMPONENTS_SLOT, &request.components, request.componentCount));
    status = SelectAndDuplicate(MatchesListedType, request.context, request.products, request.productCount,
                                request.sources, request.sourceCount, &request.information, request.components,
                                request.componentCount);
  }
  PushOutcome(L, request, status);
  return 3;
}

static void ReleaseRequest(Request &request) {
  ReleaseInformation(&request.information);
  DestroyProducts(request.components, request.componentCount);
  DestroySources(request.sources, request.sourceCount);
  DestroyProducts(request.products, request.productCount);
  DestroyContext(request.context);
}

// False when the context was refused (nil, code and message pushed). An
// error raised after the context opened is raised again once all is released.
static bool RunRequest(lua_State *L, Request &request) {
  lua_settop(L, COMPONENTS_SLOT);
  request.cleanup = CLEANUP_ALL;
  if (OpenContext(L, &request.context) != 0) return false;
  int status = lua_pcall(L, PushBody(L, RequestBody, request), 3, 0);
  ReleaseRequest(request);
  if (status != LUA_OK) lua_error(L);
  return true;
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A directory source as a path: the text itself, or a file:// URL of this
// host with its escapes decoded; false for any other source.
static bool SourcePath(const char *url, char *path, size_t size) {
  bool file = strncasecmp(url, "file://", 7) == 0;
  if (file) {
    url += 7;
    if (strncasecmp(url, "localhost/", 10) == 0) url += 9;
    if (*url != '/') return false;
  } else if (strstr(url, "://") != nullptr) {
    return false;
  }
  size_t n = 0;
  for (; *url != 0 && n + 1 < size; ++n) {
    int high = file && url[0] == '%' ? HexDigit(url[1]) : -1, low = high >= 0 ? HexDigit(url[2]) : -1;
    path[n] = low >= 0 ? static_cast<char>(high * 16 + low) : *url;
    url += low >= 0 ? 3 : 1;
  }
  path[n] = 0;
  return *url == 0;
}

static bool IsDirectory(const char *url, const struct stat &repository) {
  char path[PATH_MAX];
  struct stat info;
  return SourcePath(url, path, sizeof path) && stat(path, &info) == 0 && info.st_dev == repository.st_dev &&
         info.st_ino == repository.st_ino;
}

// Whether the repository is also one of the call's directory sources,
// however either is spelled: there the clean-up would strip the upstream
// itself.
static bool RepositoryIsASource(lua_State *L) {
  struct stat repository;
  if (stat(lua_tostring(L, REPOSITORY_SLOT), &repository) != 0) return false;
  if (lua_type(L, SOURCES_SLOT) == LUA_TSTRING || lua_type(L, SOURCES_SLOT) == LUA_TNUMBER)
    return IsDirectory(lua_tostring(L, SOURCES_SLOT), repository);
  if (!lua_istable(L, SOURCES_SLOT)) return false;
  lua_Integer count = luaL_len(L, SOURCES_SLOT);
  for (lua_Integer i = 1; i <= count; i++) {
    lua_rawgeti(L, SOURCES_SLOT, static_cast<int>(i));
    if (lua_istable(L, -1)) {
      lua_getfield(L, -1, "url");
      const char *url = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : nullptr;
      if (url != nullptr && IsDirectory(url, repository)) return true;
      lua_pop(L, 1);
    }
    lua_pop(L, 1);
  }
  return false;
}

// The module's own removeek, not the field a script may have replaced.
static int CleanupBody(lua_State *L) {
  if (RepositoryIsASource(L)) return 0;
  lua_pushcfunction(L, update_removeek);
  lua_pushvalue(L, REPOSITORY_SLOT);
  int arguments = 1;
  if (RequestOf(L).cleanup == CLEANUP_FILTERED) {
    lua_getfield(L, OPTIONS_SLOT, "removeek");
    arguments = 2;
  }
  lua_call(L, arguments, 0);
  return 0;
}

// Whatever the clean-up does, the operation's results stand.
static void RunCleanup(lua_State *L, Request &request) {
  int top = lua_gettop(L);
  lua_pcall(L, PushBody(L, CleanupBody, request), 0, 0);
  lua_settop(L, top);
}

// The mode set_mode last took (module/export.h); declared here, where the
// operations stand, which see nothing of the module's entry.
extern "C" uint32_t g_zel_mode;

// Only a duplication may be followed by the clean-up.
enum OperationKind { LISTS, DUPLICATES };

static int RunRepositoryOperation(lua_State *L, RepositoryOperation operation, OperationKind kind) {
  Request request = {};
  request.operation = operation;
  // A dry run writes nothing, and its clean-up would strip the repository.
  bool mayClean = kind == DUPLICATES && g_zel_mode != ZELRELAY_MODE_DRY_RUN;
  if (RunRequest(L, request) && mayClean &&
      (request.cleanup == CLEANUP_ALL || request.cleanup == CLEANUP_FILTERED))
    RunCleanup(L, request);
  return 3;
}

int update_list(lua_State *L) { return RunRepositoryOperation(L, ZELRELAY_GetInformation, LISTS); }

int update_everything(lua_State *L) { return RunRepositoryOperation(L, ZELRELAY_Duplicate, DUPLICATES); }

int update_patterns(lua_State *L) { return RunRepositoryOperation(L, DuplicatePatterns, DUPLICATES); }

int update_patternsExceptPelno(lua_State *L) {
  return RunRepositoryOperation(L, DuplicatePatternsExceptPelno, DUPLICATES);
}

// components never cleans up, whatever its options say: that is the call's
// contract (docs/api.md), which scripts rely on; one that wants the clean-up
// calls removeek itself, as update-mirror does. The options are still
// checked, ek and removeek included.
int update_components(lua_State *L) {
  Request request = {};
  RunRequest(L, request);
  return 3;
}
