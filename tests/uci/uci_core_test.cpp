// The configuration tool run in-process against a private folder: file format, addresses, staged
// changes, every command's exact output, and random damage to its input files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "address.h"
#include "commands.h"
#include "config_text.h"
#include "package_store.h"
#include "staged_changes.h"

namespace {

namespace fs = std::filesystem;

std::string parse_and_format(const std::string& text) {
  uci::Package package;
  uci::ParseError error;
  EXPECT_TRUE(uci::parse_config(text, package, error)) << error.reason << " at " << error.line;
  return uci::format_config(package);
}

TEST(ConfigText, ReadsEveryWordFormAndWritesTheCanonicalOne) {
  const std::string text =
      "package sensorlist\n"
      "# a comment\n"
      "config Coprocessor   # trailing comment\n"
      "  option  StartCount 3\n"
      "\toption ModelName \"Tab\\\"X\\\\\"\n"
      "\toption Note 'it'\\''s'\r\n"
      "\toption Lines 'one\ntwo'\n"
      "\tlist Channel '1'\n"
      "\tlist Channel \"2\"\n"
      "config gateway main\n"
      "\toption empty ''\n"
      "config gateway 'main'\n"   // the same name again continues the section
      "\toption extra x#y\n";
  EXPECT_EQ(parse_and_format(text),
            "\nconfig Coprocessor\n"
            "\toption StartCount '3'\n"
            "\toption ModelName 'Tab\"X\\'\n"
            "\toption Note 'it'\\''s'\n"
            "\toption Lines 'one\ntwo'\n"
            "\tlist Channel '1'\n"
            "\tlist Channel '2'\n"
            "\nconfig gateway 'main'\n"
            "\toption empty ''\n"
            "\toption extra 'x#y'\n");
  // The canonical form reads back to itself.
  std::string canonical = parse_and_format(text);
  EXPECT_EQ(parse_and_format(canonical), canonical);
}

TEST(ConfigText, ReportsTheLineAndByteOfAMalformedStatement) {
  using namespace std::string_view_literals;
  struct Case {
    std::string_view text;
    const char* reason;
    std::size_t line, byte;
  };
  const Case cases[] = {
      {"config a\n\toption x '1'\nbogus\n", "invalid command", 3, 1},
      {"\toption x 1\n", "option or list before the first section", 1, 2},
      {"config a\n  option x 'open\n\n", "unterminated quote", 2, 12},
      {"config\n", "missing section type", 1, 1},
      {"config a-b\n", "invalid section type", 1, 8},
      {"config a 'b c'\n", "invalid section name", 1, 10},
      {"config a b c\n", "too many arguments", 1, 12},
      {"config a\n option x\n", "missing value", 2, 9},
      {"config a\n option x.y 1\n", "invalid option name", 2, 9},
      {"config a\n option x 1 2\n", "too many arguments", 2, 13},
      {"config a\n option x '1\0'\n"sv, "invalid character", 2, 13},
  };
  for (const Case& c : cases) {
    uci::Package package;
    uci::ParseError error;
    EXPECT_FALSE(uci::parse_config(c.text, package, error)) << c.text;
    EXPECT_EQ(error.reason, c.reason) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_EQ(error.byte, c.byte) << c.text;
  }
}

TEST(Address, AcceptsTheExtendedSyntaxAndRefusesEverythingElse) {
  uci::Address a;
  ASSERT_TRUE(uci::parse_address("sensorlist.@00124B0001A2B3C4[].ShortAddress=0003", true, a));
  EXPECT_EQ(a.package, "sensorlist");
  EXPECT_TRUE(a.section->by_type);
  EXPECT_EQ(a.section->text, "00124B0001A2B3C4");
  EXPECT_EQ(a.section->index, 0);
  EXPECT_EQ(a.option, "ShortAddress");
  EXPECT_EQ(*a.value, "0003");
  ASSERT_TRUE(uci::parse_address("p.@t[-2]", false, a));
  EXPECT_EQ(a.section->index, -2);
  ASSERT_TRUE(uci::parse_address("p.@[1]", false, a)) << "the second section of any type";
  EXPECT_TRUE(a.section->by_type && a.section->text.empty() && a.section->index == 1);
  ASSERT_TRUE(uci::parse_address("p.s.o=a=b.c", true, a));
  EXPECT_EQ(*a.value, "a=b.c");
  for (const char* bad : {"", ".s", "../etc.s", "p/q.s", "p.", "p.s.", "p.s.o.x", "p.@t", "p.@t[",
                          "p.@", "p.@t[x]", "p.@t[-]", "p.@t[1234567890]", "p.s-t", "p.s.o=v"}) {
    EXPECT_FALSE(uci::parse_address(bad, false, a)) << bad;
  }
}

TEST(StagedChanges, RoundTripsAndSkipsWhatIsDamaged) {
  uci::StagedChanges staged{uci::version_of("x"), {}};
  staged.changes.push_back({uci::ChangeKind::add, "$1", "T", "", ""});
  staged.changes.push_back({uci::ChangeKind::set_option, "$1", "", "o", "a\tb\nc\\d"});
  staged.changes.push_back({uci::ChangeKind::remove, "#0", "", "o", ""});
  std::string text = uci::format_staged(staged);
  uci::StagedChanges back;
  ASSERT_TRUE(uci::parse_staged(text, back));
  EXPECT_EQ(back.base, staged.base);
  ASSERT_EQ(back.changes.size(), 3u);
  EXPECT_EQ(back.changes[1].value, "a\tb\nc\\d");

  // A bad line in the middle and a last line without its end are dropped, the rest kept.
  std::string damaged = text;
  damaged.insert(damaged.find("-\t#0"), ".\t#x\to\tv\n?\n");
  damaged += "-\t#1";
  ASSERT_TRUE(uci::parse_staged(damaged, back));
  EXPECT_EQ(back.changes.size(), 3u);
  EXPECT_FALSE(uci::parse_staged("uci-staged 1 nothex\n", back));
  EXPECT_FALSE(uci::parse_staged(text.substr(0, 10), back));
}

// Runs the command line in-process against a private configuration and staging folder.
class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/uci_core_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    paths_.config_dir = root_ + "/config";
    paths_.staging_dir = root_ + "/staging";
    fs::create_directory(paths_.config_dir);
    write_config("sensorlist", "");
    write_config("gateway",
                 "\nconfig gateway 'main'\n\toption register_name 'GW00124B00A1B2C3'\n");
  }
  void TearDown() override { fs::remove_all(root_); }

  struct Ran {
    int status;
    std::string out, err;
  };
  Ran uci(std::vector<const char*> args) {
    args.insert(args.begin(), "uci");
    uci::Output output;
    int status = uci::run(static_cast<int>(args.size()), args.data(), paths_, output);
    return {status, output.out, output.err};
  }
  std::string out(std::vector<const char*> args) {
    Ran ran = uci(std::move(args));
    EXPECT_EQ(ran.status, 0) << ran.err;
    return ran.out;
  }
  void write_config(const std::string& name, const std::string& text) {
    std::ofstream(paths_.config_file(name), std::ios::binary) << text;
  }
  static std::string read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
  std::string committed(const std::string& name) { return read(paths_.config_file(name)); }

  std::string root_;
  uci::Paths paths_;
};

