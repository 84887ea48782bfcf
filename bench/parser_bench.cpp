// StringToComponent against strlen + memchr over the same Lua strings, on
// random identifiers and on one identifier repeated. Prints ns per
// identifier, medians of interleaved rounds.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "entity/entity.h"

namespace {

constexpr int IDENTIFIERS = 10000, ROUNDS = 15, PASSES = 20;

std::string RandomIdentifier(std::mt19937_64 &random) {
  static const char *const kVersions[] = {"", "v9.75.1008", "v1069300", "v1.05.3", "v10.5", "v3.0.1234"};
  static const char *const kFields[] = {"", "l1", "l2p3", "o-5", "l1p2r3o4", "r12"};
  std::uniform_int_distribution<int> klass(1, 30), pick(0, 5);
  std::uniform_int_distribution<uint32_t> type(1, 1u << 30);
  std::string id = "c" + std::to_string(klass(random)) + "t" + std::to_string(type(random) >> pick(random) * 5);
  return id + kVersions[pick(random)] + kFields[pick(random)];
}

// One Lua state holding the strings on its stack, as callers pass them.
lua_State *PushAll(const std::vector<std::string> &ids) {
  lua_State *L = luaL_newstate();
  lua_checkstack(L, static_cast<int>(ids.size()) + 1);
  for (const std::string &id : ids) lua_pushlstring(L, id.data(), id.size());
  return L;
}

volatile uint64_t g_sink;

double TimeParser(lua_State *L, int count) {
  auto start = std::chrono::steady_clock::now();
  uint64_t sum = 0;
  for (int pass = 0; pass < PASSES; pass++)
    for (int i = 1; i <= count; i++) {
      ZELRELAY_EntityItem e;
      sum += StringToComponent(L, i, &e) == nullptr ? static_cast<uint32_t>(e.type) : 1;
    }
  g_sink = sum;
  std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / (double(count) * PASSES);
}

double TimeFloor(lua_State *L, int count) {
  auto start = std::chrono::steady_clock::now();
  uint64_t sum = 0;
  for (int pass = 0; pass < PASSES; pass++)
    for (int i = 1; i <= count; i++) {
      const char *s = lua_tolstring(L, i, nullptr);
      size_t n = strlen(s);
      sum += n + (memchr(s, 'v', n) != nullptr);
    }
  g_sink = sum;
  std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / (double(count) * PASSES);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  std::mt19937_64 random(7);
  std::vector<std::string> ids(IDENTIFIERS);
  size_t chars = 0;
  for (std::string &id : ids) chars += (id = RandomIdentifier(random)).size();
  lua_State *mixed = PushAll(ids);
  lua_State *same = PushAll(std::vector<std::string>(IDENTIFIERS, "c22t2213v1.2.3l1p2r3o4"));

  std::vector<double> floor, parser, floorSame, parserSame;
  for (int round = 0; round < ROUNDS; round++) {
    floor.push_back(TimeFloor(mixed, IDENTIFIERS));
    parser.push_back(TimeParser(mixed, IDENTIFIERS));
    floorSame.push_back(TimeFloor(same, IDENTIFIERS));
    parserSame.push_back(TimeParser(same, IDENTIFIERS));
  }
  printf("identifiers: %d, mean length %.1f\n", IDENTIFIERS, double(chars) / IDENTIFIERS);
  printf("random    strlen+memchr %6.1f ns  StringToComponent %6.1f ns  ratio %.2f\n", Median(floor),
         Median(parser), Median(parser) / Median(floor));
  printf("repeated  strlen+memchr %6.1f ns  StringToComponent %6.1f ns  ratio %.2f\n", Median(floorSame),
         Median(parserSame), Median(parserSame) / Median(floorSame));
  lua_close(mixed);
  lua_close(same);
  return 0;
}
