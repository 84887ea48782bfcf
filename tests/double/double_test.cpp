// The double itself: what tests script through zeldouble is what the library
// calls answer, and the log decodes the records byte for byte.
#include <gtest/gtest.h>
#include <lua.hpp>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "double/double.h"

extern "C" int luaopen_zeldouble(lua_State *L);

using namespace zeldouble;

namespace {

// Deterministic text of a Lua value: sorted keys, integers in full.
const char kDump[] = R"(
function dump(v)
  if type(v) == "string" then return string.format("%q", v) end
  if type(v) == "number" then return string.format("%d", v) end
  if type(v) ~= "table" then return tostring(v) end
  local out = {}
  if #v > 0 or next(v) == nil then
    for i = 1, #v do out[i] = dump(v[i]) end
  else
    local keys = {}
    for k in pairs(v) do keys[#keys + 1] = k end
    table.sort(keys)
    for i, k in ipairs(keys) do out[i] = k .. "=" .. dump(v[k]) end
  end
  return "{" .. table.concat(out, ",") .. "}"
end
)";

struct Fired {
  int event;
  bool record;
  std::wstring information;
  uint64_t total, finished;
  void *user;
};
std::vector<Fired> g_fired;
ZELRELAY_Context g_reenter = nullptr;

int OnEvent(int event, ZELRELAY_Event *record, void *user) {
  g_fired.push_back({event, record != nullptr, record && record->information ? record->information : L"",
                     record ? record->total : 0, record ? record->finished : 0, user});
  if (g_reenter != nullptr) ZELRELAY_ExportComponent(g_reenter, nullptr, ZELRELAY_EntityItem{});
  return event == 4 ? 0 : 1;
}

class DoubleTest : public ::testing::Test {
protected:
  void SetUp() override {
    Reset();
    g_fired.clear();
    g_reenter = nullptr;
    L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "double", luaopen_zeldouble, 1);
    lua_pop(L, 1);
    Run(kDump);
  }
  void TearDown() override { lua_close(L); }

  void Run(const char *chunk) { ASSERT_EQ(luaL_dostring(L, chunk), 0) << lua_tostring(L, -1); }

  // The error a chunk raises, without its position, or "" when it runs.
  std::string ErrorOf(const char *chunk) {
    if (luaL_dostring(L, chunk) == 0) return "";
    std::string error = lua_tostring(L, -1);
    lua_settop(L, 0);
    return error.substr(error.find("]:1: ") + 5);
  }

  std::string Dump(const std::string &expression) {
    std::string chunk = "return dump(" + expression + ")";
    if (luaL_dostring(L, chunk.c_str())) return std::string("error: ") + lua_tostring(L, -1);
    std::string text = lua_tostring(L, -1);
    lua_settop(L, 0);
    return text;
  }

  ZELRELAY_Context Open() {
    ZELRELAY_Context context = nullptr;
    EXPECT_EQ(ZELRELAY_CreateContext(&context, L"/r"), 1);
    return context;
  }

  lua_State *L = nullptr;
};

TEST_F(DoubleTest, MessagesAreWrittenAsScripted) {
  const wchar_t x = L'x';
  struct Case {
    const char *script;
    int32_t code;
    std::wstring written; // the buffer's first slots; the rest keeps x
  } cases[] = {
      {"", -4, std::wstring(L"status -4", 10)},
      {"double.message(5, 'a\\233')", 5, std::wstring(L"a\xe9", 3)},
      {"double.message(5, {0x41, 0x100, -23})", 5, std::wstring(L"A\x100\xffffffe9", 4)},
      {"double.message(5, false)", 5, L""},
      {"double.message(5, ('a'):rep(70))", 5, std::wstring(63, L'a') + std::wstring(1, 0)},
      {"double.message(5, 'ab', 'fill')", 5, [] { std::wstring s; while (s.size() < 64) s += L"ab"; return s; }()},
      {"double.message(5, '', 'fill')", 5, std::wstring(64, 0)},
      {"double.message(5, 'gone'); double.message(5, nil)", 5, std::wstring(L"status 5", 9)},
      {"double.message(6, 'other')", 5, std::wstring(L"status 5", 9)},
  };
  for (const Case &c : cases) {
    Reset();
    Run(c.script);
    wchar_t buffer[ZELRELAY_MESSAGE_CHARS];
    std::fill(std::begin(buffer), std::end(buffer), x);
    EXPECT_EQ(ZELRELAY_GetStatusMessage(buffer, c.code), 1) << c.script;
    std::wstring expected = c.written + std::wstring(ZELRELAY_MESSAGE_CHARS - c.written.size(), x);
    EXPECT_EQ(std::wstring(buffer, ZELRELAY_MESSAGE_CHARS), expected) << c.script;
  }
  EXPECT_EQ(Dump("double.calls()"), R"({{call="GetStatusMessage",status=5}})");
}

