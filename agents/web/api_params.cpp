#include "api_params.h"

#include <cctype>
#include <cstring>

namespace web {

std::optional<std::string> sensor_id_param(const char *text) {
  if (text == nullptr || std::strlen(text) != 16) return std::nullopt;
  std::string id(text);
  for (char &c : id) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return id;
}

std::optional<int> channel_param(const char *text) {
  const std::size_t length = text == nullptr ? 0 : std::strlen(text);
  if (length == 0 || length > 2) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  if (value >= kMaxChannels) return std::nullopt;
  return value;
}

std::optional<std::string> base64_decode(const std::string &text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    unsigned bits = 0;
    int padding = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      unsigned sextet = 0;
      if (c == '=' && i + 4 == text.size() && j >= 2) {
        ++padding;
      } else {
        const std::size_t at = alphabet.find(c);
        if (at == std::string::npos || padding > 0) return std::nullopt;
        sextet = static_cast<unsigned>(at);
      }
      bits = bits << 6 | sextet;
    }
    out += static_cast<char>(bits >> 16 & 0xFF);
    if (padding < 2) out += static_cast<char>(bits >> 8 & 0xFF);
    if (padding < 1) out += static_cast<char>(bits & 0xFF);
  }
  return out;
}

bool basic_auth_matches(const char *header, const std::string &user, const std::string &password) {
  constexpr const char *kScheme = "Basic ";
  if (header == nullptr || std::strncmp(header, kScheme, std::strlen(kScheme)) != 0) return false;
  const auto given = base64_decode(header + std::strlen(kScheme));
  const std::string wanted = user + ":" + password;
  if (!given) return false;
  unsigned difference = given->size() != wanted.size();
  for (std::size_t i = 0; i < wanted.size(); ++i)
    difference |= static_cast<unsigned char>(wanted[i]) ^ static_cast<unsigned char>(i < given->size() ? (*given)[i] : 0);
  return difference == 0;
}

}  // namespace web
