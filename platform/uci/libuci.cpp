// The configuration library's C API over the uci tool's own core: a package is loaded exactly as
// the tool loads it (load_package) and addresses are resolved by the same rules (resolve), so a
// lookup and `uci get` agree; the core's package is then laid out as the tree of elements that
// programs walk.
#include <uci.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "address.h"
#include "package_store.h"

namespace {

void list_init(uci_list* list) { list->next = list->prev = list; }

void list_append(uci_list* head, uci_list* node) {
  node->prev = head->prev;
  node->next = head;
  head->prev->next = node;
  head->prev = node;
}

void list_remove(uci_list* node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
  list_init(node);
}

// The element tree's texts point into the core's package (names, values, types) or into the
// section nodes (generated names): both stay where they are until the package is unloaded.
char* text_of(std::string& text) { return text.data(); }

struct SectionNode {
  uci_section section{};
  char generated_name[32];  // an anonymous section's
};

// Everything one loaded package owns, in a few blocks allocated at once; uci_package's priv points
// to it.
struct PackageStore {
  uci_package package{};
  std::string name;
  std::string path;
  uci::Package view;
  std::vector<SectionNode> sections;  // in the view's order
  std::vector<uci_option> options;
  std::vector<uci_element> items;  // the values of lists
};

PackageStore* store_of(uci_package* package) { return static_cast<PackageStore*>(package->priv); }

int finish(uci_context* ctx, int result) {
  if (ctx != nullptr) ctx->err = result;
  return result;
}

void build_option(PackageStore& store, uci_section& section, uci::Option& option) {
  uci_option& o = store.options.emplace_back();
  o.e.type = UCI_TYPE_OPTION;
  o.e.name = text_of(option.name);
  o.section = &section;
  if (option.is_list) {
    o.type = UCI_TYPE_LIST;
    list_init(&o.v.list);
    for (std::string& value : option.values) {
      uci_element& item = store.items.emplace_back();
      item.type = UCI_TYPE_ITEM;
      item.name = text_of(value);
      list_append(&o.v.list, &item.list);
    }
  } else {
    o.type = UCI_TYPE_STRING;
    o.v.string = text_of(option.values.front());
  }
  list_append(&section.options, &o.e.list);
}

void build_tree(PackageStore& store) {
  std::size_t options = 0, items = 0;
  for (const uci::Section& section : store.view.sections) {
    options += section.options.size();
    for (const uci::Option& option : section.options) items += option.is_list ? option.values.size() : 0;
  }
  // Reserved whole, so that no node moves while the lists link them.
  store.sections.reserve(store.view.sections.size());
  store.options.reserve(options);
  store.items.reserve(items);
  uci_package& p = store.package;
  p.e.type = UCI_TYPE_PACKAGE;
  p.e.name = text_of(store.name);
  p.path = text_of(store.path);
  p.has_delta = true;
  p.priv = &store;
  list_init(&p.sections);
  for (std::size_t i = 0; i < store.view.sections.size(); ++i) {
    uci::Section& section = store.view.sections[i];
    SectionNode& node = store.sections.emplace_back();
    uci_section& s = node.section;
    s.anonymous = section.anonymous();
    if (s.anonymous) {
      std::snprintf(node.generated_name, sizeof node.generated_name, "%s", uci::generated_name(store.view, i).c_str());
      s.e.name = node.generated_name;
    } else {
      s.e.name = text_of(section.name);
    }
    s.e.type = UCI_TYPE_SECTION;
    s.package = &p;
    s.type = text_of(section.type);
    list_init(&s.options);
    for (uci::Option& option : section.options) build_option(store, s, option);
    list_append(&p.sections, &s.e.list);
  }
}

uci_element* find_in(uci_list* list, const char* name) {
  uci_element* e = nullptr;
  uci_foreach_element(list, e) {
    if (std::strcmp(e->name, name) == 0) return e;
  }
  return nullptr;
}

int load(uci_context* ctx, const char* name, uci_package** package) {
  if (package != nullptr) *package = nullptr;
  if (name == nullptr || !uci::valid_package_name(name)) return UCI_ERR_INVAL;
  if (find_in(&ctx->root, name) != nullptr) return UCI_ERR_DUPLICATE;
  const uci::Paths paths{ctx->confdir, ctx->savedir};
  uci::LoadedPackage loaded;
  switch (uci::load_package(paths, name, loaded).status) {
    case uci::Status::ok: break;
    case uci::Status::not_found: return UCI_ERR_NOTFOUND;
    case uci::Status::parse_error: return UCI_ERR_PARSE;
    case uci::Status::io_error: return UCI_ERR_IO;
  }
  auto store = std::make_unique<PackageStore>();
  store->name = name;
  store->path = paths.config_file(name);
  store->view = std::move(loaded.view);
  build_tree(*store);
  store->package.ctx = ctx;
  uci_package* loaded_package = &store.release()->package;
  list_append(&ctx->root, &loaded_package->e.list);
  if (package != nullptr) *package = loaded_package;
  return UCI_OK;
}

bool valid_text(const char* text) {
  for (const char* c = text; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte < 32 && byte != '\t' && byte != '\n' && byte != '\r') return false;
  }
  return true;
}