// The module's version table prints what the library wrote, in 64 bits.
TEST_F(DoubleTest, VersionAnswersAsScripted) {
  uint64_t v[4] = {};
  Run("double.version('0xFFFFFFFFFFFFFFFF', '18446744073709551615', 3, 4)");
  EXPECT_EQ(ZELRELAY_GetVersion(&v[0], &v[1], &v[2], &v[3]), 1);
  EXPECT_EQ(std::vector<uint64_t>(v, v + 4), (std::vector<uint64_t>{UINT64_MAX, UINT64_MAX, 3, 4}));
  // A failing call fills nothing.
  Run("double.status('GetVersion', -2)");
  uint64_t w[4] = {};
  EXPECT_EQ(ZELRELAY_GetVersion(&w[0], &w[1], &w[2], &w[3]), -2);
  EXPECT_EQ(w[0] | w[1] | w[2] | w[3], 0u);
}

TEST_F(DoubleTest, ContextsAreCountedAndNamedFromOne) {
  unlink("/dev/shm/sem.zelrelay");
  Run("double.status('CreateContext', 0)");
  ZELRELAY_Context refused = nullptr;
  EXPECT_EQ(ZELRELAY_CreateContext(&refused, nullptr), 0);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(Dump("double.semaphore()"), "true");
  Run("double.status('CreateContext', 1)");
  ZELRELAY_Context first = Open(), second = nullptr;
  EXPECT_EQ(ZELRELAY_CreateContext(&second, L"\x100x"), 1);
  EXPECT_EQ(Dump("{double.live()}"), "{2,0}");
  EXPECT_EQ(ZELRELAY_SetOption(second, 15, INT64_MIN), 1);
  EXPECT_EQ(ZELRELAY_SubscribeEvent(first, 3, OnEvent, nullptr), 1);
  EXPECT_EQ(ZELRELAY_DestroyContext(first), 1);
  EXPECT_EQ(ZELRELAY_DestroyContext(first), 1); // no longer known
  EXPECT_EQ(Dump("double.calls()"),
            R"({{call="CreateContext",context=0},{call="CreateContext",context=1,path="/r"},)"
            R"({call="CreateContext",context=2,path={256,120}},)"
            R"({call="SetOption",context=2,id=15,value="-9223372036854775808"},)"
            R"({call="SubscribeEvent",callback=true,context=1,event=3,user=false},)"
            R"({call="DestroyContext",context=1},{call="DestroyContext",context=0}})");
  // Live contexts are facts that outlive a reset; ids start again.
  Run("double.reset()");
  EXPECT_EQ(Dump("{double.live()}"), "{1,0}");
  ZELRELAY_Context third = Open();
  EXPECT_EQ(Dump("double.calls()[1].context"), "1");
  ZELRELAY_DestroyContext(second);
  ZELRELAY_DestroyContext(third);
  EXPECT_EQ(Dump("{double.live()}"), "{0,0}");
}

