// Checks of what a request brings: every API parameter and header value passes one of these
// before it is used.
#pragma once

#include <optional>
#include <string>

namespace web {

constexpr int kMaxChannels = 10;

// A sensor id: exactly 16 hexadecimal digits; returned in upper case.
std::optional<std::string> sensor_id_param(const char *text);

// A channel number: one or two decimal digits, 0..kMaxChannels-1.
std::optional<int> channel_param(const char *text);

// Standard base64 (with padding) to bytes; nothing on any other character or a bad length.
std::optional<std::string> base64_decode(const std::string &text);

// True when an "Authorization" header value is "Basic <base64 of user:password>" for exactly
// these credentials. The comparison takes the same time wherever the texts differ.
bool basic_auth_matches(const char *header, const std::string &user, const std::string &password);

}  // namespace web
