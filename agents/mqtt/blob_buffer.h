// A bus message buffer released when it goes out of scope.
#pragma once

extern "C" {
#include <libubox/blobmsg.h>
}

namespace mqtt_agent {

struct BlobBuffer {
  BlobBuffer() { blob_buf_init(&buffer, 0); }
  ~BlobBuffer() { blob_buf_free(&buffer); }
  BlobBuffer(const BlobBuffer &) = delete;
  BlobBuffer &operator=(const BlobBuffer &) = delete;
  blob_buf buffer{};
};

}  // namespace mqtt_agent
