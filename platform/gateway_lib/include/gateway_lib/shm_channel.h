/* Named shared-memory channels: each channel is one file in /dev/shm holding the last content
 * published under its name.
 *
 * Names: 1 to 64 characters from A-Z, a-z, 0-9, '_' and '-' (a sensor id, or a sensor id and
 * "_meta"); any other name is refused. A write builds the new content in a private temporary
 * file and renames it over the channel, so a reader sees either the old or the new content
 * whole, never a mix. Read-then-clean takes the channel away with one rename, so of several
 * concurrent cleaners exactly one gets the content. No call ever waits for another process.
 * The timeout argument (always 10 at the callers) is accepted and not used: nothing blocks. */
#ifndef GATEWAY_LIB_SHM_CHANNEL_H
#define GATEWAY_LIB_SHM_CHANNEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Publishes size bytes of data under name, replacing the previous content (size 0 publishes an
 * empty content, which readers see as empty). 0 ok; -1 on a bad name, size < 0, null data with
 * size > 0, or a system failure (the previous content then stays). */
int share_memory_write_noneblock(const char *name, const void *data, int size, int timeout);

/* A malloc'd copy of the current content and *size its length; NULL and *size 0 when the
 * channel is empty, absent or the name is bad. The caller frees the copy with free(). */
void *share_memory_read_noneblock(const char *name, int32_t *size, int timeout);

/* As share_memory_read_noneblock, and the channel is emptied in the same step. */
void *share_memory_read_then_clean_noneblock(const char *name, int32_t *size, int timeout);

#ifdef __cplusplus
}
#endif

#endif
