#include "base/base.h"

#include <gtest/gtest.h>

#include <string>

#include "support.h"

namespace velquin {
namespace {

// Every message leaves whole, however long the path in it (up to what open(2)
// takes) or the reason.
TEST(Messages, ComeOutWholeHoweverLong) {
  for (const std::size_t length : {std::size_t{10}, std::size_t{600}, longestpath}) {
    SCOPED_TRACE(length);
    const std::string path = "/dev/" + std::string(length - 5, 'x');
    test::stderrcapture err;
    say("can't open %s\n", path.c_str());
    report("write error: %s\n", path.c_str());
    EXPECT_EQ(err.text(), "can't open " + path + "\nvelquin: write error: " + path + "\n");
  }
}

}  // namespace
}  // namespace velquin
