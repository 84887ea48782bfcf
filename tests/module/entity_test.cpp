// Identifier parser, display versions and entity names.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <string_view>

#include "entity/entity.h"

namespace {

class EntityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
  }
  void TearDown() override { lua_close(L); }

  std::string Top() const {
    size_t length = 0;
    const char *text = lua_tolstring(L, -1, &length);
    return text == nullptr ? "<not a string>" : std::string(text, length);
  }

  lua_State *L = nullptr;
};

ZELRELAY_EntityItem Record(int32_t klass, int32_t type, int32_t language = -1, int32_t platform = -1,
                           int32_t region = -1, int32_t oem = -1, uint64_t major = 0, uint64_t minor = 0,
                           uint64_t build = 0, uint64_t revision = 0) {
  ZELRELAY_EntityItem e{};
  e.klass = klass;
  e.type = type;
  e.language = language;
  e.platform = platform;
  e.region = region;
  e.oem = oem;
  e.version = {major, minor, build};
  e.revision = revision;
  return e;
}

void ExpectSameRecord(const ZELRELAY_EntityItem &want, const ZELRELAY_EntityItem &got) {
  EXPECT_EQ(want.klass, got.klass);
  EXPECT_EQ(want.type, got.type);
  EXPECT_EQ(want.language, got.language);
  EXPECT_EQ(want.platform, got.platform);
  EXPECT_EQ(want.region, got.region);
  EXPECT_EQ(want.oem, got.oem);
  EXPECT_EQ(want.version.major, got.version.major);
  EXPECT_EQ(want.version.minor, got.version.minor);
  EXPECT_EQ(want.version.build, got.version.build);
  EXPECT_EQ(want.revision, got.revision);
}

