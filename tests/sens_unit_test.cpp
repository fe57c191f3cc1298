// Address lists and the sens line parser, driven from tables.
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sens.h"

namespace {

// Nothrow allocations left before they start failing; negative: never fail.
int nothrow_left = -1;

}  // namespace

// Lets a test run the list parser out of memory at a chosen element.
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
  if (nothrow_left == 0) return nullptr;
  if (nothrow_left > 0) --nothrow_left;
  try {
    return ::operator new(n);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using ranges = std::vector<std::pair<unsigned, unsigned>>;

ranges to_ranges(const addr_list_t *l) {
  ranges r;
  for (; l != nullptr; l = l->next) r.emplace_back(l->start, l->end);
  return r;
}

TEST(ParseAddr, ValidListsInWrittenOrder) {
  struct {
    const char *text;
    ranges want;
  } cases[] = {
      {"3,7-9,12", {{3, 3}, {7, 9}, {12, 12}}},
      {"5,", {{5, 5}}},
      {"7-7", {{7, 7}}},
      {"0", {{0, 0}}},
      // A dash after a range's second number separates like a comma.
      {"1-2-3", {{1, 2}, {3, 3}}},
      {"1-2-", {{1, 2}}},
      {"1-2,", {{1, 2}}},
      // Start above end: the element wraps through 65535.
      {"65535-1", {{65535, 1}}},
      // Low 16 bits; larger magnitudes saturate at 4294967295 first.
      {"65548", {{12, 12}}},
      {"65536-65537", {{0, 1}}},
      {"99999999999", {{65535, 65535}}},
      // A dash where a number is due is its sign.
      {"-5", {{65531, 65531}}},
      {"1--2", {{1, 65534}}},
      {"-0", {{0, 0}}},
  };
  for (const auto &c : cases) {
    addr_list_t *l = reinterpret_cast<addr_list_t *>(1);
    EXPECT_EQ(parse_addr_r(c.text, &l), ADDR_OK) << c.text;
    EXPECT_EQ(to_ranges(l), c.want) << c.text;
    addr_list_free(l);
  }
}

// What discovery prints is an address list that the read mode takes as it stands.
TEST(ParseAddr, AddressSetsWrittenAsListsReadBack) {
  const std::pair<std::vector<unsigned>, const char *> cases[] = {
      {{}, ""},
      {{0}, "0"},
      {{1, 2, 3, 12, 65535}, "1-3,12,65535"},
      {{0, 1, 65534, 65535}, "0-1,65534-65535"},
      {{5, 7, 9}, "5,7,9"},
  };
  for (const auto &[addrs, text] : cases) {
    prog_addrs_t set, back;
    for (unsigned a : addrs) set.set(a);
    EXPECT_EQ(addr_list_text(set), text);
    addr_list_t *l = nullptr;
    ASSERT_EQ(parse_addr_r(text, &l), ADDR_OK) << text;
    for (const auto &[first, last] : to_ranges(l))
      for (unsigned a = first; a <= last; ++a) back.set(a);
    EXPECT_EQ(back, set) << text;
    addr_list_free(l);
  }
}

TEST(ParseAddr, EmptyOrForeignCharactersGiveNoList) {
  for (const char *text : {"", "1a", " 1", "1 ", "+1", "1;2", "1\n", "\xff"}) {
    addr_list_t *l = reinterpret_cast<addr_list_t *>(1);
    EXPECT_EQ(parse_addr_r(text, &l), ADDR_OK) << text;
    EXPECT_EQ(l, nullptr) << text;
  }
}

TEST(ParseAddr, MissingNumbers) {
  struct {
    const char *text;
    int err;
  } cases[] = {
      {",5", ADDR_NO_NUM_AFTER_COMMA},   {"-", ADDR_NO_NUM_AFTER_COMMA},
      {"5,,6", ADDR_NO_NUM_AFTER_COMMA}, {"5,-", ADDR_NO_NUM_AFTER_COMMA},
      {"--5", ADDR_NO_NUM_AFTER_COMMA},  {"5-", ADDR_NO_NUM_AFTER_DASH},
      {"5-,6", ADDR_NO_NUM_AFTER_DASH},  {"1,2,3-", ADDR_NO_NUM_AFTER_DASH},
      {"5--", ADDR_NO_NUM_AFTER_DASH},
  };
  for (const auto &c : cases) {
    addr_list_t *l = reinterpret_cast<addr_list_t *>(1);
    EXPECT_EQ(parse_addr_r(c.text, &l), c.err) << c.text;
    EXPECT_EQ(l, nullptr) << c.text;
  }
}

TEST(ParseAddr, OutOfMemoryAtAnyElement) {
  for (int ok = 0; ok < 3; ++ok) {
    addr_list_t *l = reinterpret_cast<addr_list_t *>(1);
    nothrow_left = ok;
    const int err = parse_addr_r("1,2-3,4", &l);
    nothrow_left = -1;
    EXPECT_EQ(err, ADDR_NO_MEM) << ok;
    EXPECT_EQ(l, nullptr) << ok;
  }
}

TEST(ParseAddrDeathTest, ErrorsPrintTheirLineOnly) {
  EXPECT_EXIT(parse_addr(",5"), testing::ExitedWithCode(1),
              "^Missing numeral constant after comma\n$");
  EXPECT_EXIT(parse_addr("5-"), testing::ExitedWithCode(1),
              "^Missing numeral constant after dash\n$");
  EXPECT_EXIT(
      {
        nothrow_left = 1;
        parse_addr("1,2");
      },
      testing::ExitedWithCode(1), "^Can't alloc list elem\n$");
}

// --- Sens lines -----------------------------------------------------------------

std::string sixteen(const std::string &v, const std::string &sep = " ") {
  std::string s;
  for (int i = 0; i < SENS_VALUES; ++i) s += sep + v;
  return s;
}

struct parsed {
  int err;
  sens_line_t line;
};

parsed parse(const std::string &s) {
  parsed p{};
  p.err = parse_sens_line(s.c_str(), s.size(), &p.line);
  return p;
}

TEST(SensLine, AcceptsWhatTheReaderWritesAndLooserSpacing) {
  parsed p = parse("12: 0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 255\r\n");
  ASSERT_EQ(p.err, SENS_OK);
  EXPECT_EQ(p.line.addr, 12);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(p.line.val[i], i);
  EXPECT_EQ(p.line.val[15], 255);

  for (const std::string &s : {"7 \t:" + sixteen("9", "\t") + "\n", "7:" + sixteen("9"),
                               "\r 7\r:" + sixteen("9", " \r ") + " \r\r\n"}) {
    p = parse(s);
    EXPECT_EQ(p.err, SENS_OK) << s;
    EXPECT_EQ(p.line.illegal, s.size()) << s;
    EXPECT_EQ(p.line.addr, 7);
    EXPECT_EQ(p.line.val[15], 9);
  }
}

// A number beyond its field would write another value than was meant.
TEST(SensLine, NumbersBeyondTheirFieldAreErrors) {
  parsed p = parse("65535:" + sixteen("255") + "\n");
  ASSERT_EQ(p.err, SENS_OK);
  EXPECT_EQ(p.line.addr, 65535);
  EXPECT_EQ(p.line.val[0], 255);
  for (const std::string &s : {"65536:" + sixteen("1"), "65548:" + sixteen("1"),
                               "12:" + sixteen("256"), "12:" + sixteen("1").substr(0, 30) + " 1000",
                               "99999999999:" + sixteen("1"), "12:" + sixteen("-2")}) {
    p = parse(s);
    EXPECT_EQ(p.err, SENS_RANGE) << s;
  }
  // The first fault of the line counts: a bad number before a big one.
  EXPECT_EQ(parse("12: x 1000" + sixteen("1").substr(8)).err, SENS_BAD_CHAR);

  // A plus sign is read, and draws the illegal-character warning.
  const std::string s = "+2:" + sixteen("+2");
  p = parse(s);
  ASSERT_EQ(p.err, SENS_OK);
  EXPECT_EQ(p.line.addr, 2);
  EXPECT_EQ(p.line.val[15], 2);
  EXPECT_EQ(p.line.illegal, 0u);

  // The number reading passes vertical tabs and form feeds, the line's own
  // white space does not.
  p = parse("1:\v\f3" + sixteen("3").substr(2));
  EXPECT_EQ(p.err, SENS_OK);
  EXPECT_EQ(p.line.illegal, 2u);
  EXPECT_EQ(parse("1:" + sixteen("3") + "\v\n").err, SENS_TRAILING);
}

TEST(SensLine, MalformedLines) {
  struct {
    std::string line;
    int err;
    std::size_t illegal;  // npos: none
  } cases[] = {
      {"\n", SENS_PREMATURE_END, std::string::npos},
      {"", SENS_PREMATURE_END, std::string::npos},
      {" \t\r\n", SENS_PREMATURE_END, std::string::npos},
      {"12\n", SENS_NO_COLON, std::string::npos},
      {"12 5" + sixteen("1") + "\n", SENS_NO_COLON, std::string::npos},
      {"12::" + sixteen("1") + "\n", SENS_BAD_CHAR, std::string::npos},
      {":" + sixteen("1") + "\n", SENS_BAD_CHAR, std::string::npos},
      {"12:" + sixteen("1").substr(2) + "\r\n", SENS_PREMATURE_END, std::string::npos},
      {"12:" + sixteen("1") + " 1\r\n", SENS_TRAILING, std::string::npos},
      {"12:" + sixteen("1") + ":\r\n", SENS_TRAILING, std::string::npos},
      // A letter fails whichever check meets it first.
      {"12: 1 x" + sixteen("1").substr(4) + "\n", SENS_BAD_CHAR, 6},
      {"x12:" + sixteen("1") + "\n", SENS_BAD_CHAR, 0},
      {"12 x:" + sixteen("1") + "\n", SENS_NO_COLON, 3},
      {"12:" + sixteen("1") + " x\n", SENS_TRAILING, 36},
      {"12:" + sixteen("1") + "x\n", SENS_TRAILING, 35},
      {"12: 1 1x 1" + sixteen("1").substr(6) + "\n", SENS_BAD_CHAR, 7},
  };
  for (const auto &c : cases) {
    parsed p = parse(c.line);
    EXPECT_EQ(p.err, c.err) << c.line;
    EXPECT_EQ(p.line.illegal, c.illegal == std::string::npos ? c.line.size() : c.illegal) << c.line;
  }
}

// A NUL byte is an illegal character at its place, never the end of the line.
TEST(SensLine, NulBytesDoNotEndTheLine) {
  using namespace std::string_literals;
  const std::string good = "12:" + sixteen("1");
  struct {
    std::string line;
    int err;
    std::size_t illegal;
  } cases[] = {
      {good + "\0\n"s, SENS_TRAILING, good.size()},
      {good + " \0"s, SENS_TRAILING, good.size() + 1},
      {"12:\0"s + sixteen("1"), SENS_BAD_CHAR, 3},
      {"12\0:"s + sixteen("1"), SENS_NO_COLON, 2},
      {"\0"s, SENS_BAD_CHAR, 0},
  };
  for (const auto &c : cases) {
    parsed p = parse(c.line);
    EXPECT_EQ(p.err, c.err) << c.line.size();
    EXPECT_EQ(p.line.illegal, c.illegal) << c.line.size();
  }
}

TEST(SensLine, MegabyteLines) {
  const std::string pad(1 << 20, ' ');
  parsed p = parse("3:" + pad + sixteen("4", pad) + pad + "\n");
  EXPECT_EQ(p.err, SENS_OK);
  EXPECT_EQ(p.line.val[15], 4);

  // A million leading zeros are one number; long runs of digits saturate.
  p = parse(std::string(1 << 20, '0') + "5:" + sixteen(std::string(1 << 16, '0') + "7"));
  ASSERT_EQ(p.err, SENS_OK);
  EXPECT_EQ(p.line.addr, 5);
  EXPECT_EQ(p.line.val[0], 7);
  EXPECT_EQ(parse("5:" + sixteen(std::string(1 << 16, '9'))).err, SENS_RANGE);

  const std::string tail = "3:" + sixteen("4") + pad + "x";
  p = parse(tail);
  EXPECT_EQ(p.err, SENS_TRAILING);
  EXPECT_EQ(p.line.illegal, tail.size() - 1);
}

TEST(ReadNum, SkipsLineWhiteSpaceOnly) {
  const char *text = " \t\r\n42:";
  const char *p = text;
  std::uint32_t v = 0;
  EXPECT_TRUE(read_num(&p, &v));
  EXPECT_EQ(v, 42u);
  EXPECT_EQ(*p, ':');
  const char *vt = "\v 1";
  p = vt;
  skip_ws(&p);
  EXPECT_EQ(p, vt);
  const char *letter = " x1";
  p = letter;
  EXPECT_FALSE(read_num(&p, &v));
  EXPECT_EQ(*p, 'x');
}

}  // namespace
