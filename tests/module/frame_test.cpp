// The frame's conversions: narrow to wide and back, and the status message.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "double/double.h"
#include "frame/frame.h"

namespace {

class Frame : public ::testing::Test {
protected:
  void SetUp() override {
    zeldouble::Reset();
    L = luaL_newstate();
  }
  void TearDown() override { lua_close(L); }

  std::string Pushed(const std::wstring &wide) {
    pushstringWtoA(L, wide.c_str());
    size_t n = 0;
    const char *text = lua_tolstring(L, -1, &n);
    std::string result(text, n);
    lua_pop(L, 1);
    return result;
  }

  lua_State *L = nullptr;
};

std::wstring Widened(const char *narrow) {
  wchar_t *wide = AtoW(narrow);
  std::wstring result(wide);
  free(wide);
  return result;
}

TEST_F(Frame, AtoWSignExtendsEveryByte) {
  EXPECT_EQ(AtoW(nullptr), nullptr);
  struct Case {
    const char *narrow;
    std::wstring wide;
  } cases[] = {
      {"", L""},
      {"Az", L"Az"},
      {"\x7f\x80\xe9\xff", {0x7f, -128, -23, -1}},
  };
  for (const Case &c : cases) EXPECT_EQ(Widened(c.narrow), c.wide) << c.narrow;
  // Copying stops at the first NUL.
  wchar_t *wide = AtoW("ab\0cd");
  EXPECT_EQ(wide[2], 0);
  free(wide);
}

TEST_F(Frame, PushstringWtoAKeepsBytesAndMarksWideCharacters) {
  pushstringWtoA(L, nullptr);
  EXPECT_EQ(lua_gettop(L), 1);
  EXPECT_TRUE(lua_isnil(L, 1));
  lua_pop(L, 1);
  struct Case {
    std::wstring wide;
    std::string narrow;
  } cases[] = {
      {L"", ""},
      {L"A\xe9" L"B", "A?B"},
      {{0x7f, 0x80, 0xff, 0x100, INT_MAX}, "\x7f????"},
      {{-23, -1, -128}, "\xe9\xff\x80"},
      {{static_cast<wchar_t>(0xffffff41), static_cast<wchar_t>(0x80000042)}, "AB"},
  };
  for (const Case &c : cases) EXPECT_EQ(Pushed(c.wide), c.narrow) << c.narrow;
  EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(Frame, EveryByteSurvivesTheRoundTrip) {
  std::string bytes;
  for (int b = 1; b <= 255; b++) bytes += static_cast<char>(b);
  wchar_t *wide = AtoW(bytes.c_str());
  ASSERT_NE(wide, nullptr);
  pushstringWtoA(L, wide);
  free(wide);
  size_t n = 0;
  const char *back = lua_tolstring(L, -1, &n);
  EXPECT_EQ(std::string(back, n), bytes);
}

TEST_F(Frame, PushStatusNeverShowsMoreThanTheLibraryWrote) {
  using zeldouble::Message;
  struct Case {
    Message::Mode mode;
    std::wstring text;
    std::string pushed;
  } cases[] = {
      {Message::NOTHING, L"", ""},
      {Message::FILL, L"xyz", [] {
         std::string s;
         while (s.size() < 63) s += "xyz";
         return s.substr(0, 63);
       }()},
      {Message::TEXT, L"\xe9t\xe9", "?t?"},
  };
  for (const Case &c : cases) {
    zeldouble::Message &message = zeldouble::ScriptMessage(-9);
    message.mode = c.mode;
    message.text = c.text;
    EXPECT_EQ(PushResult(L, -9), 3);
    ASSERT_EQ(lua_gettop(L), 3);
    EXPECT_TRUE(lua_isnil(L, 1));
    EXPECT_EQ(lua_tointeger(L, 2), -9);
    size_t n = 0;
    const char *text = lua_tolstring(L, 3, &n);
    EXPECT_EQ(std::string(text, n), c.pushed);
    lua_settop(L, 0);
  }
  const zeldouble::Value &last = zeldouble::Calls().back();
  EXPECT_EQ(zeldouble::FieldOf(last, "call")->text, "GetStatusMessage");
  EXPECT_EQ(zeldouble::FieldOf(last, "status")->number, -9);
}

} // namespace