TEST_F(EntityTest, AcceptedIdentifiers) {
  const struct {
    const char *text;
    ZELRELAY_EntityItem record;
  } cases[] = {
      {"c3t4", Record(3, 4)},
      {"c3t4l1", Record(3, 4, 1)},
      {"c3t4v9.05.1l1", Record(3, 4, 1, -1, -1, -1, 9, 500, 1)},
      {"c3t4v9.5", Record(3, 4, -1, -1, -1, -1, 9, 5000)},
      {"c3t4v1.1234", Record(3, 4, -1, -1, -1, -1, 1, 1234)},
      {"c3t4v1.12345", Record(3, 4, -1, -1, -1, -1, 1, 1234)},
      {"c3t4v1.0005", Record(3, 4, -1, -1, -1, -1, 1, 5)},
      {"c22t2213v1.2.3.4o-5", Record(22, 2213, -1, -1, -1, -5, 1, 2000, 3, 4)},
      {"c3t4v", Record(3, 4)},
      {"c3t4v.5", Record(3, 4, -1, -1, -1, -1, 0, 5000)},
      {"c3t4v1.", Record(3, 4, -1, -1, -1, -1, 1)},
      {"c3t4v1..7", Record(3, 4, -1, -1, -1, -1, 1, 0, 7)},
      {"ct", Record(0, 0)},
      {"c3t4l", Record(3, 4, 0)},
      {"c3t4l-", Record(3, 4, 0)},
      {"c3t4o4r3p2l1", Record(3, 4, 1, 2, 3, 4)},
      {"c3t4l1l2", Record(3, 4, 2)},
      {"c3t4l1p2r3o4", Record(3, 4, 1, 2, 3, 4)},
      {"c3t4l-10", Record(3, 4, -10)},
      {"c4294967299t1", Record(3, 1)},
      {"c2147483648t1", Record(INT_MIN, 1)},
      {"c1t1l2147483648p-2147483648r4294967295o-4294967297", Record(1, 1, INT_MIN, INT_MIN, -1, -1)},
      {"c1t1v18446744073709551617.1.18446744073709551615.18446744073709551616",
       Record(1, 1, -1, -1, -1, -1, 1, 1000, UINT64_MAX, 0)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    lua_pushstring(L, c.text);
    ZELRELAY_EntityItem got;
    EXPECT_EQ(nullptr, StringToComponent(L, -1, &got));
    ExpectSameRecord(c.record, got);
    lua_settop(L, 0);
  }
}

TEST_F(EntityTest, RejectedIdentifiers) {
  enum Kind { TEXT, NIL, TABLE, NONE, NUMBER, BOOLEAN };
  const struct {
    Kind kind;
    std::string_view text;
    const char *message;
  } cases[] = {
      {NIL, "", "expected product id string"},
      {TABLE, "", "expected product id string"},
      {NONE, "", "expected product id string"},
      {BOOLEAN, "", "expected product id string"},
      {TEXT, "", "invalid product class"},
      {TEXT, "C3t4", "invalid product class"},
      {NUMBER, "", "invalid product class"},
      {TEXT, "c3", "invalid product type"},
      {TEXT, "c3x4", "invalid product type"},
      {TEXT, "c-3t4", "invalid product type"},
      {TEXT, "c3t4v1.123456", "minor version too large"},
      {TEXT, "c3t4v1.2.3.4.5", "invalid field"},
      {TEXT, "c3t4.", "invalid field"},
      {TEXT, "c3t4 l1", "invalid field"},
      {TEXT, "c3t4L1", "invalid field"},
      {TEXT, "c3t-4", "invalid field"},
      {TEXT, "c3t4lx", "invalid field"},
      {TEXT, "c3t4v1-2", "invalid field"},
      {TEXT, std::string_view("c3t4\0l1", 7), "invalid field"},
      {TEXT, std::string_view("c3t4l1\0", 7), "invalid field"},
      {TEXT, "c3t4l1p2r3o4l5", "too many fields"},
      {TEXT, "c3t4l1l1l1l1l1", "too many fields"},
      {TEXT, "c3t4l1l1l1l1l1.", "too many fields"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.text) + " kind " + std::to_string(c.kind));
    switch (c.kind) {
      case TEXT: lua_pushlstring(L, c.text.data(), c.text.size()); break;
      case NIL: lua_pushnil(L); break;
      case TABLE: lua_newtable(L); break;
      case NONE: break;
      case NUMBER: lua_pushinteger(L, 34); break;
      case BOOLEAN: lua_pushboolean(L, 1); break;
    }
    ZELRELAY_EntityItem got;
    const char *message = StringToComponent(L, 1, &got);
    EXPECT_STREQ(c.message, message);
    lua_settop(L, 0);
  }
}

TEST(ReadNumberField, ReadsSignedLow32BitsAndStopsOnFirstNonDigit) {
  const struct {
    const char *text;
    int32_t value;
    size_t consumed;
  } cases[] = {
      {"12p", 12, 2},          {"-5o", -5, 2},           {"-", 0, 1},
      {"", 0, 0},              {"x", 0, 0},              {"--1", 0, 1},
      {"2147483648", INT_MIN, 10}, {"-2147483649", INT_MAX, 11}, {"4294967297", 1, 10},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    const char *p = c.text;
    EXPECT_EQ(c.value, ReadNumberField(&p));
    EXPECT_EQ(c.consumed, static_cast<size_t>(p - c.text));
  }
}