TEST_F(Tool, DaemonCommandShapesGiveExactOutputs) {
  const char* sensor = "00124B0001A2B3C4";
  // Names as the router's tool builds them: position from 1, then a hash of the type.
  EXPECT_EQ(out({"-q", "add", "sensorlist", sensor}), "cfg01e13e\n");
  EXPECT_EQ(out({"-q", "add", "sensorlist", "Coprocessor"}).substr(0, 3), "cfg");
  out({"set", "sensorlist.@00124B0001A2B3C4[].ShortAddress=0003"});
  out({"set", "sensorlist.@Coprocessor[].StartCount=0"});
  out({"set", "sensorlist.@Coprocessor[].ModelVersion=0.9.0.05"});
  out({"commit", "sensorlist"});
  EXPECT_EQ(out({"-q", "get", "sensorlist.@00124B0001A2B3C4[]"}), "00124B0001A2B3C4\n");
  EXPECT_EQ(out({"-q", "get", "sensorlist.@Coprocessor[]"}), "Coprocessor\n");
  EXPECT_EQ(out({"-q", "get", "sensorlist.@00124B0001A2B3C4[].ShortAddress"}), "0003\n");
  EXPECT_EQ(out({"show", "sensorlist"}),
            "sensorlist.@00124B0001A2B3C4[0]=00124B0001A2B3C4\n"
            "sensorlist.@00124B0001A2B3C4[0].ShortAddress='0003'\n"
            "sensorlist.@Coprocessor[0]=Coprocessor\n"
            "sensorlist.@Coprocessor[0].StartCount='0'\n"
            "sensorlist.@Coprocessor[0].ModelVersion='0.9.0.05'\n");
  EXPECT_EQ(out({"show", "sensorlist.@Coprocessor[0].ModelVersion"}),
            "sensorlist.cfg022237.ModelVersion='0.9.0.05'\n");
  EXPECT_EQ(out({"get", "sensorlist.cfg022237.ModelVersion"}), "0.9.0.05\n");
  EXPECT_EQ(uci({"-q", "get", "sensorlist.cfg02b6e4"}).status, 1);  // the hash of another type
  EXPECT_EQ(out({"-q", "get", "gateway.main.register_name"}), "GW00124B00A1B2C3\n");
  EXPECT_EQ(out({"show", "gateway"}),
            "gateway.main=gateway\ngateway.main.register_name='GW00124B00A1B2C3'\n");

  // Missing entries: a message and status 1, or silence with -q.
  for (const char* missing : {"sensorlist.@0000000000000001[]", "sensorlist.@Coprocessor[0].ModelName",
                              "nosuchpackage.x", "gateway.other.x"}) {
    EXPECT_EQ(uci({"get", missing}).err, "uci: Entry not found\n") << missing;
    Ran quiet = uci({"-q", "get", missing});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out + quiet.err, "");
  }
  // An option of a section that is not there, as when a commit of another process dropped the
  // staged "add": the router's tool calls it an invalid argument.
  Ran no_section = uci({"set", "sensorlist.@Nothing[].x=1"});
  EXPECT_EQ(no_section.status, 1);
  EXPECT_EQ(no_section.err, "uci: Invalid argument\n");
  EXPECT_EQ(uci({"-q", "delete", "sensorlist.@Nothing[]"}).status, 1);

  // Deleting a sensor section takes all its options.
  out({"-q", "delete", "sensorlist.@00124B0001A2B3C4[]"});
  out({"commit", "sensorlist"});
  EXPECT_EQ(committed("sensorlist"),
            "\nconfig Coprocessor\n\toption StartCount '0'\n\toption ModelVersion '0.9.0.05'\n");
}

