// The products argument as the library's product records.
#include <cstdint>
#include <cstdlib>

#include "entity/entity.h"
#include "repository/repository.h"

static const char *StringToProduct(lua_State *L, int32_t index, ZELRELAY_Product *product) {
  product->components = nullptr;
  product->componentCount = 0;
  return StringToComponent(L, index, &product->entity);
}

static const char *TableToProducts(lua_State *L, int index, ZELRELAY_Product **products, unsigned long &count) {
  size_t n = lua_rawlen(L, index);
  if (n > SIZE_MAX / sizeof(ZELRELAY_Product)) return "can't allocate product";
  auto *array = static_cast<ZELRELAY_Product *>(malloc(n * sizeof(ZELRELAY_Product)));
  if (array == nullptr && n > 0) return "can't allocate product";
  *products = array;
  count = n;
  for (size_t i = 0; i < n; i++) {
    lua_rawgeti(L, index, static_cast<int>(i + 1));
    const char *message = StringToProduct(L, -1, &array[i]);
    lua_pop(L, 1);
    if (message != nullptr) {
      free(array);
      *products = nullptr;
      count = 0;
      return message;
    }
  }
  return nullptr;
}

const char *LuaToProducts(lua_State *L, int index, ZELRELAY_Product **products, unsigned long &count) {
  *products = nullptr;
  count = 0;
  if (lua_istable(L, index)) return TableToProducts(L, index, products, count);
  if (!lua_isstring(L, index)) return "expected products";
  auto *product = static_cast<ZELRELAY_Product *>(malloc(sizeof(ZELRELAY_Product)));
  if (product == nullptr) return "can't allocate product";
  *products = product;
  count = 1;
  const char *message = StringToProduct(L, index, product);
  if (message != nullptr) {
    free(product);
    *products = nullptr;
    count = 0;
  }
  return message;
}

void DestroyProducts(ZELRELAY_Product *products, unsigned long) { free(products); }
