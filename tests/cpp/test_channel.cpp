#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "session/channel.h"

using namespace morvik::session;
using namespace std::chrono_literals;
using Status = Receiver::Status;

TEST(ChannelTest, KeepsChunkBoundariesAndOrder) {
  auto [tx, rx] = make_channel();
  ASSERT_TRUE(tx.send("one"));
  ASSERT_TRUE(tx.send("two"));
  ASSERT_TRUE(tx.send("three"));
  Chunk c;
  for (const char* want : {"one", "two", "three"}) {
    ASSERT_EQ(rx.try_recv(c), Status::Chunk);
    EXPECT_EQ(c, want);
  }
  EXPECT_EQ(rx.try_recv(c), Status::Empty);
}

TEST(ChannelTest, QueuedChunksOutliveTheSenderThenDisconnected) {
  auto [tx, rx] = make_channel();
  ASSERT_TRUE(tx.send("last words"));
  { Sender gone = std::move(tx); }
  Chunk c;
  ASSERT_EQ(rx.recv_timeout(c, 1s), Status::Chunk);
  EXPECT_EQ(c, "last words");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(rx.recv_timeout(c, 5s), Status::Disconnected);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_EQ(rx.try_recv(c), Status::Disconnected);
}

TEST(ChannelTest, TimedReceiveWaitsForItsLimitAndWakesOnSend) {
  auto [tx, rx] = make_channel();
  Chunk c;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(rx.recv_timeout(c, 60ms), Status::TimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 55ms);

  EXPECT_EQ(rx.recv_timeout(c, 0ms), Status::TimedOut);

  std::thread producer([&tx] {
    std::this_thread::sleep_for(30ms);
    tx.send("wake");
  });
  t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(rx.recv_timeout(c, 5s), Status::Chunk);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_EQ(c, "wake");
  producer.join();
}

TEST(ChannelTest, SendFailsOnceTheReceiverIsGone) {
  auto [tx, rx] = make_channel();
  { Receiver gone = std::move(rx); }
  EXPECT_FALSE(tx.send("nobody listens"));
}

TEST(ChannelTest, ManyChunksFromAnotherThreadArriveInOrder) {
  auto [tx, rx] = make_channel();
  constexpr int N = 20000;
  std::thread producer([tx = std::move(tx)]() mutable {
    for (int i = 0; i < N; ++i) tx.send(std::to_string(i));
  });
  Chunk c;
  int next = 0;
  for (;;) {
    const auto s = rx.recv_timeout(c, 5s);
    if (s == Status::Disconnected) break;
    ASSERT_EQ(s, Status::Chunk);
    ASSERT_EQ(c, std::to_string(next));
    ++next;
  }
  producer.join();
  EXPECT_EQ(next, N);
}

TEST(ChannelTest, FullQueueHoldsTheProducerUntilTheConsumerTakesSome) {
  auto [tx, rx] = make_channel(/*capacity_bytes=*/10);
  ASSERT_TRUE(tx.send(std::string(6, 'a')));
  ASSERT_TRUE(tx.send(std::string(6, 'b')));  // 12 >= 10: the next send waits
  auto stop = tx.stop_handle();
  std::atomic<bool> sent{false};
  std::thread producer([&] {
    sent = tx.send("c");
  });
  for (int i = 0; i < 200 && !stop.sender_blocked(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(stop.sender_blocked());
  EXPECT_FALSE(sent);
  Chunk c;
  ASSERT_EQ(rx.try_recv(c), Status::Chunk);
  producer.join();
  EXPECT_TRUE(sent);
  ASSERT_EQ(rx.try_recv(c), Status::Chunk);
  EXPECT_EQ(c, "bbbbbb");
  ASSERT_EQ(rx.try_recv(c), Status::Chunk);
  EXPECT_EQ(c, "c");
  EXPECT_TRUE(tx.wait_for_room());  // empty again: at once
}

TEST(ChannelTest, StopRequestReleasesAProducerWaitingForRoom) {
  auto [tx, rx] = make_channel(/*capacity_bytes=*/1);
  ASSERT_TRUE(tx.send("x"));
  auto stop = tx.stop_handle();
  std::atomic<int> result{-1};
  std::atomic<int> room{-1};
  std::thread producer([&] {
    room = tx.wait_for_room() ? 1 : 0;
    result = tx.send("y") ? 1 : 0;
  });
  for (int i = 0; i < 200 && !stop.sender_blocked(); ++i) std::this_thread::sleep_for(1ms);
  stop.request_stop();
  producer.join();
  EXPECT_EQ(room, 0);
  EXPECT_EQ(result, 0);
  Chunk c;
  ASSERT_EQ(rx.try_recv(c), Status::Chunk);  // what was queued stays readable
  EXPECT_EQ(c, "x");
}