TEST_F(Tool, IndicesNamedSectionsAndTypes) {
  write_config("p", "config T\n option n 0\nconfig U\nconfig T\n option n 1\nconfig T\n option n 2\n");
  EXPECT_EQ(out({"get", "p.@T[-1].n"}), "2\n");
  EXPECT_EQ(out({"get", "p.@T[-3].n"}), "0\n");
  EXPECT_EQ(out({"get", "p.@T[1].n"}), "1\n");
  EXPECT_EQ(out({"show", "p.@T[-2]"}), "p.cfg03b5f9=T\np.cfg03b5f9.n='1'\n");
  EXPECT_EQ(uci({"get", "p.@T[3]"}).status, 1);
  EXPECT_EQ(uci({"get", "p.@T[-4]"}).status, 1);
  // set pkg.name=type creates a named section; get of a section prints its type.
  out({"set", "p.extra=U"});
  out({"set", "p.extra.v=it's"});
  EXPECT_EQ(out({"get", "p.extra"}), "U\n");
  EXPECT_EQ(out({"show", "p.extra"}), "p.extra=U\np.extra.v='it'\\''s'\n");
  EXPECT_EQ(out({"show", "p.@U[0]"}), "p.cfg02b5fa=U\n");
  out({"delete", "p.@T[0].n"});
  out({"commit"});
  EXPECT_EQ(committed("p"),
            "\nconfig T\n\nconfig U\n\nconfig T\n\toption n '1'\n\nconfig T\n\toption n '2'\n"
            "\nconfig U 'extra'\n\toption v 'it'\\''s'\n");
  EXPECT_EQ(uci({"set", "p.extra=not-a-type"}).err, "uci: Invalid argument\n");
}

