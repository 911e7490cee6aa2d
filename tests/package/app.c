/* Built against the installed package: the header, the library and its version. */
#include <stdio.h>

#include <zpx/zpx.h>

int main(void) {
    uint32_t status = 99;
    if (ZPX_OpenController(NULL, &status) != NULL || status != ZPX_STATUS_INVALID) return 1;
    if (ZPX_LibraryVersion(NULL) != ZPX_STATUS_NULL_HANDLE) return 1;
    printf("zpx %s, library version %u\n", ZPX_VERSION_STRING, (unsigned)ZPX_LIBRARY_VERSION);
    return 0;
}
