#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "session/buf_writer.h"

using namespace morvik::session;
using morvik::pty::UniqueFd;

namespace {

struct Pipe {
  UniqueFd r, w;
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    r.reset(fds[0]);
    w.reset(fds[1]);
  }
};

std::string drain(int fd, std::size_t n) {
  std::string out(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    ssize_t k = ::read(fd, out.data() + got, n - got);
    if (k <= 0) break;
    got += static_cast<std::size_t>(k);
  }
  out.resize(got);
  return out;
}

}  // namespace

TEST(BufWriterTest, SmallWritesWaitInTheBufferUntilFlush) {
  Pipe p;
  BufWriter w(std::move(p.w));
  ASSERT_TRUE(w.write("hello ").ok());
  ASSERT_TRUE(w.write("world").ok());
  EXPECT_EQ(w.buffered(), 11u);
  ASSERT_TRUE(w.flush().ok());
  EXPECT_EQ(w.buffered(), 0u);
  EXPECT_EQ(drain(p.r.get(), 11), "hello world");
}

TEST(BufWriterTest, LargeWriteGoesStraightThroughAfterBufferedBytes) {
  Pipe p;
  BufWriter w(std::move(p.w));
  ASSERT_TRUE(w.write("head:").ok());
  const std::string big(9000, 'x');
  std::string got;
  std::thread reader([&] { got = drain(p.r.get(), 9005); });
  ASSERT_TRUE(w.write(big).ok());
  EXPECT_EQ(w.buffered(), 0u);  // written out, not buffered
  reader.join();
  EXPECT_EQ(got, "head:" + big);
}

TEST(BufWriterTest, WriteThatDoesNotFitFlushesThenBuffers) {
  Pipe p;
  BufWriter w(std::move(p.w));
  ASSERT_TRUE(w.write(std::string(8000, 'a')).ok());
  ASSERT_TRUE(w.write(std::string(500, 'b')).ok());
  EXPECT_EQ(w.buffered(), 500u);
  EXPECT_EQ(drain(p.r.get(), 8000), std::string(8000, 'a'));
}

TEST(BufWriterTest, FailureReportsOsMessageAndKeepsUnwrittenBytes) {
  ::signal(SIGPIPE, SIG_IGN);
  Pipe p;
  BufWriter w(std::move(p.w));
  p.r.reset();
  ASSERT_TRUE(w.write("lost?").ok());
  auto r = w.flush();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "Broken pipe (os error 32)");
  EXPECT_EQ(w.buffered(), 5u);
}

TEST(BufWriterTest, DestructorWritesOutBufferedBytes) {
  Pipe p;
  {
    BufWriter w(std::move(p.w));
    ASSERT_TRUE(w.write("bye").ok());
  }
  EXPECT_EQ(drain(p.r.get(), 3), "bye");
  char c;
  EXPECT_EQ(::read(p.r.get(), &c, 1), 0);  // writer's descriptor closed
}

TEST(BufWriterTest, ReaderThatNeverReadsMakesTheWriteFailAfterTheStallLimit) {
  Pipe p;
  ASSERT_EQ(::fcntl(p.w.get(), F_SETFL, O_NONBLOCK), 0);
  BufWriter w(std::move(p.w), std::chrono::milliseconds(100));
  const std::string big(1 << 20, 'z');  // far more than a pipe holds
  const auto t0 = std::chrono::steady_clock::now();
  auto r = w.write(big);
  const auto took = std::chrono::steady_clock::now() - t0;
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "Resource temporarily unavailable (os error 11)");
  EXPECT_GE(took, std::chrono::milliseconds(90));
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST(BufWriterTest, SlowReaderStillGetsEverythingWithinTheStallLimit) {
  Pipe p;
  ASSERT_EQ(::fcntl(p.w.get(), F_SETFL, O_NONBLOCK), 0);
  BufWriter w(std::move(p.w), std::chrono::milliseconds(2000));
  const std::string big(300000, 'q');
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    while (got.size() < big.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const ssize_t k = ::read(p.r.get(), buf, sizeof buf);
      if (k <= 0) break;
      got.append(buf, static_cast<std::size_t>(k));
    }
  });
  auto r = w.write(big);
  EXPECT_TRUE(r.ok());
  reader.join();
  EXPECT_EQ(got, big);
}
