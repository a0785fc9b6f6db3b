// blobmsg fields to JSON text. The input is checked as a whole before anything is formatted, so
// the writer below may trust every length it reads.
extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

class JsonWriter {
 public:
  JsonWriter(blobmsg_json_format_t cb, void *priv, int indent)
      : cb_(cb), priv_(priv), indent_(indent) {}

  void list(const blob_attr *attr, bool array, int depth) {
    out_ += array ? '[' : '{';
    bool first = true;
    blob_attr *pos;
    unsigned int rem;
    blobmsg_for_each_attr(pos, attr, rem) {
      if (!first) out_ += ',';
      first = false;
      newline(depth + 1);
      if (!array) {
        string(blobmsg_name(pos));
        out_ += indent_ >= 0 ? ": " : ":";
      }
      value(pos, depth + 1);
    }
    if (!first) newline(depth);
    out_ += array ? ']' : '}';
  }

  void value(blob_attr *attr, int depth) {
    if (cb_) {
      if (const char *text = cb_(priv_, attr)) {
        out_ += text;
        return;
      }
    }
    switch (blobmsg_type(attr)) {
      case BLOBMSG_TYPE_TABLE:
        list(attr, false, depth);
        break;
      case BLOBMSG_TYPE_ARRAY:
        list(attr, true, depth);
        break;
      case BLOBMSG_TYPE_STRING:
        string(blobmsg_get_string(attr));
        break;
      case BLOBMSG_TYPE_INT8:
        out_ += blobmsg_get_bool(attr) ? "true" : "false";
        break;
      case BLOBMSG_TYPE_INT16:
        number(static_cast<int16_t>(blobmsg_get_u16(attr)));
        break;
      case BLOBMSG_TYPE_INT32:
        number(static_cast<int32_t>(blobmsg_get_u32(attr)));
        break;
      case BLOBMSG_TYPE_INT64:
        number(static_cast<int64_t>(blobmsg_get_u64(attr)));
        break;
      case BLOBMSG_TYPE_DOUBLE:
        real(blobmsg_get_double(attr));
        break;
      default:
        out_ += "null";
        break;
    }
  }

  std::string &text() { return out_; }

 private:
  void newline(int depth) {
    if (indent_ < 0) return;
    out_ += '\n';
    out_.append(static_cast<size_t>(indent_ + depth), '\t');
  }

  void number(int64_t v) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%" PRId64, v);
    out_ += buf;
  }

  // Six decimals, as the router's library writes them ("1.500000"; small values come out as
  // "0.000000"). It writes NaN and infinities as "nan" and "inf", which no JSON reader takes:
  // here they are null.
  void real(double v) {
    if (!std::isfinite(v)) {
      out_ += "null";
      return;
    }
    char buf[320];  // the largest double has 309 digits before the point
    snprintf(buf, sizeof(buf), "%f", v);
    out_ += buf;
  }

  void string(const char *s) {
    out_ += '"';
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
      switch (*p) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        case '\b':
          out_ += "\\b";
          break;
        case '\f':
          out_ += "\\f";
          break;
        default:
          if (*p < 0x20) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", *p);
            out_ += esc;
          } else {
            out_ += static_cast<char>(*p);
          }
      }
    }
    out_ += '"';
  }

  blobmsg_json_format_t cb_;
  void *priv_;
  int indent_;
  std::string out_;
};

}  // namespace

char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list, blobmsg_json_format_t cb,
                                  void *priv, int indent) {
  if (!attr) return nullptr;
  if (list ? blobmsg_check_array(attr, BLOBMSG_TYPE_UNSPEC) < 0 : !blobmsg_check_attr(attr, false))
    return nullptr;
  try {
    JsonWriter writer(cb, priv, indent);
    if (list) {
      const bool array = blob_is_extended(attr) && blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY;
      writer.list(attr, array, 0);
    } else {
      writer.value(attr, 0);
    }
    return strdup(writer.text().c_str());
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
