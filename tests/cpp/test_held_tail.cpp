// The session's side of the output: what a read takes but does not hand out
// comes out first, and a read that stops inside a character or escape leaves
// that part at the head, under the rules that keep a reading loop from
// stalling or losing the end of the output. Driven through a real channel,
// with a read that takes chunks within a budget as the session's do.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "session/channel.h"
#include "session/held_tail.h"
#include "session/inbox.h"

using namespace morvik::session;

namespace {

// A read: queued chunks within `budget`, the cut rest of the last one put
// back, then the incomplete end held back.
std::string read(Inbox& inbox, std::uint64_t budget) {
  morvik::ByteBuffer collected;
  Chunk chunk;
  while (collected.size() < budget && inbox.try_take(chunk) == Inbox::Status::Chunk) {
    if (append_capped(inbox, collected, std::move(chunk), budget)) break;
  }
  hold_incomplete_tail(inbox, collected, budget);
  return std::string(collected.view());
}

// One step of a case: the child writes `sent`, or its output ends (`end`),
// or a read with `budget` must return `expected`.
struct Step {
  std::string sent;
  bool end = false;
  std::uint64_t budget = 0;
  std::string expected;
};

Step write(std::string bytes) { return {std::move(bytes), false, 0, {}}; }
Step end_of_output() { return {{}, true, 0, {}}; }
Step read_gives(std::uint64_t budget, std::string expected) { return {{}, false, budget, std::move(expected)}; }

struct Case {
  const char* name;
  std::vector<Step> steps;
};

}  // namespace

TEST(HeldTailTest, ReadsEndOnWholeCharactersAndEscapesWithoutStallingOrLosingOutput) {
  const std::vector<Case> cases = {
      {"a character cut by the read waits for its last byte",
       {write("ab\xe2\x82"), read_gives(64, "ab"), read_gives(64, ""), write("\xac!"),
        read_gives(64, "\xe2\x82\xac!")}},
      {"so does a sequence, and the held part counts against the next budget",
       {write("x\x1b[3"), read_gives(64, "x"), write("1mred"), read_gives(6, "\x1b[31mr"), read_gives(64, "ed")}},
      {"a budget that cuts a chunk inside a sequence holds it too",
       {write("red\x1b[31mgreen"), read_gives(5, "red"), read_gives(64, "\x1b[31mgreen")}},
      {"held while the program runs, handed out once its output has ended",
       {write("x\x1b]0;title"), read_gives(64, "x"), end_of_output(), read_gives(64, "\x1b]0;title"),
        read_gives(64, "")}},
      {"all a small budget can take, with more behind it, is handed out as it is",
       {write("\x1b[31mx"), read_gives(3, "\x1b[3"), read_gives(3, "1mx")}},
      {"but not when nothing is queued behind it",
       {write("\x1b[3"), read_gives(3, ""), write("1mx"), read_gives(3, "\x1b[3"), read_gives(64, "1mx")}},
      {"a whole read passes untouched",
       {write("\x1b[1mbold\x1b[0m \xe2\x82\xac\n"), read_gives(64, "\x1b[1mbold\x1b[0m \xe2\x82\xac\n")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [tx, rx] = make_channel();
    Inbox inbox(std::move(rx));
    std::optional<Sender> sender(std::move(tx));
    for (const Step& step : c.steps) {
      if (step.end) {
        sender.reset();
      } else if (!step.sent.empty()) {
        ASSERT_TRUE(sender->send(step.sent));
      } else {
        EXPECT_EQ(read(inbox, step.budget), step.expected);
      }
    }
  }
}

TEST(InboxTest, ReturnedOutputComesOutFirstAndOnlyTheHeldPartIsMarked) {
  auto [tx, rx] = make_channel();
  Inbox inbox(std::move(rx));
  ASSERT_TRUE(tx.send("later"));
  EXPECT_EQ(inbox.peek(), Inbox::Status::Chunk);  // looked at, not lost
  inbox.put_back("rest");
  inbox.hold_back("held");
  Chunk c;
  for (auto [want, held] : {std::pair{"held", true}, {"rest", false}, {"later", false}}) {
    ASSERT_EQ(inbox.try_take(c), Inbox::Status::Chunk);
    EXPECT_EQ(c, want);
    EXPECT_EQ(inbox.took_held(), held) << want;
  }
  EXPECT_EQ(inbox.peek(), Inbox::Status::Empty);
  { Sender gone = std::move(tx); }
  EXPECT_EQ(inbox.peek(), Inbox::Status::Disconnected);
  EXPECT_EQ(inbox.take_within(c, std::chrono::seconds(5)), Inbox::Status::Disconnected);
}
