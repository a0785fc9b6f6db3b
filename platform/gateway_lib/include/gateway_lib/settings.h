/* Gateway platform settings: identity, cloud agent name, region and readiness.
 *
 * Values come from the uci package "gateway", section "main" (type "gateway"), read with
 * "uci -q get gateway.main.<option>" at every call, so a forked process never works from a
 * value cached before the fork (the cloud agent name is the one exception, see below). */
#ifndef GATEWAY_LIB_SETTINGS_H
#define GATEWAY_LIB_SETTINGS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Manufacturing record: only the region code is filled in. */
typedef struct mp_info_record {
    uint8_t reserved[180];
    int32_t region;
} mp_info_record;

/* System settings record: cloud_ready is non-zero when the cloud agent is known to be ready. */
typedef struct system_settings_record {
    int32_t version;     /* record layout version, set to 1 */
    int32_t cloud_ready;
    int32_t reserved[14];
} system_settings_record;

/* Option register_name into a 24-byte buffer, cut to 23 characters and terminated.
 * 0 ok; -1 when unset or empty (the buffer then holds ""). */
int get_register_name(char *gateway_id);

/* Option cloud_ubus_name. On success *name points to a string owned by the library that stays
 * valid for the rest of the process's life, also if the option changes later (a changed value
 * gives a new string; earlier ones stay valid). 0 ok; -1 unset or empty (*name untouched). */
int get_cloud_ubus_name(char **name);

/* record: an mp_info_record. 1 with record->region = option region (decimal, may be negative);
 * 0 when the option is unset or not a 32-bit decimal number (record untouched). */
int get_mp_info(void *record);

/* record: a system_settings_record. 1 with version = 1 and cloud_ready = option cloud_ready
 * (0 when absent or not a number); 0 when the configuration tool cannot be run. */
int get_system_settings(void *record);

/* Appends "<local time %Y-%m-%d %H:%M:%S> <module> <code>\n" to /tmp/common_log with a single
 * write, so lines of concurrent processes never interleave. Control characters of module are
 * replaced with '?'. 0 ok; -1 on a null or empty module or a failed write. */
int add_common_log(const char *module, int code);

#ifdef __cplusplus
}
#endif

#endif
