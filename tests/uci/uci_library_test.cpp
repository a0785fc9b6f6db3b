// The configuration library's C API as programs use it: loading a package from chosen folders,
// its tree of sections, options and list values, address lookups and the errors of each call.
// Built against the stand-in and against the router's own library, so both must agree.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <uci.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

class UciLibrary : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/uci_library_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    std::filesystem::create_directory(folder_ + "/config");
    ctx_ = uci_alloc_context();
    ASSERT_NE(ctx_, nullptr);
    ASSERT_EQ(uci_set_confdir(ctx_, (folder_ + "/config").c_str()), UCI_OK);
    ASSERT_EQ(uci_set_savedir(ctx_, (folder_ + "/save").c_str()), UCI_OK);
  }
  void TearDown() override {
    uci_free_context(ctx_);
    std::filesystem::remove_all(folder_);
  }
  void write(const char *package, const char *text) { std::ofstream(folder_ + "/config/" + package) << text; }

  // Looks ADDRESS up; the text the found element holds, "(incomplete)" or "(error N)".
  std::string look_up(const std::string &address) {
    std::vector<char> text(address.begin(), address.end());
    text.push_back('\0');
    uci_ptr ptr{};
    if (int result = uci_lookup_ptr(ctx_, &ptr, text.data(), true); result != UCI_OK) return "(error " + std::to_string(result) + ")";
    if ((ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE) == 0) return "(incomplete)";
    if (ptr.o != nullptr && ptr.o->type == UCI_TYPE_STRING) return ptr.o->v.string;
    if (ptr.o != nullptr) {
      std::string values;
      uci_element *e = nullptr;
      uci_foreach_element(&ptr.o->v.list, e) { values += std::string(values.empty() ? "" : "|") + e->name; }
      return values;
    }
    if (ptr.s != nullptr) return std::string(ptr.s->type) + " " + ptr.section;
    return ptr.p != nullptr ? ptr.p->e.name : "(nothing)";
  }

  std::string folder_;
  uci_context *ctx_ = nullptr;
};

TEST_F(UciLibrary, LoadsTheTreeAndLooksAddressesUp) {
  write("net", "config iface 'lan'\n\toption proto 'static'\n\tlist dns '1.1.1.1'\n\tlist dns '8.8.8.8'\n"
               "config route\n\toption target '10.0.0.0'\nconfig route\n\toption target '10.1.0.0'\n");
  uci_package *p = nullptr;
  ASSERT_EQ(uci_load(ctx_, "net", &p), UCI_OK);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->e.name, "net");
  EXPECT_EQ(uci_lookup_package(ctx_, "net"), p);
  std::vector<std::string> seen;
  uci_element *s = nullptr, *o = nullptr;
  uci_foreach_element(&p->sections, s) {
    uci_section *section = uci_to_section(s);
    EXPECT_EQ(section->package, p);
    uci_foreach_element(&section->options, o) { seen.push_back(std::string(section->type) + "." + o->name); }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"iface.proto", "iface.dns", "route.target", "route.target"}));
  uci_section *lan = uci_lookup_section(ctx_, p, "lan");
  ASSERT_NE(lan, nullptr);
  EXPECT_FALSE(lan->anonymous);
  EXPECT_STREQ(uci_lookup_option_string(ctx_, lan, "proto"), "static");
  EXPECT_EQ(uci_lookup_option_string(ctx_, lan, "dns"), nullptr) << "a list is no string";

  const std::string second = look_up("net.@route[1]");
  ASSERT_EQ(second.substr(0, 9), "route cfg") << "an anonymous section is named as the tool names it";
  EXPECT_EQ(look_up("net." + second.substr(6) + ".target"), "10.1.0.0");
  const struct {
    const char *address, *expected;
  } lookups[] = {
      {"net.lan.proto", "static"},
      {"net.lan.dns", "1.1.1.1|8.8.8.8"},
      {"net.@route[].target", "10.0.0.0"},
      {"net.@route[-1].target", "10.1.0.0"},
      {"net.@[2].target", "10.1.0.0"},
      {"net.@iface[0]", "iface lan"},
      {"net.@route[2]", "(incomplete)"},
      {"net.lan.gateway", "(incomplete)"},
      {"net.wan", "(incomplete)"},
      {"net", "net"},
      {"net.@route[x]", "(error 2)"},   // UCI_ERR_INVAL
      {"net.lan.a.b", "(error 5)"},     // UCI_ERR_PARSE
      {"net.lan.bad-name", "(error 5)"},
      {"missing.x.y", "(error 3)"},     // UCI_ERR_NOTFOUND
  };
  for (const auto &lookup : lookups) EXPECT_EQ(look_up(lookup.address), lookup.expected) << lookup.address;
  char plain[] = "net.@route[1].target";
  uci_ptr ptr{};
  ASSERT_EQ(uci_lookup_ptr(ctx_, &ptr, plain, false), UCI_ERR_INVAL) << "the extended form only when asked for";

  EXPECT_EQ(uci_load(ctx_, "net", &p), UCI_ERR_DUPLICATE);
  EXPECT_EQ(uci_unload(ctx_, uci_lookup_package(ctx_, "net")), UCI_OK);
  EXPECT_EQ(uci_lookup_package(ctx_, "net"), nullptr);
  EXPECT_EQ(uci_load(ctx_, "net", &p), UCI_OK) << "loaded again once unloaded";
}

TEST_F(UciLibrary, SaysWhyAPackageDidNotLoad) {
  write("broken", "config iface 'lan'\n\toption proto 'static\n");
  uci_package *p = reinterpret_cast<uci_package *>(1);
  EXPECT_EQ(uci_load(ctx_, "broken", &p), UCI_ERR_PARSE);
  EXPECT_EQ(ctx_->err, UCI_ERR_PARSE);
  EXPECT_EQ(uci_load(ctx_, "absent", &p), UCI_ERR_NOTFOUND);
  std::filesystem::create_directory(folder_ + "/config/folder");
  ASSERT_EQ(mkfifo((folder_ + "/config/fifo").c_str(), 0600), 0);
  EXPECT_EQ(uci_load(ctx_, "folder", &p), UCI_ERR_NOTFOUND);
  EXPECT_EQ(uci_load(ctx_, "fifo", &p), UCI_ERR_NOTFOUND) << "and does not wait for a writer";
  EXPECT_EQ(uci_lookup_package(ctx_, "broken"), nullptr);
  write("empty", "");
  ASSERT_EQ(uci_load(ctx_, "empty", &p), UCI_OK);
  EXPECT_TRUE(uci_list_empty(&p->sections));
}

}  // namespace
