// Tests of the history ring: it must keep exactly the newest `limit` bytes in
// order whatever the sizes of the appends, across growth and wrap-around.
// A plain string cut at its front serves as the model.

#include "session/history.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using morvik::session::History;

std::string newest(const std::string& all, std::size_t limit) {
  return all.size() <= limit ? all : all.substr(all.size() - limit);
}

std::string pattern(std::size_t len, std::size_t start) {
  std::string s(len, '\0');
  for (std::size_t k = 0; k < len; ++k) s[k] = static_cast<char>('A' + (start + k) % 53);
  return s;
}

TEST(History, FreshHistoryIsEmptyAndEmptyAppendsChangeNothing) {
  History h(16);
  EXPECT_EQ(h.size(), 0u);
  EXPECT_EQ(h.contents(), "");
  h.append("");
  EXPECT_EQ(h.contents(), "");
  h.append("abc");
  h.append("");
  EXPECT_EQ(h.contents(), "abc");
}

TEST(History, KeepsEverythingInOrderBelowTheLimit) {
  History h(100);
  h.append("one ");
  h.append("two ");
  h.append(std::string("\0\x1b[31m\xff", 7));
  EXPECT_EQ(h.contents(), std::string("one two \0\x1b[31m\xff", 15));
  EXPECT_EQ(h.size(), 15u);
}

TEST(History, DropsOldestBytesOnceTheLimitIsReached) {
  History h(10);
  h.append("0123456");
  h.append("789ab");
  EXPECT_EQ(h.contents(), "23456789ab");
  EXPECT_EQ(h.size(), 10u);
  h.append("c");
  EXPECT_EQ(h.contents(), "3456789abc");
}

TEST(History, WrapAroundKeepsOldestFirstOrder) {
  History h(8);
  std::string all;
  for (const char* piece : {"abcde", "fgh", "ij", "klmnopq", "r", "stu", "vwxyz12"}) {
    h.append(piece);
    all += piece;
    ASSERT_EQ(h.contents(), newest(all, 8)) << "after " << piece;
  }
}

TEST(History, SingleAppendLargerThanLimitKeepsOnlyItsNewestBytes) {
  History fresh(6);
  fresh.append("abcdefghij");
  EXPECT_EQ(fresh.contents(), "efghij");

  History used(6);
  used.append("xyz");
  used.append("0123");  // now wrapped
  used.append("ABCDEFGHI");
  EXPECT_EQ(used.contents(), "DEFGHI");
  used.append("jk");
  EXPECT_EQ(used.contents(), "FGHIjk");

  History exact(6);
  exact.append("q");
  exact.append("123456");
  EXPECT_EQ(exact.contents(), "123456");
}

TEST(History, ZeroLimitKeepsNothing) {
  History h(0);
  h.append("anything");
  EXPECT_EQ(h.size(), 0u);
  EXPECT_EQ(h.contents(), "");
}

TEST(History, DefaultLimitKeepsNewestFourMebibytesOfAStream) {
  History h;
  std::string all;
  std::size_t written = 0;
  while (written < 5u * 1024 * 1024 + 123) {
    const std::string chunk = pattern(8192 - written % 7, written);
    h.append(chunk);
    all += chunk;
    written += chunk.size();
  }
  EXPECT_EQ(h.size(), 4194304u);
  EXPECT_EQ(h.contents(), newest(all, 4194304));
}

TEST(History, RandomAppendSizesMatchTheModelAcrossGrowthAndWrap) {
  // Limits below, at and above the initial storage, and appends from one
  // byte to more than the limit, so growth, wrap and the oversized cut all
  // happen with the ring in every state.
  for (std::size_t limit : {1u, 7u, 4096u, 65536u, 65537u, 200000u}) {
    std::mt19937 rng(static_cast<std::uint32_t>(limit));
    std::uniform_int_distribution<std::size_t> size(0, limit + limit / 3 + 2);
    std::uniform_int_distribution<int> small(0, 3);
    History h(limit);
    std::string all;
    for (int step = 0; step < 60; ++step) {
      std::size_t len = size(rng);
      if (small(rng) != 0) len %= (limit / 8 + 2);
      const std::string chunk = pattern(len, all.size());
      h.append(chunk);
      all += chunk;
      if (all.size() > 4 * limit + 1024) all = newest(all, limit);
      ASSERT_EQ(h.size(), std::min(all.size(), limit)) << "limit " << limit << " step " << step;
      ASSERT_EQ(h.contents(), newest(all, limit)) << "limit " << limit << " step " << step;
    }
  }
}

}  // namespace
