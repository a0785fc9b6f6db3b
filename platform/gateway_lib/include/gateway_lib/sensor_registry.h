/* Per-sensor registry kept in the platform database (/etc/config/gateway_platform.sqlite).
 *
 * A sensor id is 16 hexadecimal digits; anything else is refused and never stored. Ids are
 * stored in upper case, so "00124b..." and "00124B..." name the same sensor. Every call opens
 * its own connection, so the functions are safe in forked processes and threads. */
#ifndef GATEWAY_LIB_SENSOR_REGISTRY_H
#define GATEWAY_LIB_SENSOR_REGISTRY_H

#ifdef __cplusplus
extern "C" {
#endif

/* Non-zero when the sensor is registered; 0 when not, or for a bad id. */
int is_sensor_registered(const char *sensor_id);

/* Marks the sensor active now (Unix time). *sensor_id is the id text. 0 ok; -1 on a bad id or a
 * store failure. Works for registered and unregistered sensors alike. */
int update_sensor_active_time(char **sensor_id);

/* The sensor's dead band, 0 when none is set (also for a bad id). */
int get_deadband_threshold(const char *sensor_id);

/* Used by the simulated cloud agent and tests. All return 0 ok, -1 on a bad id or store failure. */
int register_sensor(const char *sensor_id);
/* Forgets the sensor entirely (registration, active time, dead band); 0 also when unknown. */
int unregister_sensor(const char *sensor_id);
int set_deadband_threshold(const char *sensor_id, int value);
/* Unix time of the last update_sensor_active_time; 0 when never marked; -1 on a bad id or failure.
 * long long: a 32-bit long would wrap in 2038. */
long long get_sensor_active_time(const char *sensor_id);

#ifdef __cplusplus
}
#endif

#endif
