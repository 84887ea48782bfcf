// Byte-exact decoders of what the library receives, one per record kind.
#pragma once

#include "double/double.h"

namespace zeldouble {

Value Flag(bool flag);
Value Number(int64_t number);
Value Unsigned(uint64_t number);
Value Text(std::string text);
Value Table();
void Set(Value &table, const char *key, Value value);

Value Wide(const wchar_t *wide);
Value Entity(const ZELRELAY_EntityItem &entity);
Value Products(const ZELRELAY_Product *products, uint64_t count);
Value Sources(const ZELRELAY_Source *sources, uint64_t count);

} // namespace zeldouble
