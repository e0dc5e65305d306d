#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "session/input_writer.h"

using namespace morvik::session;
using morvik::UniqueFd;

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

std::string drain_available(int fd) {
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string out;
  char buf[65536];
  for (ssize_t k; (k = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(k));
  return out;
}

}  // namespace

TEST(InputWriterTest, EveryByteIsHandedOverBeforeTheCallReturns) {
  for (std::size_t size : {std::size_t{1}, WRITER_BUFFER_BYTES, WRITER_BUFFER_BYTES + 1, std::size_t{300000}}) {
    Pipe p;
    InputWriter w(std::move(p.w));
    const std::string data(size, 'x');
    std::string got;
    std::thread reader([&] { got = drain(p.r.get(), size); });
    EXPECT_TRUE(w.write_all(data).ok()) << size;
    reader.join();
    EXPECT_EQ(got, data) << size;
  }
}

TEST(InputWriterTest, FailureNamesThePhaseAndTheOsMessage) {
  ::signal(SIGPIPE, SIG_IGN);
  for (std::size_t size : {std::size_t{5}, WRITER_BUFFER_BYTES + 1}) {
    Pipe p;
    InputWriter w(std::move(p.w));
    p.r.reset();
    auto r = w.write_all(std::string(size, 'y'));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().flushing, size <= WRITER_BUFFER_BYTES);
    EXPECT_EQ(r.error().text, "Broken pipe (os error 32)");
  }
}

// A failed input is gone with its call: once the reader catches up, the
// next input reaches it alone, never behind the rest of the one that failed.
TEST(InputWriterTest, ReaderThatNeverReadsFailsTheWriteAfterTheStallAndKeepsNothing) {
  Pipe p;
  ASSERT_EQ(::fcntl(p.w.get(), F_SETFL, O_NONBLOCK), 0);
  const int read_end = p.r.get();
  InputWriter w(std::move(p.w), std::chrono::milliseconds(100));
  for (const std::size_t size : {std::size_t{1} << 20, std::size_t{5}}) {  // the first fills the pipe
    const auto t0 = std::chrono::steady_clock::now();
    auto r = w.write_all(std::string(size, 'z'));
    const auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_FALSE(r.ok()) << size;
    EXPECT_EQ(r.error().flushing, size <= WRITER_BUFFER_BYTES);
    EXPECT_EQ(r.error().text, "Resource temporarily unavailable (os error 11)");
    EXPECT_GE(took, std::chrono::milliseconds(90));
    EXPECT_LT(took, std::chrono::seconds(3));
  }
  const std::string delivered = drain_available(read_end);
  EXPECT_EQ(delivered, std::string(delivered.size(), 'z'));
  ASSERT_TRUE(w.write_all("next\n").ok());
  EXPECT_EQ(drain_available(read_end), "next\n");
}

TEST(InputWriterTest, SlowReaderStillGetsEverythingWithinTheStallLimit) {
  Pipe p;
  ASSERT_EQ(::fcntl(p.w.get(), F_SETFL, O_NONBLOCK), 0);
  InputWriter w(std::move(p.w), std::chrono::milliseconds(2000));
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
  EXPECT_TRUE(w.write_all(big).ok());
  reader.join();
  EXPECT_EQ(got, big);
}
