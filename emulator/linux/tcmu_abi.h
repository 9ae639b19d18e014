#pragma once
// Access to the TCM-user mailbox and command entries. The kernel header's inline helpers are
// C, not C++ (they return an enum from an integer), so the structures are read in C here.
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int kfs_tcmu_takes_read_len(const void* map);
uint32_t kfs_tcmu_head(const void* map);
uint32_t kfs_tcmu_tail(const void* map);
void kfs_tcmu_set_tail(void* map, uint32_t tail);
// The entry at `tail`: its length in the ring, and whether it is a command (else padding or a
// task management note, which need no answer).
void* kfs_tcmu_entry(void* map, uint32_t tail, uint32_t* length, int* is_command);
const uint8_t* kfs_tcmu_cdb(void* map, const void* entry);
uint32_t kfs_tcmu_area_count(const void* entry);
uint8_t* kfs_tcmu_area(void* map, const void* entry, uint32_t index, size_t* length);
// Writes the response over the request (take the CDB and the areas first).
void kfs_tcmu_complete(void* entry, uint8_t status, const uint8_t* sense, size_t sense_length,
                       int short_read, uint32_t read_length);

#ifdef __cplusplus
}
#endif
