// The library's calls as the double answers them: each is logged with its
// arguments decoded, then returns what the test scripted.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <map>

#include "double/decode.h"
#include "zelrelay_shared.h"

using namespace zeldouble;

struct Subscription {
  int32_t event;
  ZELRELAY_EventCallback callback;
  void *user;
};

struct ZELRELAY_ContextRecord {
  int64_t id;
  std::vector<Subscription> subscriptions;
};

namespace zeldouble {

const char *const kCallNames[CALL_COUNT + 1] = {
    "Startup",         "Shutdown",    "GetVersion",     "GetStatusMessage", "CreateContext",
    "DestroyContext",  "SetOption",   "SubscribeEvent", "GetInformation",   "Duplicate",
    "ExportComponent", "DestroyData", nullptr,
};

static const char kSemaphore[] = ZELRELAY_SEMAPHORE_FILE;

namespace {
// What a test scripts; reset restores exactly this.
struct Script {
  int32_t status[CALL_COUNT];
  uint64_t version[4] = {1, 0, 0, 0};
  std::map<int32_t, Message> messages;
  bool informed[2] = {}; // GetInformation, Duplicate
  std::vector<Product> information[2];
  std::vector<Event> events;
  Script() { std::fill(std::begin(status), std::end(status), 1); }
};

struct State {
  Script script;
  std::vector<Value> log;
  int64_t nextContext = 1;
  std::vector<ZELRELAY_ContextRecord *> contexts;
  std::vector<ZELRELAY_Information *> records;
};
} // namespace

static State g_state;

void Reset() {
  g_state.script = Script();
  g_state.log.clear();
  g_state.nextContext = 1;
}

void SetStatus(Call call, int32_t status) { g_state.script.status[call] = status; }

void SetVersion(uint64_t major, uint64_t minor, uint64_t build, uint64_t revision) {
  uint64_t *version = g_state.script.version;
  version[0] = major;
  version[1] = minor;
  version[2] = build;
  version[3] = revision;
}

Message &ScriptMessage(int32_t code) { return g_state.script.messages[code] = Message(); }

void DefaultMessage(int32_t code) { g_state.script.messages.erase(code); }

std::vector<Product> &ScriptInformation(Call call) {
  int which = call == DUPLICATE;
  g_state.script.informed[which] = true;
  g_state.script.information[which].clear();
  return g_state.script.information[which];
}

void DefaultInformation(Call call) {
  int which = call == DUPLICATE;
  g_state.script.informed[which] = false;
  g_state.script.information[which].clear();
}

Event &QueueEvent() { return g_state.script.events.emplace_back(); }

const std::vector<Value> &Calls() { return g_state.log; }

void ClearCalls() { g_state.log.clear(); }

size_t LiveContexts() { return g_state.contexts.size(); }

size_t LiveRecords() { return g_state.records.size(); }

bool SemaphoreExists() { return access(kSemaphore, F_OK) == 0; }

} // namespace zeldouble

// The one place an entry enters the log; the caller adds its fields before
// anything else can be logged.
static Value &Log(const char *call) {
  Value &entry = g_state.log.emplace_back();
  Set(entry, "call", Text(call));
  return entry;
}

static Value &Log(Call call) { return Log(kCallNames[call]); }

static int32_t StatusOf(Call call) { return g_state.script.status[call]; }

// Only handles the double made count: others are never dereferenced.
static ZELRELAY_ContextRecord *Find(ZELRELAY_Context handle) {
  auto &live = g_state.contexts;
  return std::find(live.begin(), live.end(), handle) != live.end() ? handle : nullptr;
}

static Value ContextId(const ZELRELAY_ContextRecord *context) { return Number(context ? context->id : 0); }

static void WriteMessage(wchar_t *buffer, int32_t status) {
  auto found = g_state.script.messages.find(status);
  if (found == g_state.script.messages.end()) {
    swprintf(buffer, ZELRELAY_MESSAGE_CHARS, L"status %d", status);
    return;
  }
  const Message &message = found->second;
  const std::wstring &text = message.text;
  switch (message.mode) {
  case Message::NOTHING:
    break;
  case Message::TEXT: {
    size_t n = std::min<size_t>(text.size(), ZELRELAY_MESSAGE_CHARS - 1);
    std::copy_n(text.begin(), n, buffer);
    buffer[n] = 0;
    break;
  }
  case Message::FILL: // an empty text has nothing to repeat: zeros
    for (size_t i = 0; i < ZELRELAY_MESSAGE_CHARS; i++) buffer[i] = text.empty() ? 0 : text[i % text.size()];
    break;
  }
}

