#include "address.h"

namespace uci {
namespace {

// "@type[N]" or "@type[]" into REF; no type counts sections of every type.
bool parse_typed_section(std::string_view text, SectionRef& ref) {
  auto open = text.find('[');
  if (text.size() < 3 || text.front() != '@' || open == std::string_view::npos ||
      text.back() != ']')
    return false;
  std::string_view type = text.substr(1, open - 1);
  std::string_view index = text.substr(open + 1, text.size() - open - 2);
  if (!type.empty() && !valid_name(type)) return false;
  bool negative = !index.empty() && index.front() == '-';
  if (negative) index.remove_prefix(1);
  if (negative && index.empty()) return false;
  if (index.size() > 9) return false;  // far beyond any real count, and no overflow
  long value = 0;
  for (char c : index) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  ref.by_type = true;
  ref.text = std::string(type);
  ref.index = negative ? -value : value;
  return true;
}

}  // namespace

bool parse_section_ref(std::string_view text, SectionRef& ref) {
  ref = SectionRef{};
  if (!text.empty() && text.front() == '@') return parse_typed_section(text, ref);
  if (!valid_name(text)) return false;
  ref.text = std::string(text);
  return true;
}

bool parse_address(std::string_view arg, bool allow_value, Address& address) {
  address = Address{};
  auto equals = arg.find('=');
  if (equals != std::string_view::npos) {
    if (!allow_value) return false;
    address.value = std::string(arg.substr(equals + 1));
    arg = arg.substr(0, equals);
  }
  auto first_dot = arg.find('.');
  address.package = std::string(arg.substr(0, first_dot));
  if (!valid_package_name(address.package)) return false;
  if (first_dot == std::string_view::npos) return true;

  std::string_view rest = arg.substr(first_dot + 1);
  auto second_dot = rest.find('.');
  SectionRef ref;
  if (!parse_section_ref(rest.substr(0, second_dot), ref)) return false;
  address.section = std::move(ref);
  if (second_dot == std::string_view::npos) return true;

  std::string_view option = rest.substr(second_dot + 1);
  if (!valid_name(option)) return false;  // also refuses a fourth part
  address.option = std::string(option);
  return true;
}

}  // namespace uci