TEST(MinorFormatters, LeadingAndTrailingZeros) {
  const struct {
    uint64_t minor;
    int32_t trim;
    const char *left;
    const char *right;
  } cases[] = {
      {0, 0, "0", "0000"},        {0, 1, "0", "000"},         {0, 3, "0", "0"},
      {5, 0, "0005", "5000"},     {5, 1, "0005", "500"},      {12, 1, "0012", "120"},
      {100, 3, "01", "1"},        {500, 1, "050", "500"},     {500, 3, "05", "5"},
      {750, 1, "075", "750"},     {1000, 3, "1", "1"},        {1230, 3, "123", "123"},
      {1234, 1, "1234", "1234"},  {5000, 0, "5000", "5000"},  {5000, 1, "500", "500"},
      {5000, 3, "5", "5"},        {5500, 3, "55", "55"},      {7500, 1, "750", "750"},
      {12345, 3, "12345", "12345"}, {20000, 3, "20", "20"},   {50, 1, "005", "500"},
      {5000, -4, "5000", "5000"}, {0, -1, "0", "0000"},       {4294967295, 0, "4294967295", "4294967295"},
      {4294967296ull + 5, 3, "5", "5"}, {1000000000, 99, "1", "1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.minor) + " trim " + std::to_string(c.trim));
    EXPECT_STREQ(c.left, FormatMinorVersion(c.minor, c.trim).text);
    EXPECT_STREQ(c.right, FormatMinorVersion2(c.minor, c.trim).text);
  }
}

TEST_F(EntityTest, FormatVersion) {
  const struct {
    uint64_t major, minor, build;
    int32_t trim;
    bool alwaysShowBuild;
    int style;
    const char *text;
  } cases[] = {
      {3, 5000, 0, 3, true, MINOR_VERSION_PAD_LEFT, "3.5.0"},
      {6, 0, 1234, 3, true, MINOR_VERSION_PAD_LEFT, "6.0.1234"},
      {6, 0, 0, 3, true, MINOR_VERSION_PAD_LEFT, "6.0.0"},
      {6, 1, 0, 3, true, MINOR_VERSION_PAD_LEFT, "6.0001.0"},
      {6, 1, 0, 3, false, MINOR_VERSION_PAD_LEFT, "6.0001"},
      {6, 1, 9, 3, false, MINOR_VERSION_PAD_LEFT, "6.0001.9"},
      {6, 0, 4294967296ull, 3, false, MINOR_VERSION_PAD_LEFT, "6.0.0"},
      {6, 5, 0, 1, false, MINOR_VERSION_PAD_RIGHT, "6.500"},
      {6, 5, 0, 1, false, 7, "6.0005"},
      {6, 5, 0, 1, false, -1, "6.0005"},
      {4294967295ull, 0, 4294967295ull, 3, true, MINOR_VERSION_PAD_LEFT, "4294967295.0.4294967295"},
      {4294967297ull, 0, 0, 3, false, MINOR_VERSION_PAD_LEFT, "1.0"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    FormatVersion(L, c.major, c.minor, c.build, c.trim, c.alwaysShowBuild, static_cast<MINOR_VERSION_TYPE>(c.style));
    EXPECT_EQ(1, lua_gettop(L));
    EXPECT_EQ(c.text, Top());
    lua_settop(L, 0);
  }
}

TEST_F(EntityTest, ConvertVersionFormatEK2UI) {
  const struct {
    int32_t klass, type;
    uint64_t major, minor, build;
    const char *text;
  } cases[] = {
      {2, 0x48000132, 9, 7500, 1008, "9.750.1008"},
      {2, 0x48000132, 9, 7500, 0, "9.750"},
      {2, 0x48000226, 10, 0, 1044, "10.000.1044"},
      {2, 0x48000226, 9, 50, 1008, "9.500.1008"},
      {2, 0x48000228, 9, 1234, 0, "9.1234"},
      {2, 0x48000300, 9, 7500, 1008, "9.75.1008"},
      {22, 2213, 1, 5000, 0, "1.500"},
      {22, 2213, 1, 250, 3, "1.025.3"},
      {22, 2213, 1, 0, 7, "1.0.7"},
      {22, 2214, 1, 5000, 0, "1.5"},
      {1, 4, 3, 5500, 1234, "3.55.1234"},
      {1, 4, 3, 0, 0, "3.0"},
      {3, 4, 1069300, 0, 0, "10.693.00"},
      {3, 4, 5, 0, 0, "0.000.05"},
      {3, 4, 1069300, 5000, 0, "1069300.5"},
      {3, 4, 1069300, 0, 1, "1069300.0.1"},
      {3, 0x04000001, 5, 0, 0, "0.005"},
      {3, 0x04000000, 1234, 0, 0, "1.234"},
      {3, 0x40000010, 1234, 0, 0, "12.34"},
      {3, 0x48000100, 123456, 0, 0, "1.23456"},
      {3, 0x48040181, 123456789, 0, 0, "12.34567.89"},
      {3, 0x48040233, 123456, 0, 0, "1.2.3456"},
      {3, 0x48040233, 5, 0, 0, "0.0.0005"},
      {3, 0x00000800, 1069300, 0, 0, "1069300"},
      {3, 0x48008000, 1069300, 0, 0, "1069300"},
      {3, 0x48000132, 9, 0, 0, "9"},
      {3, 0x48000132, 9, 7500, 1008, "9.75.1008"},
      {3, 1, 4294967295ull, 0, 0, "-1"},
      {3, 1, 4294967295ull, 5000, 0, "4294967295.5"},
      {1, 1, 4294967297ull, 0, 0, "1.0"},
      // The head is cut to its low 32 bits, the digits are not.
      {3, 4, 429496729612345ull, 0, 0, "0.123.45"},
      {3, 4, 214748364812345ull, 0, 0, "-2147483648.123.45"},
      {3, 0x48040181, UINT64_MAX, 0, 0, "2133437386.95516.15"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.klass) + "/" + std::to_string(c.type) + " " + c.text);
    ConvertVersionFormatEK2UI(L, c.klass, c.type, ZEL_Version{c.major, c.minor, c.build});
    EXPECT_EQ(1, lua_gettop(L));
    EXPECT_EQ(c.text, Top());
    lua_settop(L, 0);
  }
}

TEST(ScanEngines, OnlyTheSevenTypesOfClassTwo) {
  const struct {
    int32_t klass, type;
    bool engine;
  } cases[] = {
      {2, 0x48000132, true},  {2, 0x48000202, true},  {2, 0x48000203, true},  {2, 0x48000225, true},
      {2, 0x48000226, true},  {2, 0x48000227, true},  {2, 0x48000228, true},  {2, 0x48000229, false},
      {2, 0x48000201, false}, {3, 0x48000132, false}, {-2, 0x48000132, false}, {2, 0, false},
  };
  for (const auto &c : cases) EXPECT_EQ(c.engine, IsScanEngine(c.klass, c.type)) << c.klass << "/" << c.type;
}

TEST(FriendlyNames, ByClassTypeAndLanguage) {
  const struct {
    int32_t klass, type, language;
    const char *name;
  } cases[] = {
      {3, 4, 1, "pelno_english"},         {3, 4, 2, "pelno_china"},
      {3, 4, 4, "pelno_japan"},           {3, 4, 3, "pelno_unknown"},
      {3, 4, -1, "pelno_unknown"},        {3, 0x00000800, 1, "scrubo"},
      {3, 0x20000001, -1, "yarp"},        {3, 0x20000020, 2, "gorsel_white"},
      {3, 0x20000040, -1, "gorsel_black"}, {3, 0x20000400, -1, "pelno_spyware"},
      {3, 0x40000010, -1, "drovo"},       {3, 0x40800000, -1, "brolt_white_list"},
      {3, 0x48008000, 1, "tamri_english"}, {3, 0x48008000, 2, "tamri_china"},
      {3, 0x48008000, 4, "tamri_japan"},  {3, 0x48008000, 0, "tamri_unknown"},
      {3, 0x48040066, 4, "tarnip"},       {22, 2213, 2, "kvem"},
      {22, 2214, -1, nullptr},            {2, 4, 1, nullptr},
      {3, 5, 1, nullptr},                 {3, 0x00080000, -1, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.klass) + "/" + std::to_string(c.type) + "/" + std::to_string(c.language));
    const char *name = EntityFriendlyName(Record(c.klass, c.type, c.language));
    if (c.name == nullptr)
      EXPECT_EQ(nullptr, name);
    else
      EXPECT_STREQ(c.name, name);
  }
}