TEST_F(Tool, StagedChangesAreSeenBeforeCommitAndGoneAfter) {
  out({"add", "sensorlist", "S"});
  out({"set", "sensorlist.@S[0].a=1"});
  EXPECT_EQ(committed("sensorlist"), "");
  EXPECT_EQ(out({"get", "sensorlist.@S[0].a"}), "1\n");
  EXPECT_EQ(out({"changes"}), "sensorlist.cfg01b5f8='S'\nsensorlist.cfg01b5f8.a='1'\n");
  out({"commit", "sensorlist"});
  EXPECT_EQ(read(paths_.staged_file("sensorlist")), "");  // emptied, as the router's tool does
  EXPECT_EQ(out({"changes", "sensorlist"}), "");
  out({"set", "sensorlist.@S[0].a=2"});
  out({"revert", "sensorlist.@S[0].a"});
  EXPECT_EQ(out({"get", "sensorlist.@S[0].a"}), "1\n");
  out({"delete", "sensorlist.@S[0]"});
  out({"revert", "sensorlist"});
  EXPECT_EQ(out({"get", "sensorlist.@S[0].a"}), "1\n");
}

TEST_F(Tool, MalformedFilesAndUsageAreReported) {
  write_config("broken", "config a\n\toption x '1'\nbogus line\n");
  Ran ran = uci({"show", "broken"});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.err, "uci: Parse error (invalid command) at line 3, byte 1\n");
  EXPECT_EQ(uci({"-q", "get", "broken.@a[0].x"}).err, "");
  EXPECT_EQ(uci({"set", "broken.@a[0].x=2"}).status, 1);
  EXPECT_EQ(uci({"commit", "broken"}).status, 0);  // nothing staged, nothing to do
  EXPECT_EQ(committed("broken"), "config a\n\toption x '1'\nbogus line\n");
  // Statuses and messages as the router's tool gives them.
  struct Case {
    std::vector<const char*> args;
    int status;
    std::string err;  // its start
  };
  const Case cases[] = {
      {{}, 0, "Usage: uci [<options>] <command>"},
      {{"-x", "show"}, 0, "uci: invalid option -- 'x'\nUsage: uci "},
      {{"-qz", "show"}, 0, "uci: invalid option -- 'z'\nUsage: uci "},
      {{"get"}, 255, "Usage: uci "},
      {{"frobnicate", "a"}, 255, "Usage: uci "},
      {{"add", "p"}, 255, "Usage: uci "},
      {{"get", "a", "b"}, 255, "Usage: uci "},
      {{"add", "nosuchpackage", "T"}, 3, "uci: Entry not found\n"},
      {{"add", "sensorlist", "a-b"}, 2, "uci: Invalid argument\n"},
      {{"add", "broken", "T"}, 5, "uci: Parse error"},
      {{"get", "sensorlist.x.y=1"}, 1, ""},
      {{"get", "sensorlist"}, 0, ""},
      {{"get", "nosuchpackage"}, 1, "uci: Entry not found\n"},
      {{"show"}, 0, "uci: Parse error"},  // the broken package is said, the others shown
      {{"commit"}, 0, ""},
      {{"GET", "gateway.main.register_name"}, 0, ""},
  };
  for (const Case& c : cases) {
    Ran ran = uci(c.args);
    EXPECT_EQ(ran.status, c.status) << (c.args.empty() ? "" : c.args[0]);
    EXPECT_EQ(ran.err.substr(0, c.err.size()), c.err) << (c.args.empty() ? "" : c.args[0]);
  }
  // Messages start with the name the tool was run by.
  uci::Output output;
  const char* full[] = {"/usr/bin/uci", "get", "sensorlist.@None[]"};
  EXPECT_EQ(uci::run(3, full, paths_, output), 1);
  EXPECT_EQ(output.err, "/usr/bin/uci: Entry not found\n");
}