// Splits "package[.section[.option]][=value]" in place, as the router's library does: a section
// that is no plain name asks for the extended lookup.
int split_address(uci_ptr* ptr, char* str) {
  *ptr = uci_ptr{};
  if (char* equals = std::strchr(str, '=')) {
    *equals = '\0';
    ptr->value = equals + 1;
  }
  char* rest = str;
  ptr->package = strsep(&rest, ".");
  ptr->target = UCI_TYPE_PACKAGE;
  if ((ptr->section = strsep(&rest, ".")) != nullptr) ptr->target = UCI_TYPE_SECTION;
  if (ptr->section != nullptr && (ptr->option = strsep(&rest, ".")) != nullptr) ptr->target = UCI_TYPE_OPTION;
  const bool malformed = rest != nullptr || !uci::valid_package_name(ptr->package) ||
                         (ptr->option != nullptr && !uci::valid_name(ptr->option)) ||
                         (ptr->value != nullptr && !valid_text(ptr->value));
  if (malformed) {
    *ptr = uci_ptr{};
    return UCI_ERR_PARSE;
  }
  if (ptr->section != nullptr && !uci::valid_name(ptr->section)) ptr->flags = uci_ptr::UCI_LOOKUP_EXTENDED;
  return UCI_OK;
}

// The section the address names, by the tool's own rules; nullptr when there is none.
uci_section* find_section(uci_package* package, const uci::SectionRef& ref) {
  PackageStore& store = *store_of(package);
  const std::size_t index = uci::resolve(store.view, ref);
  return index == uci::npos ? nullptr : &store.sections[index].section;
}

int lookup(uci_context* ctx, uci_ptr* ptr, char* str, bool extended) {
  if (str != nullptr) {
    if (int result = split_address(ptr, str); result != UCI_OK) return result;
  }
  ptr->flags = static_cast<decltype(ptr->flags)>(ptr->flags | uci_ptr::UCI_LOOKUP_DONE);
  if (ptr->p == nullptr) {
    if (uci_element* e = find_in(&ctx->root, ptr->package)) {
      ptr->p = uci_to_package(e);
    } else if (int result = load(ctx, ptr->package, &ptr->p); result != UCI_OK) {
      return result;
    }
  }
  ptr->last = &ptr->p->e;
  if (ptr->section == nullptr && ptr->s == nullptr) {
    ptr->flags = static_cast<decltype(ptr->flags)>(ptr->flags | uci_ptr::UCI_LOOKUP_COMPLETE);
    return UCI_OK;
  }
  if (ptr->s == nullptr) {
    uci::SectionRef ref;
    if ((ptr->flags & uci_ptr::UCI_LOOKUP_EXTENDED) != 0) {
      if (!extended || !uci::parse_section_ref(ptr->section, ref) || !ref.by_type) {
        *ptr = uci_ptr{};
        return UCI_ERR_INVAL;
      }
    } else {
      ref.text = ptr->section;
    }
    ptr->s = find_section(ptr->p, ref);
    if (ptr->s == nullptr) return UCI_OK;
    ptr->section = ptr->s->e.name;
  }
  ptr->last = &ptr->s->e;
  if (ptr->option != nullptr) {
    uci_element* e = find_in(&ptr->s->options, ptr->option);
    if (e == nullptr) return UCI_OK;
    ptr->o = uci_to_option(e);
    ptr->last = e;
  }
  ptr->flags = static_cast<decltype(ptr->flags)>(ptr->flags | uci_ptr::UCI_LOOKUP_COMPLETE);
  return UCI_OK;
}

