/* The configuration library: reads a package as the uci tool sees it (the committed file under the
 * configuration folder with the staged changes of the save folder applied) into a tree of
 * elements, and looks up "package.section.option" addresses in it. The part of the router's C API
 * that programs here read with; changes still go through the uci tool.
 *
 * A context holds the packages loaded through it until they are unloaded or the context is freed.
 * It is used from one thread at a time. Lookups and loads through one context agree with what
 * `uci get` prints for the same folders at the moment of the load. */
#ifndef VORN_PLATFORM_UCI_H
#define VORN_PLATFORM_UCI_H

#ifdef __cplusplus
extern "C" {
#endif

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#define UCI_CONFDIR "/etc/config"
#define UCI_SAVEDIR "/tmp/.uci"

/* Return values of the calls, kept in the context's err as well. */
enum {
  UCI_OK = 0,
  UCI_ERR_MEM,
  UCI_ERR_INVAL,
  UCI_ERR_NOTFOUND,
  UCI_ERR_IO,
  UCI_ERR_PARSE,
  UCI_ERR_DUPLICATE,
  UCI_ERR_UNKNOWN,
  UCI_ERR_LAST
};

/* Circular doubly linked list; the node lives inside the listed element. */
struct uci_list {
  struct uci_list *next;
  struct uci_list *prev;
};

enum uci_type {
  UCI_TYPE_UNSPEC = 0,
  UCI_TYPE_DELTA = 1,
  UCI_TYPE_PACKAGE = 2,
  UCI_TYPE_SECTION = 3,
  UCI_TYPE_OPTION = 4,
  UCI_TYPE_PATH = 5,
  UCI_TYPE_BACKEND = 6,
  UCI_TYPE_ITEM = 7,
  UCI_TYPE_HOOK = 8,
};

enum uci_option_type {
  UCI_TYPE_STRING = 0,
  UCI_TYPE_LIST = 1,
};

enum uci_flags {
  UCI_FLAG_STRICT = (1 << 0),
  UCI_FLAG_PERROR = (1 << 1),
  UCI_FLAG_EXPORT_NAME = (1 << 2),
  UCI_FLAG_SAVED_DELTA = (1 << 3),
};

/* What packages, sections, options and list items have in common: their place in their parent's
 * list, their kind and their name (a list item's name is its value). */
struct uci_element {
  struct uci_list list;
  enum uci_type type;
  char *name;
};

struct uci_context {
  struct uci_list root; /* the packages loaded */
  enum uci_flags flags;
  char *confdir;
  char *savedir;
  int err; /* the last call's result */
};

struct uci_package {
  struct uci_element e;
  struct uci_list sections;
  struct uci_context *ctx;
  bool has_delta;
  char *path;
  /* private: */
  void *priv;
};

/* An anonymous section's name is the generated one `uci show` gives it ("cfg" and six hex
 * digits). */
struct uci_section {
  struct uci_element e;
  struct uci_list options;
  struct uci_package *package;
  bool anonymous;
  char *type;
};

struct uci_option {
  struct uci_element e;
  struct uci_section *section;
  enum uci_option_type type;
  union {
    struct uci_list list; /* of elements whose names are the values */
    char *string;
  } v;
};

/* A parsed and looked-up address "package[.section[.option]][=value]". */
struct uci_ptr {
  enum uci_type target;
  enum {
    UCI_LOOKUP_DONE = (1 << 0),
    UCI_LOOKUP_COMPLETE = (1 << 1), /* every part of the address was found */
    UCI_LOOKUP_EXTENDED = (1 << 2), /* the section is written "@type[index]" */
  } flags;

  struct uci_package *p;
  struct uci_section *s;
  struct uci_option *o;
  struct uci_element *last;

  const char *package;
  const char *section;
  const char *option;
  const char *value;
};

/* A new context reading UCI_CONFDIR and UCI_SAVEDIR; NULL without memory. */
struct uci_context *uci_alloc_context(void);

/* Frees the context and every package loaded through it. */
void uci_free_context(struct uci_context *ctx);

/* Other configuration and save folders for the loads that follow. */
int uci_set_confdir(struct uci_context *ctx, const char *dir);
int uci_set_savedir(struct uci_context *ctx, const char *dir);

/* Loads the package NAME into the context: UCI_ERR_NOTFOUND when it has no configuration file,
 * UCI_ERR_PARSE when the file is malformed, UCI_ERR_IO when it cannot be read, UCI_ERR_DUPLICATE
 * when the context holds a package of that name already. */
int uci_load(struct uci_context *ctx, const char *name, struct uci_package **package);

/* Frees a loaded package and takes it out of the context. */
int uci_unload(struct uci_context *ctx, struct uci_package *p);

/* Splits STR (changed in place: PTR's texts point into it) and looks the address up, loading its
 * package when the context does not hold it yet. With EXTENDED a section may be written
 * "@type[index]" ("@type[]" is the first, a negative index counts from the end, "@[index]"
 * counts sections of any type); PTR's section then names the section found. The result is
 * UCI_OK also when the section or the option is missing: then UCI_LOOKUP_COMPLETE is not set. A
 * package that cannot be loaded gives uci_load's error, a malformed address UCI_ERR_PARSE (a
 * malformed "@" section UCI_ERR_INVAL). */
int uci_lookup_ptr(struct uci_context *ctx, struct uci_ptr *ptr, char *str, bool extended);

/* The element called NAME in LIST, or UCI_ERR_NOTFOUND. */
int uci_lookup_next(struct uci_context *ctx, struct uci_element **e, struct uci_list *list, const char *name);

#ifndef container_of
#define container_of(ptr, type, member) ((type *)((char *)(ptr)-offsetof(type, member)))
#endif

#define list_to_element(ptr) container_of(ptr, struct uci_element, list)

/* for (each element of a list): uci_foreach_element(&package->sections, e) { ... } */
#define uci_foreach_element(_list, _ptr) \
  for (_ptr = list_to_element((_list)->next); &_ptr->list != (_list); _ptr = list_to_element(_ptr->list.next))

/* The same, where the body may free the element it is on. */
#define uci_foreach_element_safe(_list, _tmp, _ptr)                                       \
  for (_ptr = list_to_element((_list)->next), _tmp = list_to_element(_ptr->list.next); \
       &_ptr->list != (_list); _ptr = _tmp, _tmp = list_to_element(_ptr->list.next))

#define uci_list_empty(list) ((list)->next == (list))

#define uci_to_package(ptr) container_of(ptr, struct uci_package, e)
#define uci_to_section(ptr) container_of(ptr, struct uci_section, e)
#define uci_to_option(ptr) container_of(ptr, struct uci_option, e)

static inline struct uci_package *uci_lookup_package(struct uci_context *ctx, const char *name) {
  struct uci_element *e = NULL;
  return uci_lookup_next(ctx, &e, &ctx->root, name) == UCI_OK ? uci_to_package(e) : NULL;
}

static inline struct uci_section *uci_lookup_section(struct uci_context *ctx, struct uci_package *p,
                                                     const char *name) {
  struct uci_element *e = NULL;
  return uci_lookup_next(ctx, &e, &p->sections, name) == UCI_OK ? uci_to_section(e) : NULL;
}

static inline struct uci_option *uci_lookup_option(struct uci_context *ctx, struct uci_section *s,
                                                   const char *name) {
  struct uci_element *e = NULL;
  return uci_lookup_next(ctx, &e, &s->options, name) == UCI_OK ? uci_to_option(e) : NULL;
}

/* A plain option's value; NULL for a list or a missing option. */
static inline const char *uci_lookup_option_string(struct uci_context *ctx, struct uci_section *s,
                                                   const char *name) {
  struct uci_option *o = uci_lookup_option(ctx, s, name);
  return o != NULL && o->type == UCI_TYPE_STRING ? o->v.string : NULL;
}

#ifdef __cplusplus
}
#endif

#endif
