/* Middleware store: the cloud's view of each sensor's channels, in a SQLite database (the
 * gateway uses /etc/config/cloud.sqlite). The database and its schema are created when missing.
 *
 * Table "SensorMeasurement", one row per channel of a sensor, in the order the cloud added them:
 *   SensorID      TEXT     sensor id (16 hexadecimal digits)
 *   ChannelIndex  INTEGER  0-based position of the channel in the sensor's list
 *   Channel       TEXT     channel name
 *   Type          TEXT     channel type text (as the units map names it)
 *   Unit          TEXT     unit text
 *
 * A handle holds no open database connection: each query opens and closes its own, so a
 * handle may be used in any process. */
#ifndef GATEWAY_LIB_MIDDLEWARE_H
#define GATEWAY_LIB_MIDDLEWARE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Value type codes of data_field. Only text is supported. */
#define MIDDLEWARE_TYPE_TEXT 6

typedef struct data_field {
    char *column;
    char *value;
    int32_t type;
} data_field;

/* A list of column = value conditions; a cleared (all-zero) entry is empty. */
typedef struct data_entry {
    data_field *fields;
    int32_t count;
} data_entry;

typedef struct middleware_column {
    char *name;
    char *value;
} middleware_column;

typedef struct middleware_row {
    middleware_column *columns;
    int32_t count;
} middleware_row;

typedef struct middleware_entry {
    int32_t row_count;
    int32_t column_count;
    middleware_row *rows;
} middleware_entry;

/* mode 1: every row of table whose columns equal every field of where (a null or empty where
 * matches all rows), in insertion order. Each result row holds every column of the table as
 * name/value texts (NULL values as ""). 0 ok; -1 on an unknown table or column, another mode,
 * a null handle or result, or a database failure (the result is then empty). */
typedef int (*middleware_query_fn)(void *db, const char *table, const data_entry *where, int mode,
                                   middleware_entry *result);

typedef struct middleware_obj {
    void *db;
    middleware_query_fn query;
} middleware_obj;

/* Appends the condition column = value to entry. Only type 6 (text) is accepted.
 * Non-zero on success; 0 on null arguments, another type or no memory (entry unchanged). */
int init_data_entry(data_entry *entry, const char *column, const char *value, int type);
/* Frees the conditions; the entry is then empty. Null-safe. */
void free_data_entry(data_entry *entry);

/* Opens (creating when missing) the store at path and fills obj. 0 ok; -1 on failure (obj cleared). */
int create_middleware_obj(middleware_obj *obj, const char *path);
/* Frees the rows of a query result; the result is then empty. Null-safe. */
void free_middleware_entry(middleware_entry *result);
/* Releases the handle and clears obj. Null-safe. */
void destory_middleware_obj(middleware_obj *obj);

/* For the simulated cloud agent and tests. Both return 0 ok, -1 on bad arguments (sensor id not
 * 16 hexadecimal digits, null texts) or a database failure. */
/* Appends a channel to the sensor's list (ChannelIndex = the sensor's channel count so far). */
int middleware_add_channel(const char *path, const char *sensor_id, const char *channel, const char *type,
                           const char *unit);
/* Removes every channel row of the sensor (0 also when it had none). */
int middleware_clear_sensor(const char *path, const char *sensor_id);

#ifdef __cplusplus
}
#endif

#endif
