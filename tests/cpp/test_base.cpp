// The base layer: the error-number table that user-visible messages are built
// from, held to the C library's own names so that a shifted or missing row
// shows; the folding of unknown numbers into row 0; the text form; the
// one owner of a descriptor; and the byte buffer that output is collected in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "base/byte_buffer.h"
#include "base/errno_code.h"
#include "base/fork_watch.h"
#include "base/internal_failure.h"
#include "base/unique_fd.h"

using morvik::Errno;

namespace {

// The highest number the table knows; Linux leaves 41 and 58 unassigned.
constexpr int LAST_ROW = 133;

TEST(ErrnoTest, EveryRowCarriesTheNameTheCLibraryGivesItsNumber) {
  for (int raw = 1; raw <= LAST_ROW; ++raw) {
    const char* libc_name = ::strerrorname_np(raw);
    const Errno e = Errno::from_raw(raw);
    if (libc_name == nullptr) {
      EXPECT_EQ(e.value(), 0) << raw;
      continue;
    }
    EXPECT_EQ(e.value(), raw);
    EXPECT_STREQ(e.name(), libc_name) << raw;
    EXPECT_STRNE(e.description(), "") << raw;
  }
}

TEST(ErrnoTest, NumbersOutsideTheTableFoldIntoUnknownErrno) {
  for (int raw : {0, 41, 58, LAST_ROW + 1, 200, -1, -22}) {
    const Errno e = Errno::from_raw(raw);
    EXPECT_EQ(e.value(), 0) << raw;
    EXPECT_STREQ(e.name(), "UnknownErrno") << raw;
    EXPECT_STREQ(e.description(), "Unknown errno") << raw;
  }
  EXPECT_EQ(Errno{}, Errno::from_raw(0));
}

TEST(ErrnoTest, TextJoinsNameAndDescription) {
  EXPECT_EQ(Errno::from_raw(ENOENT).text(), "ENOENT: No such file or directory");
  EXPECT_EQ(Errno::from_raw(58).text(), "UnknownErrno: Unknown errno");
}

TEST(ErrnoTest, LastReadsTheCallingThreadsErrno) {
  ASSERT_EQ(::close(-1), -1);
  EXPECT_EQ(Errno::last(), Errno::from_raw(EBADF));
}

TEST(UniqueFdTest, ClosingADescriptorSomeoneElseClosedIsAnInternalFailure) {
  (void)morvik::take_deferred_internal_failure();
  const int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  { morvik::UniqueFd healthy(fd); }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed by its owner
  EXPECT_FALSE(morvik::take_deferred_internal_failure().has_value());

  const int other = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(other, 0);
  {
    morvik::UniqueFd stale(other);
    ::close(other);
  }
  const auto failure = morvik::take_deferred_internal_failure();
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(*failure, "Closing an invalid file descriptor!");
}

// Appends of every size carry the buffer from the heap into a mapping of its
// own and through several moves of that mapping; the bytes must come through
// each step in order, and a cut or a move must keep exactly what it says.
TEST(ByteBufferTest, GrowingFromTheHeapThroughItsOwnMappingKeepsEveryByteInOrder) {
  morvik::ByteBuffer buffer;
  std::string expected;
  std::size_t step = 1;
  while (expected.size() < 3 * morvik::MAPPED_BUFFER_BYTES + morvik::HUGE_PAGE_BYTES) {
    std::string piece(step, '\0');
    for (std::size_t i = 0; i < step; ++i) piece[i] = static_cast<char>('a' + (expected.size() + i) % 26);
    buffer.append(piece);
    expected += piece;
    ASSERT_EQ(buffer.size(), expected.size());
    step = step * 3 + 1;
  }
  EXPECT_EQ(buffer.view(), expected);
  buffer.truncate(5);
  buffer.append("XYZ");
  EXPECT_EQ(buffer.view(), "abcdeXYZ");

  morvik::ByteBuffer moved(std::move(buffer));
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(moved.view(), "abcdeXYZ");
  buffer = std::move(moved);
  EXPECT_EQ(buffer.view(), "abcdeXYZ");
  buffer.release();
  EXPECT_TRUE(buffer.empty());
  buffer.append("again");
  EXPECT_EQ(buffer.view(), "again");
}

}  // namespace

namespace {

// Reports in the copy, through its exit status, whether its handler ran.
struct CopyMarker final : morvik::ForkWatcher {
  bool ran = false;
  void after_fork_in_child() noexcept override { ran = true; }
};

int copy_saw_handler(CopyMarker& marker, bool to_exec) {
  pid_t pid;
  if (to_exec) {
    const morvik::ForkToExec scope;
    pid = ::fork();
  } else {
    pid = ::fork();
  }
  if (pid == 0) ::_exit(marker.ran ? 1 : 0);
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  return WEXITSTATUS(status);
}

}  // namespace

// A fork that only starts a program leaves the host's objects alone in the
// copy; any other fork tidies them there.
TEST(ForkWatchTest, HandlersRunInTheCopyUnlessTheForkOnlyExecs) {
  CopyMarker marker;
  morvik::watch_forks(&marker);
  EXPECT_EQ(copy_saw_handler(marker, /*to_exec=*/false), 1);
  EXPECT_EQ(copy_saw_handler(marker, /*to_exec=*/true), 0);
  EXPECT_EQ(copy_saw_handler(marker, /*to_exec=*/false), 1);
  morvik::unwatch_forks(&marker);
}
