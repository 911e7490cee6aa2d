/* The public header compiles as C, and its records keep their layout there too. */
#include <stdio.h>

#include "zpx/driver_abi.h"
#include "zpx/zpx.h"

int main(void) {
    uint32_t status = 99;
    ZPX_Handle h = ZPX_OpenController(NULL, &status);
    if (h != NULL || status != ZPX_STATUS_INVALID) {
        printf("open(NULL) gave %u\n", (unsigned)status);
        return 1;
    }
    if (ZPX_LibraryVersion(NULL) != ZPX_STATUS_NULL_HANDLE) return 1;
    if (sizeof(ZPX_DeviceInfo) != 72 || sizeof(struct zpx_driver_request) != 32) return 1;
    if (sizeof(ZPX_ControllerInfoRecord) != 280 || sizeof(ZPX_InfoQuery) != 92 ||
        sizeof(ZPX_TapVoltageRequest) != 36) {
        return 1;
    }
    /* A C caller's null record pointer and null query get their codes, not a crash. */
    if (ZPX_GetControllerInfo(NULL, NULL) != ZPX_STATUS_NULL_HANDLE) return 1;
    if (ZPX_ResetController(NULL) != ZPX_STATUS_NULL_HANDLE) return 1;
    printf("C header test passed\n");
    return 0;
}
