/*
 * Request interface between the zpx library and the Linux kernel drivers of the controllers.
 *
 * A controller's driver exposes a character device, /dev/<name in lower case> (for example
 * /dev/usb51x4ex_0), that one client opens at a time; a second open is refused with EBUSY.
 * Every request is one ioctl(fd, ZPX_IOCTL_REQUEST, &request) with the record below. The driver
 * returns 0 when it carried the request out and -1 with errno set when it refused or failed it.
 * All multi-byte fields inside the buffers are little-endian.
 */
#ifndef ZPX_DRIVER_ABI_H
#define ZPX_DRIVER_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct zpx_driver_request {
    uint32_t code;       /* request code, e.g. 0x9C406404 (see the list below) */
    uint32_t in_length;  /* bytes at in_buffer (0 when none) */
    uint32_t out_length; /* room at out_buffer (0 when none) */
    uint32_t returned;   /* set by the driver: bytes written to out_buffer */
    uint64_t in_buffer;  /* user address of the input, or 0 */
    uint64_t out_buffer; /* user address of the output, or 0 */
};

/* _IOWR('Z', 0x40, struct zpx_driver_request), spelled out so that no kernel header is needed. */
#define ZPX_IOCTL_REQUEST 0xC0205A40u

/* Request codes: (0x9C40 << 16) | (1 << 14) | (function << 2). */
#define ZPX_REQ_SET_ADDRESS 0x9C406400u      /* in 8 (select, value) / out none */
#define ZPX_REQ_REGISTER_READ 0x9C406404u    /* in 8 (register, 0) / out 8 (register, value) */
#define ZPX_REQ_REGISTER_WRITE 0x9C406408u   /* in 8 (register, value) / out 8 */
#define ZPX_REQ_WRITE_IMM_ADDR 0x9C40640Cu   /* in 4 (value) / out none */
#define ZPX_REQ_READ_IMM_ADDR 0x9C406410u    /* in 4 / out 4 (value) */
#define ZPX_REQ_MEMORY_WRITE 0x9C406418u     /* in count + 16 (select, 0, count, data, 4) / none */
#define ZPX_REQ_MEMORY_READ 0x9C40641Cu      /* in count + 16 / out count + 16, data at 12 */
#define ZPX_REQ_POD_SENSE 0x9C406424u        /* in 4 (0) / out 4 */
#define ZPX_REQ_COUNTER_WRITE 0x9C406430u    /* in 8 (counter, value) / out 8 */
#define ZPX_REQ_COUNTER_READ 0x9C406434u     /* in 8 (counter, 0) / out 8, value at 4 */
#define ZPX_REQ_STATUS_REGISTERS 0x9C40643Cu /* in 8 (0) / out 8 (register 1, register 2) */
#define ZPX_REQ_CONFIG_WRITE 0x9C406440u     /* in 12 (configuration packet or image header) */
#define ZPX_REQ_CONFIG_READ 0x9C406444u      /* in 12 / out 12, or out 12 alone */
#define ZPX_REQ_IMAGE_PIECE 0x9C406448u      /* in piece + 16 (0, 0, length, bytes, 4) */
#define ZPX_REQ_DRIVER_ID 0x9C406478u        /* in 4 (0) / out 4: id in the upper 16 bits */

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(struct zpx_driver_request) == 32, "zpx_driver_request is 32 bytes");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(struct zpx_driver_request) == 32, "zpx_driver_request is 32 bytes");
#else /* C99: an array of negative size stops the compiler instead */
typedef char zpx_driver_request_is_32_bytes[sizeof(struct zpx_driver_request) == 32 ? 1 : -1];
#endif

#endif /* ZPX_DRIVER_ABI_H */
