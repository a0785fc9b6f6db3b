// The command process's backlog: which commands a newer one replaces while they wait, where the
// newer one then waits, and what happens once 64 wait.
#include <gtest/gtest.h>

#include <string>

#include "commands/command_backlog.h"

namespace vorn::commands {
namespace {

cloud::JsonPtr command(const std::string &text) { return cloud::JsonPtr(json_tokener_parse(text.c_str())); }

TEST(CommandBacklog, OnlyWholeValidCommandsThatANewerOneMakesPointlessAreReplaced) {
  const struct {
    const char *text;
    const char *key;
  } cases[] = {
      {R"({"SetEventTimer":"00124b0001a2b3c4","TimeBase":"60"})", "SetEventTimer 00124B0001A2B3C4"},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"65535"})", "SetEventTimer 00124B0001A2B3C4"},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"0"})", ""},       // refused: replaces nothing
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"65536"})", ""},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":60})", ""},        // not the command's text form
      {R"({"SetEventTimer":"00124B0001A2B3C","TimeBase":"60"})", ""},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"60","GetDevList":null})", ""},  // more than it
      {R"({"RemoveDev":"00124B0001A2B3C4"})", "RemoveDev 00124B0001A2B3C4"},
      {R"({"RemoveDev":null})", ""},
      {R"({"JoinNetwork_Enable":1})", "JoinNetwork_Enable"},
      {R"({"JoinNetwork_Enable":"1"})", ""},
      {R"({"GetDevList":null})", "GetDevList"},
      {R"({"GetOADStatus":5})", ""},
      {R"([1,2])", ""},
  };
  for (const auto &c : cases) {
    const cloud::JsonPtr document = command(c.text);
    EXPECT_EQ(superseding_key(document.get()), c.key) << c.text;
  }
}

TEST(CommandBacklog, ANewerCommandTakesTheOlderOnesPlaceAndPastTheLimitNewOnesAreDropped) {
  CommandBacklog backlog;
  EXPECT_EQ(backlog.add(command(R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"60"})")), CommandBacklog::Added::kWaiting);
  EXPECT_EQ(backlog.add(command(R"({"GetOADStatus":1})")), CommandBacklog::Added::kWaiting);
  EXPECT_EQ(backlog.add(command(R"({"SetEventTimer":"00124b0001a2b3c4","TimeBase":"90"})")), CommandBacklog::Added::kMerged);
  EXPECT_EQ(backlog.add(command(R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"-1"})")), CommandBacklog::Added::kWaiting)
      << "a refused interval waits on its own, to be refused with its line";
  EXPECT_EQ(backlog.size(), 3u);
  for (int i = 3; i < static_cast<int>(kCommandBacklog); ++i)
    EXPECT_EQ(backlog.add(command(R"({"GetOADStatus":)" + std::to_string(i) + "}")), CommandBacklog::Added::kWaiting);
  EXPECT_EQ(backlog.add(command(R"({"GetOADStatus":99})")), CommandBacklog::Added::kDropped);
  EXPECT_EQ(backlog.add(command(R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"120"})")), CommandBacklog::Added::kMerged)
      << "a command that replaces one waiting takes no room";
  EXPECT_EQ(backlog.size(), kCommandBacklog);

  EXPECT_STREQ(cloud::json_text(backlog.take().get()), R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"120"})")
      << "first in line, with the newest interval";
  EXPECT_STREQ(cloud::json_text(backlog.take().get()), R"({"GetOADStatus":1})");
  std::size_t left = 2;
  while (backlog.take()) ++left;
  EXPECT_EQ(left, kCommandBacklog);
  EXPECT_EQ(backlog.take(), nullptr);
}

}  // namespace
}  // namespace vorn::commands
