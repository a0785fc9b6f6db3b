/* Persistent per-channel alarm flags, kept in the platform database so they survive restarts.
 *
 * A flag is keyed by (sensor id, channel name, channel type code):
 *   - the sensor id is 16 hexadecimal digits, compared without regard to case;
 *   - the channel name is the bytes of entry->name up to its first zero byte, at most 17 bytes
 *     (a name that fills all 17 bytes without a terminator is taken as those 17 bytes);
 *   - the type code is entry->type.
 * The unit is not part of the key: a channel that only changes its unit keeps its flag. */
#ifndef GATEWAY_LIB_ALARM_FLAGS_H
#define GATEWAY_LIB_ALARM_FLAGS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One channel description as the sensor announced it (23 bytes, no padding). */
typedef struct channel_entry {
    char name[17];   /* normally 16 characters and a terminating zero; not trusted to be terminated */
    uint8_t type;    /* type code */
    char unit[5];    /* 4 characters and a terminating zero */
} channel_entry;

#ifdef __cplusplus
static_assert(sizeof(channel_entry) == 23, "channel_entry is 23 bytes");
static_assert(offsetof(channel_entry, type) == 17, "type follows the name");
static_assert(offsetof(channel_entry, unit) == 18, "unit follows the type");
#else
_Static_assert(sizeof(channel_entry) == 23, "channel_entry is 23 bytes");
#endif

/* The stored flag; 0 when none is stored, for a bad id or a null entry. */
int get_error_flag(const char *sensor_id, const channel_entry *entry);

/* Stores flag (0 forgets the flag). 0 ok; -1 on a bad id, null entry or store failure. */
int set_error_flag(const char *sensor_id, const channel_entry *entry, int flag);

/* Forgets every flag of the sensor. 0 ok (also when it had none); -1 on a bad id or failure. */
int delete_error_flag(const char *sensor_id);

#ifdef __cplusplus
}
#endif

#endif