// "set X=" with an empty value deletes the option or section it names, as on the router: an
// empty text written over a stored value erases it.
TEST_F(Tool, SettingAnEmptyValueDeletesWhatItNames) {
  write_config("p", "config T\n option a 1\n option b 2\nconfig U 'u'\n option c 3\n");
  const std::pair<const char*, int> sets[] = {
      {"p.@T[0].a=", 0}, {"p.@T[0].absent=", 0}, {"p.u=", 0}, {"p.absent=", 0},
      {"p.@Absent[0].a=", 1}, {"p.absent.a=", 1}};
  for (const auto& [arg, status] : sets) EXPECT_EQ(uci({"-q", "set", arg}).status, status) << arg;
  EXPECT_EQ(uci({"-q", "get", "p.@T[0].a"}).status, 1);
  EXPECT_EQ(uci({"-q", "get", "p.u"}).status, 1);
  EXPECT_EQ(out({"changes", "p"}), "-p.cfg01b5f9.a\n-p.u\n");
  out({"commit", "p"});
  EXPECT_EQ(committed("p"), "\nconfig T\n\toption b '2'\n");
}

// A staged change names its section by an identity that other edits cannot shift.
TEST_F(Tool, StagedChangesKeepPointingAtTheirSection) {
  write_config("p", "config T\n option id a\nconfig T\n option id b\nconfig T\n option id c\n");
  out({"set", "p.@T[1].x=1"});   // b
  out({"set", "p.@T[-1].y=1"});  // c
  out({"delete", "p.@T[0]"});    // another writer removes a
  out({"add", "p", "T"});        // and adds a new last one
  out({"commit", "p"});
  EXPECT_EQ(committed("p"),
            "\nconfig T\n\toption id 'b'\n\toption x '1'\n"
            "\nconfig T\n\toption id 'c'\n\toption y '1'\n\nconfig T\n");
}

// A commit killed after installing the new file but before dropping the staged changes must not
// have them applied a second time.
TEST_F(Tool, StagedChangesOfAnOlderFileAreIgnored) {
  out({"add", "sensorlist", "S"});
  std::string staged = read(paths_.staged_file("sensorlist"));
  out({"commit", "sensorlist"});
  std::ofstream(paths_.staged_file("sensorlist")) << staged;
  EXPECT_EQ(out({"show", "sensorlist"}), "sensorlist.@S[0]=S\n");
  out({"commit", "sensorlist"});
  EXPECT_EQ(committed("sensorlist"), "\nconfig S\n");
}

