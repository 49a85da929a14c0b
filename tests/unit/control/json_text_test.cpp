// The control channel's own JSON serialiser, checked against an independent
// parser (nlohmann's) on fixed and random inputs.
#include "control/json_text.h"

#include <gtest/gtest.h>

#include <random>

namespace zelvo::control {
namespace {

std::string jsonString(std::string_view s) {
  std::string out;
  appendJsonString(out, s);
  return out;
}

TEST(JsonText, EscapesWhatJsonRequiresAndReplacesEachMalformedByte) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"},
      {"plain / text", R"("plain / text")"},
      {"q\"b\\", R"("q\"b\\")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"é 中 🇭🇰", "\"é 中 🇭🇰\""},  // well-formed UTF-8 of every length
      {"a\xff!", "\"a" + r + "!\""},
      {"\xC0\x80", "\"" + r + r + "\""},                  // overlong NUL
      {"\xED\xA0\x80", "\"" + r + r + r + "\""},          // a surrogate
      {"\xF4\x90\x80\x80", "\"" + r + r + r + r + "\""},  // above U+10FFFF
      {"x\xE4\xB8", "\"x" + r + r + "\""},                // cut short at the end
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(jsonString(cases[i].first), cases[i].second) << "case " << i;
}

TEST(JsonText, CompactTextOfNestedValuesParsesBackEqual) {
  const Json v = {
      {"mode", "rule"},
      {"n", -12},
      {"big", UINT64_MAX},
      {"f", 123.7},
      {"t", true},
      {"z", nullptr},
      {"tun", {{"dns-hijack", Json::array({"any:53"})}, {"route-address", Json::array()}}},
      {"empty", Json::object()}};
  const std::string text = compactJson(v);
  EXPECT_EQ(text.find(' '), std::string::npos);
  EXPECT_EQ(Json::parse(text), v);
  EXPECT_EQ(text, v.dump());  // same text as the reference serialiser for valid input
  EXPECT_EQ(jsonTextPayload(Json::object()), "{}");
}

TEST(JsonText, RandomBytesAlwaysGiveValidJsonAndValidTextSurvives) {
  std::mt19937 rng(7);
  const std::string alphabet[] = {"a",  "\"", "\\",   "\n",   std::string(1, '\0'), "\x1f", "é",
                                  "中", "😀",  "\xff", "\xC3", "\xE4\xB8",           "\x80"};
  for (int round = 0; round < 2000; ++round) {
    std::string s;
    bool valid = true;
    const int n = rng() % 40;
    for (int i = 0; i < n; ++i) {
      const size_t pick = rng() % std::size(alphabet);
      s += alphabet[pick];
      if (pick >= 9) valid = false;
    }
    const std::string text = jsonString(s);
    const Json parsed = Json::parse(text, nullptr, false);
    ASSERT_TRUE(parsed.is_string()) << "not valid JSON for input #" << round;
    if (valid) {
      EXPECT_EQ(parsed.get<std::string>(), s);
    }
  }
}

TEST(JsonText, NumbersTruncateTowardZeroAndSaturate) {
  EXPECT_EQ(truncatedInt64(Json(123.7)), 123);
  EXPECT_EQ(truncatedInt64(Json(-3.9)), -3);
  EXPECT_EQ(truncatedInt64(Json(42)), 42);
  EXPECT_EQ(truncatedInt64(Json(1e300)), INT64_MAX);
  EXPECT_EQ(truncatedInt64(Json(-1e300)), INT64_MIN);
  EXPECT_EQ(truncatedInt64(Json(UINT64_MAX)), INT64_MAX);
  EXPECT_EQ(truncatedInt64(Json("7")), std::nullopt);
  EXPECT_EQ(truncatedInt64(Json(true)), std::nullopt);
}

}  // namespace
}  // namespace zelvo::control
