// Byte-exact decoders of what the library receives, one per record kind.
#include "double/decode.h"

#include <cstring>

namespace zeldouble {

#define ENTITY_FIELD(key, member, wide, missing) {key, offsetof(ZELRELAY_EntityItem, member), wide, missing}
const EntityField kEntityFields[ENTITY_FIELD_COUNT] = {
    ENTITY_FIELD("klass", klass, false, 0),
    ENTITY_FIELD("type", type, false, 0),
    ENTITY_FIELD("language", language, false, -1),
    ENTITY_FIELD("platform", platform, false, -1),
    ENTITY_FIELD("region", region, false, -1),
    ENTITY_FIELD("oem", oem, false, -1),
    ENTITY_FIELD("major", version.major, true, 0),
    ENTITY_FIELD("minor", version.minor, true, 0),
    ENTITY_FIELD("build", version.build, true, 0),
    ENTITY_FIELD("revision", revision, true, 0),
};
#undef ENTITY_FIELD

static constexpr int64_t kExact = int64_t{1} << 53;

const Value *FieldOf(const Value &table, const char *key) {
  for (const Value &field : table.items)
    if (field.key == key) return &field;
  return nullptr;
}

Value Flag(bool flag) {
  Value value;
  value.kind = Value::FLAG;
  value.number = flag;
  return value;
}

Value Number(int64_t number) {
  if (number <= -kExact || number >= kExact) return Text(std::to_string(number));
  Value value;
  value.kind = Value::NUMBER;
  value.number = number;
  return value;
}

Value Unsigned(uint64_t number) {
  return number < kExact ? Number(static_cast<int64_t>(number)) : Text(std::to_string(number));
}

Value Text(std::string text) {
  Value value;
  value.kind = Value::TEXT;
  value.text = std::move(text);
  return value;
}

Value Table() { return Value(); }

static Value List() {
  Value value;
  value.kind = Value::LIST;
  return value;
}

void Set(Value &table, const char *key, Value value) {
  value.key = key;
  table.items.push_back(std::move(value));
}

// A string when every character is a byte 1..255, else the signed values.
Value Wide(const wchar_t *wide) {
  size_t n = wcslen(wide);
  bool narrow = true;
  for (size_t i = 0; i < n; i++) narrow = narrow && wide[i] >= 1 && wide[i] <= 255;
  if (narrow) {
    std::string text(n, '\0');
    for (size_t i = 0; i < n; i++) text[i] = static_cast<char>(wide[i]);
    return Text(std::move(text));
  }
  Value list = List();
  for (size_t i = 0; i < n; i++) list.items.push_back(Number(wide[i]));
  return list;
}

// Little-endian, as the records are laid out on this machine.
static uint64_t BytesAt(const void *record, size_t offset, size_t width) {
  uint64_t value = 0;
  memcpy(&value, static_cast<const unsigned char *>(record) + offset, width);
  return value;
}

Value Entity(const ZELRELAY_EntityItem &entity) {
  Value table = Table();
  for (const EntityField &field : kEntityFields) {
    uint64_t raw = BytesAt(&entity, field.offset, field.wide ? 8 : 4);
    Set(table, field.key, field.wide ? Unsigned(raw) : Number(static_cast<int32_t>(raw)));
  }
  return table;
}

Value Products(const ZELRELAY_Product *products, uint64_t count) {
  Value list = List();
  for (uint64_t i = 0; i < count; i++) {
    const ZELRELAY_Product &product = products[i];
    Value table = Entity(product.entity);
    if (product.components != nullptr) {
      Value components = List();
      for (uint64_t c = 0; c < product.componentCount; c++) components.items.push_back(Entity(product.components[c]));
      Set(table, "components", std::move(components));
    }
    Set(table, "componentCount", Unsigned(product.componentCount));
    list.items.push_back(std::move(table));
  }
  return list;
}

static void SetWide(Value &table, const char *key, const wchar_t *wide) {
  if (wide != nullptr) Set(table, key, Wide(wide));
}

// offset: where the proxy lies from the start of the sources block.
static Value Proxy(const ZELRELAY_Proxy &proxy, int64_t offset) {
  Value table = Table();
  Set(table, "offset", Number(offset));
  Set(table, "type", Number(proxy.type));
  Set(table, "gap1", Unsigned(BytesAt(&proxy, 4, 4)));
  SetWide(table, "host", proxy.host);
  Set(table, "port", Number(proxy.port));
  Set(table, "gap2", Unsigned(BytesAt(&proxy, 18, 6)));
  SetWide(table, "user", proxy.user);
  SetWide(table, "password", proxy.password);
  return table;
}

Value Sources(const ZELRELAY_Source *sources, uint64_t count) {
  Value list = List();
  auto base = reinterpret_cast<uintptr_t>(sources);
  for (uint64_t i = 0; i < count; i++) {
    const ZELRELAY_Source &source = sources[i];
    Value table = Table();
    SetWide(table, "url", source.url);
    Set(table, "reserved1", Unsigned(reinterpret_cast<uintptr_t>(source.reserved1)));
    Set(table, "reserved2", Unsigned(reinterpret_cast<uintptr_t>(source.reserved2)));
    if (source.proxy != nullptr)
      Set(table, "proxy", Proxy(*source.proxy, static_cast<int64_t>(reinterpret_cast<uintptr_t>(source.proxy) - base)));
    list.items.push_back(std::move(table));
  }
  return list;
}

} // namespace zeldouble