// Only the append to the staged changes is locked, as with the router's tool: changes made
// against a file that a commit replaced meanwhile are dropped without a word, and an add made
// while another process added keeps its own section.
TEST_F(Tool, ChangesMadeAgainstAReplacedFileAreLost) {
  out({"add", "sensorlist", "S"});
  uci::LoadedPackage before;
  ASSERT_TRUE(uci::load_package(paths_, "sensorlist", before).ok());
  out({"commit", "sensorlist"});
  const uci::Change late{uci::ChangeKind::set_option, "#0", "", "a", "1"};
  ASSERT_TRUE(uci::append_staged(paths_, "sensorlist", before.staged.base, {late}).ok());
  EXPECT_EQ(out({"changes", "sensorlist"}), "");
  EXPECT_EQ(uci({"-q", "get", "sensorlist.@S[0].a"}).status, 1);

  uci::LoadedPackage now;
  ASSERT_TRUE(uci::load_package(paths_, "sensorlist", now).ok());
  out({"add", "sensorlist", "T"});  // another process, between this one's read and append
  const uci::Change add{uci::ChangeKind::add, uci::next_added_id(now.staged), "U", "", ""};
  const uci::Change set{uci::ChangeKind::set_option, add.ref, "", "b", "2"};
  ASSERT_TRUE(uci::append_staged(paths_, "sensorlist", now.staged.base, {add, set}).ok());
  EXPECT_EQ(out({"show", "sensorlist"}),
            "sensorlist.@S[0]=S\nsensorlist.@T[0]=T\nsensorlist.@U[0]=U\nsensorlist.@U[0].b='2'\n");
}

// Random damage to a configuration: the parser never crashes, and whatever it accepts it writes
// back in a form that reads back to exactly the same package.
TEST(Fuzz, MutatedConfigurationsParseOrFailCleanly) {
  const std::string seeds[] = {
      "\nconfig gateway 'main'\n\toption register_name 'GW1'\n\tlist l 'a' \n",
      "config X # c\n option a \"q\\\"x\"\n option b 'it'\\''s'\n option c bare\n",
      "package p\nconfig T n\n\toption m 'multi\nline'\n\\\n option z 1\n"};
  const std::string alphabet("'\"\\#\n\t .@[]=-_abcoption config list\0", 36);
  std::mt19937 random(12345);
  for (int round = 0; round < 20000; ++round) {
    std::string text = seeds[random() % 3];
    for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
      std::size_t at = random() % (text.size() + 1);
      switch (random() % 3) {
        case 0: text.insert(at, 1, alphabet[random() % alphabet.size()]); break;
        case 1: if (at < text.size()) text.erase(at, 1 + random() % 8); break;
        default: if (at < text.size()) text[at] = static_cast<char>(random());
      }
    }
    uci::Package package;
    uci::ParseError error;
    if (!uci::parse_config(text, package, error)) {
      EXPECT_GE(error.line, 1u);
      continue;
    }
    std::string canonical = uci::format_config(package);
    uci::Package again;
    ASSERT_TRUE(uci::parse_config(canonical, again, error)) << canonical;
    ASSERT_EQ(uci::format_config(again), canonical);
  }
}

// Random damage to a staged-changes file: every command copes and a commit writes a file that
// parses.
TEST_F(Tool, MutatedStagedChangesNeverDamageTheConfiguration) {
  write_config("p", "config T\n option id a\nconfig T\n option id b\n");
  out({"add", "p", "T"});
  out({"set", "p.@T[-1].v=x\\y\tz"});
  out({"delete", "p.@T[0].id"});
  out({"set", "p.named=U"});
  const std::string staged = read(paths_.staged_file("p"));
  const std::string original = committed("p");
  std::mt19937 random(777);
  for (int round = 0; round < 400; ++round) {
    std::string text = staged;
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
      std::size_t at = random() % text.size();
      if (random() % 2) text[at] = "\t\n$#+-.=x9\\"[random() % 11];
      else text.erase(at, 1 + random() % 5);
    }
    write_config("p", original);
    std::ofstream(paths_.staged_file("p"), std::ios::binary) << text;
    for (const char* command : {"show", "changes"}) EXPECT_LE(uci({command, "p"}).status, 1);
    EXPECT_LE(uci({"get", "p.@T[-1].v"}).status, 1);
    ASSERT_EQ(uci({"commit", "p"}).status, 0);
    uci::Package package;
    uci::ParseError error;
    ASSERT_TRUE(uci::parse_config(committed("p"), package, error)) << text;
  }
}

}  // namespace
