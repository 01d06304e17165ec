#include "errors.hpp"

namespace morvel {

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char ch : text) {
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (ch < 0x20 || ch == 0x7f) {
          static const char* hex = "0123456789abcdef";
          out += "\\u{";
          if (ch >= 16) out += hex[ch >> 4];
          out += hex[ch & 15];
          out += "}";
        } else {
          out += static_cast<char>(ch);
        }
    }
  }
  return out + "\"";
}

}  // namespace morvel
