#include "emulator/linux/tcmu_abi.h"

#include <string.h>
#include <sys/uio.h>

/* <linux/uio.h> would define struct iovec a second time. */
#define __LINUX_UIO_H
#include <linux/target_core_user.h>

int kfs_tcmu_takes_read_len(const void* map) {
    return (((const struct tcmu_mailbox*)map)->flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN) != 0;
}

uint32_t kfs_tcmu_head(const void* map) {
    return __atomic_load_n(&((const struct tcmu_mailbox*)map)->cmd_head, __ATOMIC_ACQUIRE);
}

uint32_t kfs_tcmu_tail(const void* map) {
    return ((const struct tcmu_mailbox*)map)->cmd_tail;
}

void kfs_tcmu_set_tail(void* map, uint32_t tail) {
    struct tcmu_mailbox* mb = map;
    __atomic_store_n(&mb->cmd_tail, tail % mb->cmdr_size, __ATOMIC_RELEASE);
}

void* kfs_tcmu_entry(void* map, uint32_t tail, uint32_t* length, int* is_command) {
    struct tcmu_mailbox* mb = map;
    struct tcmu_cmd_entry* entry = (void*)((char*)map + mb->cmdr_off + tail);
    *length = tcmu_hdr_get_len(entry->hdr.len_op);
    *is_command = tcmu_hdr_get_op(entry->hdr.len_op) == TCMU_OP_CMD;
    return entry;
}

const uint8_t* kfs_tcmu_cdb(void* map, const void* entry) {
    return (const uint8_t*)map + ((const struct tcmu_cmd_entry*)entry)->req.cdb_off;
}

uint32_t kfs_tcmu_area_count(const void* entry) {
    return ((const struct tcmu_cmd_entry*)entry)->req.iov_cnt;
}

uint8_t* kfs_tcmu_area(void* map, const void* entry, uint32_t index, size_t* length) {
    const struct tcmu_cmd_entry* e = entry;
    struct iovec area;
    memcpy(&area, (const char*)e->req.iov + index * sizeof area, sizeof area);
    *length = area.iov_len;
    /* An area's base is its offset in the mapping. */
    return (uint8_t*)map + (uintptr_t)area.iov_base;
}

void kfs_tcmu_complete(void* entry, uint8_t status, const uint8_t* sense, size_t sense_length,
                       int short_read, uint32_t read_length) {
    struct tcmu_cmd_entry* e = entry;
    memset(&e->rsp, 0, sizeof e->rsp);
    e->rsp.scsi_status = status;
    if (sense_length > TCMU_SENSE_BUFFERSIZE)
        sense_length = TCMU_SENSE_BUFFERSIZE;
    if (sense_length > 0)
        memcpy(e->rsp.sense_buffer, sense, sense_length);
    if (short_read) {
        e->hdr.uflags |= TCMU_UFLAG_READ_LEN;
        e->rsp.read_len = read_length;
    }
}
