// Building blocks shared by the blob and blobmsg writers.
#pragma once

extern "C" {
#include <libubox/blob.h>
}

namespace ubox_detail {

void set_raw_len(blob_attr *attr, unsigned int len);
void init_attr(blob_attr *attr, unsigned int id, unsigned int raw_len, bool extended);
// Appends a zeroed attribute with `payload` bytes to the open container; NULL when it cannot grow.
blob_attr *append(blob_buf *buf, unsigned int id, unsigned int payload, bool extended);
// Takes back the attribute just appended.
void drop_last(blob_buf *buf, blob_attr *attr);
// Appends a container attribute with `payload` bytes of its own and makes it the open container.
void *nest_start(blob_buf *buf, unsigned int id, bool extended, unsigned int payload);
void nest_end(blob_buf *buf, void *cookie);

}  // namespace ubox_detail