TEST_F(DoubleTest, InformationIsBuiltFromScriptedProducts) {
  Run(R"(double.information("GetInformation", {
    { klass = 1, type = 2, major = "0xFFFFFFFFFFFFFFFF", minor = 5000, revision = 7,
      components = { { klass = 3, language = 9, build = "18446744073709551615" } } },
    { klass = 4, components = {} },
    { oem = 2 } }))");
  ZELRELAY_Context context = Open();
  ZELRELAY_Information *none = nullptr, *information = nullptr;
  EXPECT_EQ(ZELRELAY_Duplicate(context, nullptr, 0, nullptr, 0, &none), 1);
  EXPECT_EQ(none, nullptr) << "Duplicate has its own script";
  EXPECT_EQ(ZELRELAY_GetInformation(context, nullptr, 0, nullptr, 0, &information), 1);
  ASSERT_NE(information, nullptr);
  ASSERT_EQ(information->productCount, 3u);
  const ZELRELAY_Product *p = information->products;
  EXPECT_EQ(p[0].entity.klass, 1);
  EXPECT_EQ(p[0].entity.type, 2);
  EXPECT_EQ(p[0].entity.language, -1);
  EXPECT_EQ(p[0].entity.oem, -1);
  EXPECT_EQ(p[0].entity.version.major, UINT64_MAX);
  EXPECT_EQ(p[0].entity.version.minor, 5000u);
  EXPECT_EQ(p[0].entity.revision, 7u);
  ASSERT_EQ(p[0].componentCount, 1u);
  EXPECT_EQ(p[0].components[0].klass, 3);
  EXPECT_EQ(p[0].components[0].type, 0);
  EXPECT_EQ(p[0].components[0].language, 9);
  EXPECT_EQ(p[0].components[0].platform, -1);
  EXPECT_EQ(p[0].components[0].version.build, UINT64_MAX);
  EXPECT_NE(p[1].components, nullptr) << "an empty list is not the whole product";
  EXPECT_EQ(p[1].componentCount, 0u);
  EXPECT_EQ(p[2].components, nullptr);
  EXPECT_EQ(p[2].entity.oem, 2);
  EXPECT_EQ(p[2].entity.klass, 0);
  // A failing call, or an out value already set, is left alone.
  Run("double.status('GetInformation', 0)");
  ZELRELAY_Information *kept = information;
  EXPECT_EQ(ZELRELAY_GetInformation(context, nullptr, 0, nullptr, 0, &kept), 0);
  EXPECT_EQ(kept, information);
  EXPECT_EQ(Dump("{double.live()}"), "{1,1}");
  EXPECT_EQ(ZELRELAY_DestroyData(information), 1);
  EXPECT_EQ(ZELRELAY_DestroyData(information), 1);
  EXPECT_EQ(ZELRELAY_DestroyData(nullptr), 1);
  EXPECT_EQ(Dump("{double.live()}"), "{1,0}");
  EXPECT_EQ(Dump("double.calls()[4]"), R"({call="GetInformation",context=1,count=0,info_null=false,source_count=0})");
  EXPECT_EQ(Dump("{double.calls()[5].known, double.calls()[6].known, double.calls()[7].known}"),
            "{true,false,false}");
  ZELRELAY_DestroyContext(context);
}

TEST_F(DoubleTest, RequestsAreDecodedByteForByte) {
  struct Block {
    ZELRELAY_Source sources[2];
    ZELRELAY_Proxy proxy;
  } block;
  memset(&block, 0xAB, sizeof block);
  block.sources[0] = {const_cast<wchar_t *>(L"h\xe9"), nullptr, reinterpret_cast<void *>(1), &block.proxy};
  block.sources[1] = {nullptr, nullptr, nullptr, nullptr};
  block.proxy.type = -1;
  block.proxy.host = const_cast<wchar_t *>(L"\x41\xffffffe9");
  block.proxy.port = 65535;
  block.proxy.user = nullptr;
  block.proxy.password = const_cast<wchar_t *>(L"");
  ZELRELAY_EntityItem component = {1, 2, 3, 4, 5, 6, {UINT64_MAX, 1, 2}, uint64_t{1} << 53};
  ZELRELAY_Product products[2] = {{{-7, 0, -1, -1, -1, -1, {0, 0, 0}, 0}, &component, 1},
                                  {{8, 9, 0, 0, 0, 0, {1, 2, 3}, 4}, nullptr, 0}};
  ZELRELAY_Information *information = nullptr;
  EXPECT_EQ(ZELRELAY_Duplicate(nullptr, products, 2, block.sources, 2, &information), 1);
  EXPECT_EQ(ZELRELAY_ExportComponent(nullptr, L"/d", component), 1);
  EXPECT_EQ(Dump("double.calls()[1].sources"),
            R"({{proxy={gap1=2880154539,gap2=188753807911851,host={65,-23},offset=64,password="",port=65535,type=-1},)"
            R"(reserved1=0,reserved2=1,url="h)"
            "\xe9"
            R"("},{reserved1=0,reserved2=0}})");
  EXPECT_EQ(Dump("double.calls()[1].products"),
            R"({{build=0,componentCount=1,components={{build=2,klass=1,language=3,major="18446744073709551615",)"
            R"(minor=1,oem=6,platform=4,region=5,revision="9007199254740992",type=2}},klass=-7,language=-1,major=0,)"
            R"(minor=0,oem=-1,platform=-1,region=-1,revision=0,type=0},)"
            R"({build=3,componentCount=0,klass=8,language=0,major=1,minor=2,oem=0,platform=0,region=0,revision=4,type=9}})");
  EXPECT_EQ(Dump("{double.calls()[1].context, double.calls()[1].info_null, double.calls()[1].count}"), "{0,true,2}");
  EXPECT_EQ(Dump("double.calls()[2]"),
            R"({call="ExportComponent",context=0,destination="/d",entity={build=2,klass=1,language=3,)"
            R"(major="18446744073709551615",minor=1,oem=6,platform=4,region=5,revision="9007199254740992",type=2}})");
}

