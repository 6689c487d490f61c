// The decimal float syntax of latitudes and longitudes, and its rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "geocoder/float_parse.h"

namespace quorvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

double parsed(std::string_view text) {
  Result<double> r = parse_float(text);
  EXPECT_TRUE(r.ok()) << "'" << text << "': " << r.error().message();
  return r.ok() ? r.value() : -12345.0;
}

TEST(FloatSyntax, Accepted) {
  const std::pair<std::string_view, double> cases[] = {
      {"1", 1.0},         {"-1", -1.0},     {"+1", 1.0},
      {"1.", 1.0},        {".5", 0.5},      {"+.5", 0.5},
      {"-.5", -0.5},      {"1e1", 10.0},    {"1E+2", 100.0},
      {"25e-1", 2.5},     {".5e1", 5.0},    {"1.e1", 10.0},
      {"007.250", 7.25},  {"-33.9", -33.9}, {"0.1", 0.1},
      {"inf", kInf},      {"-INF", -kInf},  {"+Infinity", kInf},
      {"iNfInItY", kInf}, {"1e999", kInf},  {"-1e99999999999999", -kInf},
  };
  for (const auto& [text, value] : cases) {
    EXPECT_EQ(parsed(text), value) << text;
  }
  for (std::string_view nan : {"nan", "NaN", "-nan", "+NAN"}) {
    EXPECT_TRUE(std::isnan(parsed(nan))) << nan;
  }
}

TEST(FloatSyntax, Rejected) {
  EXPECT_EQ(parse_float("").error().message(),
            "cannot parse float from empty string");
  for (std::string_view text :
       {"+",     "-",    ".",     "+.",          "e5",        ".e5",
        "1e",    "1e+",  "1e-",   " 1",          "1 ",        "1,5",
        "1_000", "0x10", "0x1p3", "1.2.3",       "1e5.5",     "1e5e5",
        "++1",   "+-1",  "in",    "infin",       "infinityy", "nan(1)",
        "nana",  "1d",   "1f",    "\xEF\xBC\x91"}) {
    Result<double> r = parse_float(text);
    ASSERT_FALSE(r.ok()) << "'" << text << "' parsed as " << r.value();
    EXPECT_EQ(r.error().message(), "invalid float literal") << text;
  }
}

TEST(FloatRounding, ExtremesRoundCorrectly) {
  const double min_sub = std::numeric_limits<double>::denorm_min();
  const double max = std::numeric_limits<double>::max();
  EXPECT_EQ(parsed("4.9e-324"), min_sub);
  // Just above and just below half of the smallest subnormal.
  EXPECT_EQ(parsed("2.4703282292062328e-324"), min_sub);
  EXPECT_EQ(parsed("2.4703282292062327e-324"), 0.0);
  EXPECT_EQ(parsed("1e-310"), 1e-310);
  EXPECT_EQ(parsed("1.7976931348623158e308"), max);
  EXPECT_EQ(parsed("1.7976931348623159e308"), kInf);
  EXPECT_EQ(parsed("0e999999"), 0.0);
  // Too small is a signed zero, never an error; the digits before the point
  // count towards the magnitude.
  EXPECT_EQ(parsed("1e-400"), 0.0);
  EXPECT_FALSE(std::signbit(parsed("1e-400")));
  EXPECT_TRUE(std::signbit(parsed("-1e-400")));
  EXPECT_TRUE(std::signbit(parsed("-0")));
  EXPECT_EQ(parsed("0.00000000000000000000000000000000000001e-300"), 0.0);
  EXPECT_EQ(parsed("1000000000000000000000000000000e-340"), 1e-310);
  EXPECT_EQ(parsed("100000000000000000000e300"), kInf);
}

// strtod in the C locale rounds correctly and is the reference here.
TEST(FloatRounding, MatchesStrtodOnRandomLiterals) {
  std::mt19937_64 rng(301);
  for (int i = 0; i < 20000; ++i) {
    std::string text = (rng() % 2) ? "-" : "";
    const int int_digits = rng() % 20;
    for (int k = 0; k < int_digits; ++k) text += char('0' + rng() % 10);
    text += '.';
    const int frac_digits = (int_digits == 0 ? 1 : 0) + rng() % 20;
    for (int k = 0; k < frac_digits; ++k) text += char('0' + rng() % 10);
    if (rng() % 2) {
      text += 'e';
      text += std::to_string(int(rng() % 700) - 350);
    }
    EXPECT_EQ(parsed(text), std::strtod(text.c_str(), nullptr)) << text;
  }
}

}  // namespace
}  // namespace quorvel
