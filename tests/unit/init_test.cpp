#include "init/init.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <regex>
#include <thread>

#include "support.h"
#include "tty/tty.h"

namespace velquin {
namespace {

using test::PrintTo;

using namespace std::chrono_literals;
using clock = std::chrono::steady_clock;
using sim::bytes;

bytes join(std::initializer_list<std::span<const std::uint8_t>> parts) {
  bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

struct Case {
  const char* name;
  sim::answers answers;
  bytes stale;
  int result;
  std::string messages;
};

// What the receiver must have heard: one whole request for every "sending" line.
bytes requestsin(const std::string& messages) {
  bytes heard;
  static const std::regex sending("sending init string #([0-2])\n");
  for (auto m = std::sregex_iterator(messages.begin(), messages.end(), sending);
       m != std::sregex_iterator(); ++m) {
    const auto r = sim::request(std::stoi((*m)[1]));
    heard.insert(heard.end(), r.begin(), r.end());
  }
  return heard;
}

std::vector<Case> cases() {
  std::vector<Case> all;
  all.push_back({"clean answers", {}, {}, 0, test::allsent});
  {
    // A whole stale response 0, after a 00, waits on the line, and request
    // 0's first attempt gets no answer: had the stale bytes been matched,
    // request 0 would not have been sent twice.
    sim::answers a;
    a.from[0] = 1;
    all.push_back({"stale bytes drained", a, join({bytes{0x00}, sim::response(0)}), 0,
                   "sending init string #0\nsending init string #0\n"
                   "sending init string #1\nsending init string #2\n"});
  }
  {
    sim::answers a;
    a.reply[1] = join({bytes{0xFF, 0x55, 0x07}, sim::response(1)});
    all.push_back({"wrong byte restarts the match",
                   a,
                   {},
                   0,
                   "sending init string #0\nsending init string #1\n"
                   "response 07 should be 08\nsending init string #2\n"});
  }
  {
    // The match starts again after the wrong byte, so the rest of the
    // answer no longer completes it.
    sim::answers a;
    a.reply[1] = bytes{0xFF, 0x55, 0x99, 0x08, 0x03, 0x0B};
    const char* wrong =
        "sending init string #1\nresponse 99 should be 08\nresponse 08 should be ff\n"
        "response 03 should be ff\nresponse 0b should be ff\n";
    all.push_back({"wrong byte inside an answer",
                   a,
                   {},
                   -2,
                   std::string("sending init string #0\n") + wrong + wrong});
  }
  {
    sim::answers a;
    a.reply[1] = bytes{0xFF, 0x55, 0xFF, 0x55, 0x08, 0x03, 0x0B};
    all.push_back({"repeated first byte continues the match", a, {}, 0, test::allsent});
  }
  {
    sim::answers a;
    a.reply[0] = join({sim::response(0), bytes{0xFF}});
    a.reply[1] = bytes{0x55, 0x08, 0x03, 0x0B};
    all.push_back({"extra byte counts towards the next response", a, {}, 0, test::allsent});
  }
  {
    sim::answers a;
    a.from[1] = 1;
    all.push_back({"second attempt answered",
                   a,
                   {},
                   0,
                   "sending init string #0\nsending init string #1\n"
                   "sending init string #1\nsending init string #2\n"});
  }
  {
    sim::answers a;
    a.gap = 150ms;
    all.push_back({"answers split into single bytes", a, {}, 0, test::allsent});
  }
  {
    sim::answers a;
    a.reply[2] = join({bytes{0x00, 0x12}, sim::response(2)});
    all.push_back({"noise before an answer",
                   a,
                   {},
                   0,
                   test::allsent + "response 00 should be ff\nresponse 12 should be ff\n"});
  }
  all.push_back({"silent receiver",
                 sim::silent(),
                 {},
                 -2,
                 "sending init string #0\nsending init string #0\n"});
  return all;
}

class Handshake : public test::Line, public ::testing::WithParamInterface<Case> {};

TEST_P(Handshake, MatchesTheReceiversAnswers) {
  const Case& c = GetParam();
  openline(sim::quietdefaults());
  if (!c.stale.empty()) {
    ASSERT_EQ(sim::linesend(line_, c.stale), sim::outcome::done);
  }
  const int fd = ::open(link_.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ttysetup(fd, 9600);

  bytes heard;
  std::jthread receiver = test::exchangethread(line_, c.answers, 20s, &heard);
  int result = 0;
  std::string messages;
  const auto start = clock::now();
  {
    test::stderrcapture capture;
    result = devinit(fd);
    messages = capture.text();
  }
  const auto took = clock::now() - start;
  receiver.request_stop();
  receiver.join();

  EXPECT_EQ(result, c.result);
  EXPECT_EQ(messages, c.messages);
  EXPECT_EQ(test::hex(heard), test::hex(requestsin(c.messages)));
  if (c.result == -2) {
    EXPECT_GT(took, 5s);
    EXPECT_LT(took, 7s);
  }
  ttyclose(fd);
}

INSTANTIATE_TEST_SUITE_P(Receiver, Handshake, ::testing::ValuesIn(cases()), test::casename());

}  // namespace
}  // namespace velquin
