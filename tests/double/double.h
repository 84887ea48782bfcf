// The recording double of the relay library: one process-wide state that the
// Lua control module and C++ tests script, and the log of every call made.
// A new call gets its Call and name here, logs through Log() in relay.cpp and
// decodes any new record kind in decode.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zelrelay.h"

namespace zeldouble {

// Indexes into kCallNames, the library's call names without their prefix.
enum Call {
  STARTUP,
  SHUTDOWN,
  GET_VERSION,
  GET_STATUS_MESSAGE,
  CREATE_CONTEXT,
  DESTROY_CONTEXT,
  SET_OPTION,
  SUBSCRIBE_EVENT,
  GET_INFORMATION,
  DUPLICATE,
  EXPORT_COMPONENT,
  DESTROY_DATA,
  CALL_COUNT
};
// Null-terminated, so luaL_checkoption can take it.
extern const char *const kCallNames[CALL_COUNT + 1];

// The entity table's fields, in record order, with their width and the value
// a scripted entity gets when the field is missing.
struct EntityField {
  const char *key;
  size_t offset;
  bool wide; // uint64_t, else int32_t
  int32_t missing;
};
enum { ENTITY_FIELD_COUNT = 10 };
extern const EntityField kEntityFields[ENTITY_FIELD_COUNT];

// One decoded argument, as the log keeps it and Lua receives it. Numbers are
// exact below 2^53; larger 64-bit values are decimal TEXT.
struct Value {
  enum Kind { FLAG, NUMBER, TEXT, LIST, TABLE } kind = TABLE;
  int64_t number = 0;       // FLAG, NUMBER
  std::string text;         // TEXT
  std::string key;          // this value's name inside a TABLE
  std::vector<Value> items; // LIST elements, TABLE fields
};
const Value *FieldOf(const Value &table, const char *key);

struct Message {
  enum Mode { TEXT, NOTHING, FILL } mode = TEXT;
  std::wstring text;
};

struct Product {
  ZELRELAY_EntityItem entity{};
  bool whole = true; // no component array
  std::vector<ZELRELAY_EntityItem> components;
};

struct Event {
  int32_t event = 0;
  bool record = false;
  bool informed = false; // record carries an information string
  std::wstring information;
  uint64_t total = 0;
  uint64_t finished = 0;
  Call on = CALL_COUNT; // CALL_COUNT: the next operation of any kind
};

// Back to defaults; live contexts and records stay, context ids restart at 1.
void Reset();
void SetStatus(Call call, int32_t status);
void SetVersion(uint64_t major, uint64_t minor, uint64_t build, uint64_t revision);
Message &ScriptMessage(int32_t code);
void DefaultMessage(int32_t code);
// call is GET_INFORMATION or DUPLICATE; the returned list starts empty.
std::vector<Product> &ScriptInformation(Call call);
void DefaultInformation(Call call);
Event &QueueEvent();
const std::vector<Value> &Calls();
void ClearCalls();
size_t LiveContexts();
size_t LiveRecords();
bool SemaphoreExists();

} // namespace zeldouble
