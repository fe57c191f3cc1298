// Number reading and realtime deadline arithmetic.
#include <gtest/gtest.h>

#include "host_types.h"
#include "util.h"

namespace {

struct num_case {
  const char *text;
  std::uint32_t value;
  int used;  ///< characters consumed; 0 when no digit was found
};

// strtoul in base 10, but with a 32-bit result on every host.
const num_case num_cases[] = {
    {"0", 0, 1},
    {"12", 12, 2},
    {"12,7", 12, 2},
    {"145-160", 145, 3},
    {" \t\n\v\f\r42:", 42, 8},
    {"+7", 7, 2},
    {"-2", 4294967294u, 2},
    {"-0", 0, 2},
    {"-4294967295", 1, 11},
    {"4294967295", 4294967295u, 10},
    {"4294967296", 4294967295u, 10},
    {"-4294967296", 4294967295u, 11},
    {"99999999999999999999999", 4294967295u, 23},
    {"00000000000000000000012", 12, 23},  // leading zeros are no overflow
    {"", 0, 0},
    {"abc", 0, 0},
    {"-", 0, 0},
    {"+ 5", 0, 0},  // the sign must touch the digits
    {"--5", 0, 0},
    {"   ", 0, 0},
    {"x12", 0, 0},
};

TEST(StrToU32, ReadsLikeStrtoulWithA32BitResult) {
  for (const num_case &c : num_cases) {
    const char *end = nullptr;
    EXPECT_EQ(str_to_u32(c.text, &end), c.value) << '"' << c.text << '"';
    EXPECT_EQ(end - c.text, c.used) << '"' << c.text << '"';
  }
}

TEST(StrToU32, CutToFieldWidthKeepsLowBits) {
  const char *end = nullptr;
  EXPECT_EQ(static_cast<u16>(str_to_u32("-2", &end)), 65534);
  EXPECT_EQ(static_cast<u8>(str_to_u32("-2", &end)), 254);
  EXPECT_EQ(static_cast<u16>(str_to_u32("4294967296", &end)), 65535);
  EXPECT_EQ(static_cast<u8>(str_to_u32("4294967296", &end)), 255);
  EXPECT_EQ(static_cast<u16>(str_to_u32("65548", &end)), 12);
  EXPECT_EQ(static_cast<u8>(str_to_u32("256", &end)), 0);
  EXPECT_EQ(static_cast<u8>(str_to_u32("300", &end)), 44);
}

TEST(TsAddNs, CarriesIntoSeconds) {
  struct add_case {
    struct timespec from;
    std::uint32_t ns;
    struct timespec want;
  };
  const add_case cases[] = {
      {{5, 0}, 0, {5, 0}},
      {{5, 0}, 100000000, {5, 100000000}},
      {{5, 1}, 999999998, {5, 999999999}},
      {{5, 1}, 999999999, {6, 0}},
      {{5, 999999999}, 1, {6, 0}},
      {{5, 900000000}, 100000000, {6, 0}},
      {{5, 500000000}, 999999999, {6, 499999999}},
      {{5, 999999999}, 999999999, {6, 999999998}},
  };
  for (const add_case &c : cases) {
    const struct timespec got = ts_add_ns(c.from, c.ns);
    EXPECT_EQ(got.tv_sec, c.want.tv_sec) << c.from.tv_nsec << " + " << c.ns;
    EXPECT_EQ(got.tv_nsec, c.want.tv_nsec) << c.from.tv_nsec << " + " << c.ns;
  }
}

TEST(LnFatal, PrintsTheLineAndExitsWithOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ln_fatal("Can't open %s: %s (errno: %d)\n", "/dev/ttyS2", "No such file", 2),
              ::testing::ExitedWithCode(1),
              "^Can't open /dev/ttyS2: No such file \\(errno: 2\\)\n$");
}

}  // namespace