int set_folder(uci_context* ctx, char** folder, const char* dir) {
  if (dir == nullptr || dir[0] == '\0') return finish(ctx, UCI_ERR_INVAL);
  char* copy = strdup(dir);
  if (copy == nullptr) return finish(ctx, UCI_ERR_MEM);
  std::free(*folder);
  *folder = copy;
  return finish(ctx, UCI_OK);
}

}  // namespace

extern "C" {

uci_context* uci_alloc_context(void) {
  auto* ctx = static_cast<uci_context*>(std::calloc(1, sizeof(uci_context)));
  if (ctx == nullptr) return nullptr;
  list_init(&ctx->root);
  ctx->flags = static_cast<uci_flags>(UCI_FLAG_STRICT | UCI_FLAG_SAVED_DELTA);
  ctx->confdir = strdup(UCI_CONFDIR);
  ctx->savedir = strdup(UCI_SAVEDIR);
  if (ctx->confdir == nullptr || ctx->savedir == nullptr) {
    uci_free_context(ctx);
    return nullptr;
  }
  return ctx;
}

void uci_free_context(uci_context* ctx) {
  if (ctx == nullptr) return;
  uci_element *e = nullptr, *next = nullptr;
  uci_foreach_element_safe(&ctx->root, next, e) { uci_unload(ctx, uci_to_package(e)); }
  std::free(ctx->confdir);
  std::free(ctx->savedir);
  std::free(ctx);
}

int uci_set_confdir(uci_context* ctx, const char* dir) {
  return ctx == nullptr ? UCI_ERR_INVAL : set_folder(ctx, &ctx->confdir, dir);
}

int uci_set_savedir(uci_context* ctx, const char* dir) {
  return ctx == nullptr ? UCI_ERR_INVAL : set_folder(ctx, &ctx->savedir, dir);
}

int uci_load(uci_context* ctx, const char* name, uci_package** package) {
  if (ctx == nullptr) return UCI_ERR_INVAL;
  try {
    return finish(ctx, load(ctx, name, package));
  } catch (const std::bad_alloc&) {
    return finish(ctx, UCI_ERR_MEM);
  }
}

int uci_unload(uci_context* ctx, uci_package* p) {
  if (ctx == nullptr) return UCI_ERR_INVAL;
  if (p == nullptr || p->ctx != ctx) return finish(ctx, UCI_ERR_INVAL);
  list_remove(&p->e.list);
  delete store_of(p);
  return finish(ctx, UCI_OK);
}

int uci_lookup_ptr(uci_context* ctx, uci_ptr* ptr, char* str, bool extended) {
  if (ctx == nullptr || ptr == nullptr) return finish(ctx, UCI_ERR_INVAL);
  try {
    return finish(ctx, lookup(ctx, ptr, str, extended));
  } catch (const std::bad_alloc&) {
    return finish(ctx, UCI_ERR_MEM);
  }
}

int uci_lookup_next(uci_context* ctx, uci_element** e, uci_list* list, const char* name) {
  if (ctx == nullptr || e == nullptr || list == nullptr || name == nullptr) return finish(ctx, UCI_ERR_INVAL);
  *e = find_in(list, name);
  return finish(ctx, *e != nullptr ? UCI_OK : UCI_ERR_NOTFOUND);
}

}  // extern "C"