TEST_F(DoubleTest, EventsReachTheSubscribedHandler) {
  int user1 = 0, user4 = 0;
  ZELRELAY_Context context = Open();
  ZELRELAY_SubscribeEvent(context, 1, OnEvent, &user1);
  ZELRELAY_SubscribeEvent(context, 4, OnEvent, &user4);
  Run(R"(double.events({
    { event = 4, record = { information = "a\233", total = 10, finished = "0xFFFFFFFFFFFFFFFF" } },
    { event = 1, on = "Duplicate" },
    { event = 6, record = {} },
    { event = -1, record = false, on = "GetInformation" },
    { event = 5, on = "ExportComponent" } }))");
  Run("double.clear()");
  EXPECT_EQ(ZELRELAY_GetInformation(context, nullptr, 0, nullptr, 0, nullptr), 1);
  ASSERT_EQ(g_fired.size(), 3u);
  EXPECT_EQ(g_fired[0].event, 4);
  EXPECT_EQ(g_fired[0].user, &user4);
  EXPECT_TRUE(g_fired[0].record);
  EXPECT_EQ(g_fired[0].information, L"a\xe9");
  EXPECT_EQ(g_fired[0].total, 10u);
  EXPECT_EQ(g_fired[0].finished, UINT64_MAX);
  // No handler for the number: the context's first subscription.
  EXPECT_EQ(g_fired[1].event, 6);
  EXPECT_EQ(g_fired[1].user, &user1);
  EXPECT_TRUE(g_fired[1].record);
  EXPECT_EQ(g_fired[1].information, L"");
  EXPECT_EQ(g_fired[2].event, -1);
  EXPECT_FALSE(g_fired[2].record);
  EXPECT_EQ(ZELRELAY_Duplicate(context, nullptr, 0, nullptr, 0, nullptr), 1);
  ASSERT_EQ(g_fired.size(), 4u);
  EXPECT_EQ(g_fired[3].event, 1);
  // Without a subscription the event is dropped, and logged so.
  ZELRELAY_Context bare = Open();
  EXPECT_EQ(ZELRELAY_ExportComponent(bare, nullptr, ZELRELAY_EntityItem{}), 1);
  EXPECT_EQ(g_fired.size(), 4u);
  EXPECT_EQ(Dump("double.calls()"),
            R"({{call="GetInformation",context=1,count=0,source_count=0},)"
            R"({call="Event",event=4,fired=true,result=0},{call="Event",event=6,fired=true,result=1},)"
            R"({call="Event",event=-1,fired=true,result=1},)"
            R"({call="Duplicate",context=1,count=0,source_count=0},{call="Event",event=1,fired=true,result=1},)"
            R"({call="CreateContext",context=2,path="/r"},)"
            R"({call="ExportComponent",context=2,entity={build=0,klass=0,language=0,major=0,minor=0,oem=0,)"
            R"(platform=0,region=0,revision=0,type=0}},{call="Event",event=5,fired=false}})");
  ZELRELAY_DestroyContext(context);
  ZELRELAY_DestroyContext(bare);
}

TEST_F(DoubleTest, EventsAreConsumedBeforeAnyFires) {
  ZELRELAY_Context context = Open();
  ZELRELAY_SubscribeEvent(context, 1, OnEvent, nullptr);
  Run("double.events({ { event = 1 }, { event = 2 } }); double.clear()");
  g_reenter = context;
  ZELRELAY_GetInformation(context, nullptr, 0, nullptr, 0, nullptr);
  g_reenter = nullptr;
  // Each handler's nested operation finds the queue empty.
  EXPECT_EQ(g_fired.size(), 2u);
  EXPECT_EQ(Dump("(function() local t = {} for i, c in ipairs(double.calls()) do t[i] = c.call end return t end)()"),
            R"({"GetInformation","ExportComponent","Event","ExportComponent","Event"})");
  ZELRELAY_DestroyContext(context);
}

} // namespace
