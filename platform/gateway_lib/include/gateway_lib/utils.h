/* Small helpers: files, hexadecimal digits, device names, version texts, and sensor facts read
 * from the uci package "sensorlist". */
#ifndef GATEWAY_LIB_UTILS_H
#define GATEWAY_LIB_UTILS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when path exists (following symbolic links), 0 otherwise or for a null path. */
int isFileExisted(const char *path);

/* '0'-'9', 'a'-'f', 'A'-'F' -> 0..15; any other character gives 0. */
int hex_to_dec(char c);

/* 1 when all len bytes of text are printable ASCII (0x20..0x7E); 0 when len <= 0, text is null
 * or any byte is outside that range. */
int check_ascii(const char *text, int len);

/* The first line of a regular file into buf: the line end ("\n" or "\r\n", or a lone "\r" at the
 * end of the file) removed, at most size-1 bytes kept, terminated. An empty file gives "".
 * 0 ok; -1 when the file cannot be read or is not a regular file (buf then "" when size > 0). */
int get_path_value(const char *path, int size, char *buf);

/* Compares count decimal numbers separated by separator, left to right. Non-zero when version is
 * greater than or equal to threshold; 0 when it is smaller or when either text is malformed:
 * not exactly count numbers, a number empty or with anything but digits, a number above
 * 4294967295, an empty or null separator, or count <= 0. */
int above_checking_ver(const char *version, const char *threshold, const char *separator, int count);

/* Run command_template (exactly one %s conversion, e.g. "uci get sensorlist.@%s[0].ModelName")
 * with the sensor id through the shell, stderr discarded, and keep the first output line without
 * its line end in buf (at most size-1 bytes, terminated; "" when the command prints nothing).
 * 0 ok (also when nothing was printed); -1 when refused or when the command cannot be started
 * (buf "" when size > 0). Refused, running nothing: a sensor id that is not exactly 16
 * hexadecimal digits, a template with anything but one %s conversion, a null buf or size <= 0. */
int GetSensorModelName(const char *sensor_id, char *buf, const char *command_template, int size);
int GetCurrentSensorVer(const char *sensor_id, char *buf, const char *command_template, int size);

/* *out = malloc'd copy of the sensor's ShortAddress in sensorlist, which must be exactly 4
 * hexadecimal digits (e.g. "0003"). 0 ok; -1 and *out = NULL when there is none, it is malformed
 * or the sensor id is bad. */
int GetShortAddrStr(const char *sensor_id, char **out);

/* The sensor's ShortAddress as a number; 0 when none, malformed or for a bad id. */
uint16_t GetSensorShortAddr(const char *sensor_id);

#ifdef __cplusplus
}
#endif

#endif
