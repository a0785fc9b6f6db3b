// Headless chromium driven through its DevTools protocol on a pipe (--remote-debugging-pipe):
// commands go to the browser's descriptor 3 and answers come from its descriptor 4, each message
// one JSON text ended by a zero byte. Each page (tab) is reached through a session of its own;
// the page the browser opened with is the one used when no tab is named.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/json_doc.h"

namespace web::test {

using namespace agents;

// A page of the browser: its target and the session the protocol reaches it through.
struct Tab {
  std::string target, session;
};

class Browser {
 public:
  // Opens `url` in a window of width x height; the browser's own output goes to `log`.
  Browser(const std::string &url, int width, int height, const std::string &profile, const std::string &log) {
    int commands[2], answers[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0) return;
    std::fflush(stdout);
    pid_ = fork();
    if (pid_ == 0) {
      // Descriptors 3 and 4 are the protocol's; move the pipe ends there without clobbering.
      const int in = fcntl(commands[0], F_DUPFD, 10), out = fcntl(answers[1], F_DUPFD, 10);
      dup2(in, 3);
      dup2(out, 4);
      const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(output, 1);
      dup2(output, 2);
      const std::string size = "--window-size=" + std::to_string(width) + "," + std::to_string(height);
      const std::string data = "--user-data-dir=" + profile;
      setenv("HOME", profile.c_str(), 1);
      // Pages not in front keep their timers: a page's retries must not wait for the test to look.
      execlp("chromium", "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
             "--disable-backgrounding-occluded-windows", "--remote-debugging-pipe", size.c_str(), data.c_str(),
             url.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(commands[0]);
    close(answers[1]);
    to_ = commands[1];
    from_ = answers[0];
  }
  ~Browser() {
    if (pid_ > 0 && !first_.session.empty()) call("Browser.close", "{}", "");
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
    if (pid_ <= 0) return;
    for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(100000);
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Browser(const Browser &) = delete;
  Browser &operator=(const Browser &) = delete;

  // Attaches to the page the browser opened with; false when it did not start or shows no page.
  bool attach() {
    for (int attempt = 0; attempt < 100 && first_.session.empty(); ++attempt) {
      const Json targets = call("Target.getTargets", "{}", "");
      json_object *infos = member(member(targets.get(), "result"), "targetInfos");
      for (std::size_t i = 0; infos != nullptr && i < json_object_array_length(infos); ++i) {
        json_object *info = json_object_array_get_idx(infos, i);
        if (string_member(info, "type") != "page") continue;
        first_ = attach_to(string_member(info, "targetId"));
        break;
      }
      if (first_.session.empty()) usleep(100000);
    }
    return !first_.session.empty();
  }

  // The page the browser opened with.
  const Tab &first() const { return first_; }

  // Opens `url` in a window of its own (a visible page, like a tab in front); a tab without a
  // session when the browser did not open it.
  Tab open_tab(const std::string &url, int width, int height) {
    const Json url_text(json_object_new_string(url.c_str()));
    const Json created = call("Target.createTarget",
                              "{\"url\":" + json_text(url_text.get()) + ",\"newWindow\":true,\"width\":" +
                                  std::to_string(width) + ",\"height\":" + std::to_string(height) + "}",
                              "");
    const std::string target = string_member(member(created.get(), "result"), "targetId");
    return target.empty() ? Tab{} : attach_to(target);
  }

  // Closes a tab as a user closing it would: its page and its connections end.
  bool close_tab(const Tab &tab) {
    const Json closed = call("Target.closeTarget", R"({"targetId":")" + tab.target + "\"}", "");
    return closed != nullptr && member(closed.get(), "error") == nullptr;
  }

  // The value of a JavaScript expression in a page, as JSON text ("" on failure).
  std::string evaluate(const std::string &expression) { return evaluate(first_, expression); }
  std::string evaluate(const Tab &tab, const std::string &expression) {
    const Json expression_text(json_object_new_string(expression.c_str()));
    const Json answer = call("Runtime.evaluate",
                             R"({"returnByValue":true,"expression":)" + json_text(expression_text.get()) + "}", tab.session);
    json_object *value = member(member(member(answer.get(), "result"), "result"), "value");
    return value != nullptr ? json_text(value) : "";
  }

  // Resizes the first page's window (phone-sized or not).
  bool resize(int width, int height, bool mobile) {
    return call("Emulation.setDeviceMetricsOverride",
                "{\"width\":" + std::to_string(width) + ",\"height\":" + std::to_string(height) +
                    ",\"deviceScaleFactor\":1,\"mobile\":" + (mobile ? "true" : "false") + "}",
                first_.session) != nullptr;
  }

  // Writes a PNG of the first page as it is now; false when the browser gave none.
  bool screenshot(const std::string &path) {
    const Json answer = call("Page.captureScreenshot", R"({"format":"png","captureBeyondViewport":true})", first_.session);
    const std::string data = string_member(member(answer.get(), "result"), "data");
    std::string png;
    if (data.empty() || !decode_base64(data, png)) return false;
    std::ofstream(path, std::ios::binary) << png;
    return true;
  }

 private:
  Tab attach_to(const std::string &target) {
    const Json attached = call("Target.attachToTarget", R"({"targetId":")" + target + R"(","flatten":true})", "");
    return Tab{target, string_member(member(attached.get(), "result"), "sessionId")};
  }

  // Sends a command (to a page's session, or to the browser when `session` is empty) and waits
  // for its answer; null when none came.
  Json call(const std::string &method, const std::string &params, const std::string &session) {
    if (to_ < 0) return nullptr;
    const int id = ++last_id_;
    std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params +
                          (session.empty() ? "" : ",\"sessionId\":\"" + session + "\"") + "}";
    message.push_back('\0');
    for (std::size_t done = 0; done < message.size();) {
      const ssize_t wrote = write(to_, message.data() + done, message.size() - done);
      if (wrote <= 0) return nullptr;
      done += static_cast<std::size_t>(wrote);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      for (std::size_t end; (end = buffer_.find('\0')) != std::string::npos;) {
        Json answer = parse_json(buffer_.substr(0, end));
        buffer_.erase(0, end + 1);
        if (int_member(answer.get(), "id", -1) == id) return answer;  // other messages are the browser's events
      }
      pollfd ready{from_, POLLIN, 0};
      if (poll(&ready, 1, 1000) <= 0) continue;
      char chunk[65536];
      const ssize_t got = read(from_, chunk, sizeof chunk);
      if (got <= 0) return nullptr;
      buffer_.append(chunk, static_cast<std::size_t>(got));
    }
    return nullptr;
  }

  static bool decode_base64(const std::string &text, std::string &out) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
      if (c == '=') break;
      const std::size_t at = alphabet.find(c);
      if (at == std::string::npos) return false;
      bits = bits << 6 | static_cast<unsigned>(at);
      if ((count += 6) >= 8) out += static_cast<char>(bits >> (count -= 8) & 0xFF);
    }
    return true;
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1, last_id_ = 0;
  std::string buffer_;
  Tab first_;
};

}  // namespace web::test
