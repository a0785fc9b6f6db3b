/* Firmware-download records, one per sensor and kind, kept in the platform database:
 *   - OAD records: downloads of a sensor's MSP430 firmware;
 *   - upgrade records: downloads of a sensor's radio firmware.
 *
 * Status values: 0, 1, 2 download in progress (1 is written when a download starts or resumes);
 * 3 finished (progress 100 means complete); 4 cancellation requested. Progress is a percentage.
 * A sensor id is 16 hexadecimal digits (any case, stored in upper case); a bad one is refused.
 * Strings handed out are malloc'd and released with the free_* functions below. */
#ifndef GATEWAY_LIB_DOWNLOAD_RECORDS_H
#define GATEWAY_LIB_DOWNLOAD_RECORDS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oad_obj {
    char *sensor;      /* sensor id text */
    char *file;        /* firmware file path */
    int32_t status;
    int32_t progress;
    int32_t reserved;
} oad_obj;

typedef struct upgrade_obj {
    char *sensor;
    char *file;
    int32_t status;
    int32_t progress;
    int32_t reserved[2];
} upgrade_obj;

#ifdef __cplusplus
static_assert(offsetof(oad_obj, status) == 2 * sizeof(char *), "status follows the two strings");
static_assert(offsetof(oad_obj, progress) == offsetof(oad_obj, status) + 4, "progress follows status");
static_assert(offsetof(upgrade_obj, status) == 2 * sizeof(char *), "status follows the two strings");
static_assert(offsetof(upgrade_obj, progress) == offsetof(upgrade_obj, status) + 4, "progress follows status");
#endif

/* Inserts or replaces the sensor's OAD record (a replaced record keeps its place in the list).
 * 0 ok; -1 on a bad id, null file or store failure. */
int set_oad_sensor(const char *sensor_id, const char *file, int status, int progress);
/* 1 when found, with malloc'd strings in record; 0 when not found, for a bad id or a store
 * failure (record untouched). */
int get_oad_sensor(const char *sensor_id, oad_obj *record);
/* 0 ok; -1 when there is no record (or bad id, store failure). */
int update_oad_status(const char *sensor_id, int status);
/* 0 ok, also when there was no record; -1 on a bad id or store failure. */
int delete_oad_sensor(const char *sensor_id);
/* Number of OAD records, oldest first, with *list a malloc'd array of them (NULL when 0);
 * -1 with *list = NULL on a store failure. Release with free_oad_obj(list, count). */
int get_oad_list(oad_obj **list);
/* Frees the array and the strings of its count records; *list = NULL. Null-safe. */
void free_oad_obj(oad_obj **list, int count);
/* Frees the strings of one record and sets them to NULL. Null-safe. */
void free_single_oad_obj(oad_obj *record);

/* The same operations on upgrade records. */
int set_upgrade_sensor(const char *sensor_id, const char *file, int status, int progress);
int get_upgrade_sensor(const char *sensor_id, upgrade_obj *record);
int update_upgrade_status(const char *sensor_id, int status);
int delete_upgrade_sensor(const char *sensor_id);
void free_single_upgrade_obj(upgrade_obj *record);

#ifdef __cplusplus
}
#endif

#endif
