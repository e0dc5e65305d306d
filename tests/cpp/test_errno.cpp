// The error-number table: exact rows that user-visible messages are built
// from, the folding of unknown numbers into row 0, and the text form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>

#include "base/errno_code.h"

using morvik::Errno;

namespace {

TEST(ErrnoTest, KnownRowsKeepTheirNumberNameAndDescription) {
  struct Row {
    int number;
    const char* name;
    const char* description;
  };
  const Row rows[] = {
      {2, "ENOENT", "No such file or directory"},
      {9, "EBADF", "Bad file number"},
      {13, "EACCES", "Permission denied"},
      {25, "ENOTTY", "Not a typewriter"},
      {38, "ENOSYS", "Function not implemented"},
      {40, "ELOOP", "Too many symbolic links encountered"},
      {42, "ENOMSG", "No message of desired type"},
      {59, "EBFONT", "Bad font file format"},
      {81, "ELIBSCN", ".lib section in a.out corrupted"},
      {95, "EOPNOTSUPP", "Operation not supported on transport endpoint"},
      {109, "ETOOMANYREFS", "Too many references: cannot splice"},
      {133, "EHWPOISON", "Memory page has hardware error"},
  };
  for (const Row& row : rows) {
    const Errno e = Errno::from_raw(row.number);
    EXPECT_EQ(e.value(), row.number);
    EXPECT_STREQ(e.name(), row.name) << row.number;
    EXPECT_STREQ(e.description(), row.description) << row.number;
  }
}

TEST(ErrnoTest, NumbersOutsideTheTableFoldIntoUnknownErrno) {
  for (int raw : {0, 41, 58, 134, 200, -1, -22}) {
    const Errno e = Errno::from_raw(raw);
    EXPECT_EQ(e.value(), 0) << raw;
    EXPECT_STREQ(e.name(), "UnknownErrno") << raw;
    EXPECT_STREQ(e.description(), "Unknown errno") << raw;
  }
  EXPECT_EQ(Errno{}, Errno::from_raw(0));
}

TEST(ErrnoTest, TableHasOneDistinctRowPerDefinedNumberPlusUnknown) {
  std::set<std::string> names;
  std::set<std::string> known;
  for (int raw = -5; raw <= 300; ++raw) {
    const Errno e = Errno::from_raw(raw);
    names.insert(e.name());
    if (e.value() != 0) {
      EXPECT_EQ(e.value(), raw);
      EXPECT_NE(std::string(e.description()), "") << raw;
      known.insert(e.name());
    }
  }
  EXPECT_EQ(known.size(), 131u);
  EXPECT_EQ(names.size(), 132u);
}

TEST(ErrnoTest, TextJoinsNameAndDescription) {
  EXPECT_EQ(Errno::from_raw(ENOENT).text(), "ENOENT: No such file or directory");
  EXPECT_EQ(Errno::from_raw(EOPNOTSUPP).text(),
            "EOPNOTSUPP: Operation not supported on transport endpoint");
  EXPECT_EQ(Errno::from_raw(58).text(), "UnknownErrno: Unknown errno");
}

TEST(ErrnoTest, LastReadsTheCallingThreadsErrno) {
  ASSERT_EQ(::close(-1), -1);
  EXPECT_EQ(Errno::last(), Errno::from_raw(EBADF));
}

}  // namespace
