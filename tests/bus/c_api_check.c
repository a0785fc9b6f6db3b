/* Compiled as C: the public headers, their macros and initialisers must work from C code. */
#include <string.h>

#include <libubox/blobmsg_json.h>
#include <libubox/uloop.h>
#include <libubus.h>

static int handler(struct ubus_context *ctx, struct ubus_object *obj, struct ubus_request_data *req,
                   const char *method, struct blob_attr *msg) {
  (void)ctx;
  (void)obj;
  (void)req;
  (void)method;
  (void)msg;
  return UBUS_STATUS_OK;
}

static const struct blobmsg_policy policy[] = {
    {.name = "id", .type = BLOBMSG_TYPE_STRING},
};
static const struct ubus_method methods[] = {
    UBUS_METHOD("m", handler, policy),
    UBUS_METHOD_NOARG("n", handler),
};
static struct ubus_object_type type = UBUS_OBJECT_TYPE("t", methods);
static struct ubus_object object = {
    .name = "c.object",
    .type = &type,
    .methods = methods,
    .n_methods = ARRAY_SIZE(methods),
};
static struct uloop_timeout timer = {.cb = NULL};

int c_api_builds_message(struct blob_buf *buf) {
  const char *text = "vorn_mgr";
  struct blob_attr *cur;
  int rem;
  int fields = 0;
  void *t, *a;

  if (blobmsg_add_field(buf, BLOBMSG_TYPE_STRING, "id", text, strlen(text) + 1) != 0) return -1;
  blobmsg_add_u32(buf, "n", 3);
  t = blobmsg_open_table(buf, "t");
  a = blobmsg_open_array(buf, "a");
  blobmsg_add_u8(buf, NULL, 1);
  blobmsg_close_array(buf, a);
  blobmsg_close_table(buf, t);
  blob_for_each_attr(cur, buf->head, rem) fields++;
  if (fields != 3 || object.n_methods != 2 || timer.pending) return -1;
  return 0;
}