// Every renderer leaves exactly its one value: InformationToLua builds
// thousands of them on one stack.
TEST_F(EntityTest, RenderersLeaveOneValue) {
  const ZELRELAY_EntityItem shown = Record(3, 4, 1, 2, 3, 4, 1069300);
  const ZELRELAY_EntityItem hidden = Record(3, 4, 1, 2, 3, -10);
  const struct {
    const char *name;
    void (*render)(lua_State *, const ZELRELAY_EntityItem &);
    int type;
  } cases[] = {
      {"component name", [](lua_State *S, const ZELRELAY_EntityItem &e) { ComponentToString(S, e); }, LUA_TSTRING},
      {"product name", ProductToString, LUA_TSTRING},
      {"extract name", EntityToString, LUA_TSTRING},
      {"component table", ComponentToLua, LUA_TTABLE},
      {"product table", ProductToLua, LUA_TTABLE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    lua_pushliteral(L, "below");
    c.render(L, shown);
    EXPECT_EQ(2, lua_gettop(L));
    EXPECT_EQ(c.type, lua_type(L, -1));
    EXPECT_STREQ("below", lua_tostring(L, 1));
    lua_settop(L, 0);
  }
  ComponentToLua(L, hidden);
  ProductToLua(L, hidden);
  EXPECT_EQ(2, lua_gettop(L));
  EXPECT_TRUE(lua_isnil(L, 1) && lua_isnil(L, 2));
}

TEST_F(EntityTest, RenderedNames) {
  const ZELRELAY_EntityItem e = Record(22, 2213, 1, -2, 2147483647, INT_MIN, 4294967295ull, 5, 2147483648ull, 9);
  EXPECT_STREQ("c22t2213l1p-2r2147483647o-2147483648", ComponentToString(L, e));
  ProductToString(L, e);
  EXPECT_EQ("c22t2213v4294967295.0005.2147483648l1p-2r2147483647o-2147483648", Top());
  EntityToString(L, e);
  EXPECT_EQ("c22t2213v-1.0005.-2147483648l1p-2r2147483647o-2147483648", Top());
}

TEST_F(EntityTest, ProductTablesNameThroughTheScriptsFormat) {
  ASSERT_EQ(0, luaL_dostring(L, "string.format = function(p, v) return p .. '|' .. v end"));
  ProductToLua(L, Record(3, 4, 1, -1, -1, -1, 9, 5000));
  lua_getfield(L, -1, "name");
  EXPECT_EQ("c3t4v%sl1p-1r-1o-1|9.5.0", Top());
  lua_getfield(L, -2, "version");
  EXPECT_EQ("9.5", Top());
}

// Extract names are read back by extract: whatever fits the identifier
// grammar must survive the trip, revision excepted.
TEST_F(EntityTest, ExtractNameParsesBack) {
  std::mt19937_64 random(20240611);
  std::uniform_int_distribution<int32_t> unsignedField(0, INT32_MAX);
  std::uniform_int_distribution<int32_t> anyField(INT32_MIN, INT32_MAX);
  std::uniform_int_distribution<uint64_t> number(0, INT32_MAX);
  std::uniform_int_distribution<uint64_t> minor(0, 9999);
  for (int i = 0; i < 5000; i++) {
    ZELRELAY_EntityItem e = Record(unsignedField(random), unsignedField(random), anyField(random), anyField(random),
                                   anyField(random), anyField(random), number(random), minor(random), number(random),
                                   random());
    EntityToString(L, e);
    ZELRELAY_EntityItem back;
    const char *message = StringToComponent(L, -1, &back);
    ASSERT_EQ(nullptr, message) << Top();
    e.revision = 0;
    SCOPED_TRACE(Top());
    ExpectSameRecord(e, back);
    if (HasFailure()) break;
    lua_settop(L, 0);
  }
}

}  // namespace
