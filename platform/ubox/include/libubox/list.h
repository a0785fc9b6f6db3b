/* Intrusive doubly linked list: the node lives inside the listed structure, so adding and
 * removing never allocates (the event loop relies on that to stay usable from signal handlers). */
#ifndef LIBUBOX_LIST_H
#define LIBUBOX_LIST_H

#include <stdbool.h>
#include <stddef.h>

#include <libubox/utils.h>

struct list_head {
  struct list_head *next;
  struct list_head *prev;
};

#define LIST_HEAD_INIT(name) \
  { &(name), &(name) }
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

static inline void INIT_LIST_HEAD(struct list_head *list) {
  list->next = list;
  list->prev = list;
}

static inline bool list_empty(const struct list_head *head) { return head->next == head; }

static inline void list__insert(struct list_head *node, struct list_head *prev,
                                struct list_head *next) {
  node->next = next;
  node->prev = prev;
  prev->next = node;
  next->prev = node;
}

/* Inserts node right after head. */
static inline void list_add(struct list_head *node, struct list_head *head) {
  list__insert(node, head, head->next);
}

/* Inserts node right before head, i.e. at the end of the list. */
static inline void list_add_tail(struct list_head *node, struct list_head *head) {
  list__insert(node, head->prev, head);
}

static inline void list_del(struct list_head *entry) {
  entry->prev->next = entry->next;
  entry->next->prev = entry->prev;
  entry->next = entry->prev = NULL;
}

static inline void list_del_init(struct list_head *entry) {
  entry->prev->next = entry->next;
  entry->next->prev = entry->prev;
  INIT_LIST_HEAD(entry);
}

#define list_entry(ptr, type, field) container_of(ptr, type, field)
#define list_first_entry(head, type, field) list_entry((head)->next, type, field)

#define list_for_each(p, head) for (p = (head)->next; p != (head); p = p->next)
#define list_for_each_safe(p, n, head) \
  for (p = (head)->next, n = p->next; p != (head); p = n, n = p->next)

#define list_for_each_entry(p, head, field)                                    \
  for (p = list_first_entry(head, __typeof__(*p), field); &p->field != (head); \
       p = list_entry(p->field.next, __typeof__(*p), field))

#endif