// As the real library's named semaphore would.
static void TouchSemaphore() {
  int fd = open(kSemaphore, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
}

// The handler for the event's number, else the context's first one.
static const Subscription *HandlerOf(const ZELRELAY_ContextRecord *context, int32_t event) {
  if (context == nullptr || context->subscriptions.empty()) return nullptr;
  for (const Subscription &s : context->subscriptions)
    if (s.event == event) return &s;
  return &context->subscriptions.front();
}

// Logged once the callback has returned, after whatever it called.
static void Fire(const Event &event, const ZELRELAY_ContextRecord *context) {
  const Subscription *handler = HandlerOf(context, event.event);
  Subscription chosen = handler ? *handler : Subscription{};
  std::wstring information = event.information;
  ZELRELAY_Event record = {event.informed ? information.data() : nullptr, event.total, event.finished};
  int result = 0;
  if (handler) result = chosen.callback(event.event, event.record ? &record : nullptr, chosen.user);
  Value &entry = Log("Event");
  Set(entry, "event", Number(event.event));
  Set(entry, "fired", Flag(handler != nullptr));
  if (handler) Set(entry, "result", Number(result));
}

// Taken out of the queue before any fires, so a re-entering handler does not
// see them again.
static void FireEvents(Call call, const ZELRELAY_ContextRecord *context) {
  std::vector<Event> &queue = g_state.script.events;
  auto due = std::stable_partition(queue.begin(), queue.end(),
                                   [call](const Event &e) { return e.on != CALL_COUNT && e.on != call; });
  std::vector<Event> firing(std::make_move_iterator(due), std::make_move_iterator(queue.end()));
  queue.erase(due, queue.end());
  for (const Event &event : firing) Fire(event, context);
}

static ZELRELAY_Information *BuildInformation(const std::vector<Product> &products) {
  auto *record = static_cast<ZELRELAY_Information *>(calloc(1, sizeof(ZELRELAY_Information)));
  record->productCount = products.size();
  if (!products.empty())
    record->products = static_cast<ZELRELAY_Product *>(calloc(products.size(), sizeof(ZELRELAY_Product)));
  for (size_t i = 0; i < products.size(); i++) {
    const Product &from = products[i];
    ZELRELAY_Product &to = record->products[i];
    to.entity = from.entity;
    if (from.whole) continue;
    // An empty list still gets a pointer: null means the whole product.
    to.components = static_cast<ZELRELAY_EntityItem *>(
        malloc(sizeof(ZELRELAY_EntityItem) * std::max<size_t>(from.components.size(), 1)));
    std::copy(from.components.begin(), from.components.end(), to.components);
    to.componentCount = from.components.size();
  }
  g_state.records.push_back(record);
  return record;
}

static void FreeInformation(ZELRELAY_Information *record) {
  for (uint64_t i = 0; i < record->productCount; i++) free(record->products[i].components);
  free(record->products);
  free(record);
}

static int32_t Operate(Call call, ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t count,
                       ZELRELAY_Source *sources, uint64_t sourceCount, ZELRELAY_Information **information) {
  const ZELRELAY_ContextRecord *context = Find(handle);
  Value &entry = Log(call);
  Set(entry, "context", ContextId(context));
  Set(entry, "count", Unsigned(count));
  Set(entry, "source_count", Unsigned(sourceCount));
  if (products != nullptr) Set(entry, "products", Products(products, count));
  if (sources != nullptr) Set(entry, "sources", Sources(sources, sourceCount));
  if (information != nullptr) Set(entry, "info_null", Flag(*information == nullptr));
  FireEvents(call, context);
  int32_t status = StatusOf(call);
  int which = call == DUPLICATE;
  if (status > 0 && information != nullptr && g_state.script.informed[which])
    *information = BuildInformation(g_state.script.information[which]);
  return status;
}

int32_t ZELRELAY_Startup(int32_t reserved) {
  Set(Log(STARTUP), "reserved", Number(reserved));
  return StatusOf(STARTUP);
}

int32_t ZELRELAY_Shutdown() {
  Log(SHUTDOWN);
  return StatusOf(SHUTDOWN);
}

int32_t ZELRELAY_GetVersion(uint64_t *major, uint64_t *minor, uint64_t *build, uint64_t *revision) {
  Log(GET_VERSION);
  int32_t status = StatusOf(GET_VERSION);
  uint64_t *out[] = {major, minor, build, revision};
  for (size_t i = 0; i < 4 && status > 0; i++)
    if (out[i] != nullptr) *out[i] = g_state.script.version[i];
  return status;
}

int32_t ZELRELAY_GetStatusMessage(wchar_t *buffer, int32_t status) {
  Set(Log(GET_STATUS_MESSAGE), "status", Number(status));
  if (buffer != nullptr) WriteMessage(buffer, status);
  return StatusOf(GET_STATUS_MESSAGE);
}

int32_t ZELRELAY_CreateContext(ZELRELAY_Context *handle, const wchar_t *repository) {
  int32_t status = StatusOf(CREATE_CONTEXT);
  ZELRELAY_ContextRecord *context = nullptr;
  if (status > 0 && handle != nullptr) {
    context = new ZELRELAY_ContextRecord{g_state.nextContext++, {}};
    g_state.contexts.push_back(context);
    *handle = context;
  }
  Value &entry = Log(CREATE_CONTEXT);
  if (repository != nullptr) Set(entry, "path", Wide(repository));
  Set(entry, "context", ContextId(context));
  TouchSemaphore();
  return status;
}

// Released whatever status is scripted: nobody retries a destroy.
int32_t ZELRELAY_DestroyContext(ZELRELAY_Context handle) {
  ZELRELAY_ContextRecord *context = Find(handle);
  Set(Log(DESTROY_CONTEXT), "context", ContextId(context));
  if (context != nullptr) {
    auto &live = g_state.contexts;
    live.erase(std::find(live.begin(), live.end(), context));
    delete context;
  }
  return StatusOf(DESTROY_CONTEXT);
}

int32_t ZELRELAY_SetOption(ZELRELAY_Context handle, int32_t id, int64_t value) {
  Value &entry = Log(SET_OPTION);
  Set(entry, "context", ContextId(Find(handle)));
  Set(entry, "id", Number(id));
  Set(entry, "value", Number(value));
  return StatusOf(SET_OPTION);
}

// A later subscription to the same number replaces the earlier in its place.
int32_t ZELRELAY_SubscribeEvent(ZELRELAY_Context handle, int32_t event, ZELRELAY_EventCallback callback,
                                void *user) {
  ZELRELAY_ContextRecord *context = Find(handle);
  Value &entry = Log(SUBSCRIBE_EVENT);
  Set(entry, "context", ContextId(context));
  Set(entry, "event", Number(event));
  Set(entry, "callback", Flag(callback != nullptr));
  Set(entry, "user", Flag(user != nullptr));
  int32_t status = StatusOf(SUBSCRIBE_EVENT);
  if (context == nullptr || callback == nullptr || status <= 0) return status;
  auto &list = context->subscriptions;
  auto same = std::find_if(list.begin(), list.end(), [event](const Subscription &s) { return s.event == event; });
  if (same != list.end())
    *same = {event, callback, user};
  else
    list.push_back({event, callback, user});
  return status;
}

int32_t ZELRELAY_GetInformation(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                                ZELRELAY_Source *sources, uint64_t sourceCount,
                                ZELRELAY_Information **information) {
  return Operate(GET_INFORMATION, handle, products, productCount, sources, sourceCount, information);
}

int32_t ZELRELAY_Duplicate(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                           ZELRELAY_Source *sources, uint64_t sourceCount, ZELRELAY_Information **information) {
  return Operate(DUPLICATE, handle, products, productCount, sources, sourceCount, information);
}

int32_t ZELRELAY_ExportComponent(ZELRELAY_Context handle, const wchar_t *destination, ZELRELAY_EntityItem entity) {
  const ZELRELAY_ContextRecord *context = Find(handle);
  Value &entry = Log(EXPORT_COMPONENT);
  Set(entry, "context", ContextId(context));
  if (destination != nullptr) Set(entry, "destination", Wide(destination));
  Set(entry, "entity", Entity(entity));
  FireEvents(EXPORT_COMPONENT, context);
  return StatusOf(EXPORT_COMPONENT);
}

int32_t ZELRELAY_DestroyData(ZELRELAY_Information *information) {
  auto &live = g_state.records;
  auto found = std::find(live.begin(), live.end(), information);
  bool known = found != live.end();
  Set(Log(DESTROY_DATA), "known", Flag(known));
  if (known) {
    live.erase(found);
    FreeInformation(information);
  }
  return StatusOf(DESTROY_DATA);
}
