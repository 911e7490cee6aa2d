/* A program that uses ZPX.so as test programs do, for the runs under the sanitizers.
 *
 * Built twice from this file:
 *   use_library_linked NAME...              linked against the library: a short test run on
 *                                           each controller, then it exits with the first
 *                                           session still open and a second thread still
 *                                           calling into the library, as careless programs do;
 *   use_library_dlopen LIBRARY ROUNDS NAME...  loads the library with dlopen (LoadLibrary on
 *                                           Windows), runs the same on
 *                                           each controller, closes them, unloads it, ROUNDS
 *                                           times in one process; then loads it once more and
 *                                           exits with it loaded and a session open.
 * It exits 0 when every call answered as expected; the sanitizers' reports (at exit included)
 * are what the script around it looks for. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zpx/zpx.h"

#if defined(ZPX_USE_DLOPEN) && defined(_WIN32)
#include <windows.h>
#elif defined(ZPX_USE_DLOPEN)
#include <dlfcn.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

/* The exports used, reached directly or through dlsym. */
#define ZPX_EXPORTS(X)         \
    X(ZPX_OpenController)      \
    X(ZPX_CloseController)     \
    X(ZPX_SetCtrlFrequency)    \
    X(ZPX_WriteCtrlMemory)     \
    X(ZPX_ReadCtrlMemory)      \
    X(ZPX_GetControllerStatus) \
    X(ZPX_CreateDeviceInfo)    \
    X(ZPX_DestroyDeviceInfo) X(ZPX_GetControllerInfo) X(ZPX_ControllerSerialNumberPeek)

struct Api {
#define FIELD(name) __typeof__(&name) name;
    ZPX_EXPORTS(FIELD)
#undef FIELD
};

enum { kBlock = 4096 };

static int Fail(const char* name, const char* what, uint32_t status) {
    fprintf(stderr, "%s: %s gave %u\n", name, what, (unsigned)status);
    return 1;
}

/* Opens NAME and runs a short test run on it; the handle stays open. */
static int Use(const struct Api* api, const char* name, ZPX_Handle* handle) {
    uint32_t status = 99;
    ZPX_Handle h = api->ZPX_OpenController(name, &status);
    if (h == NULL) return Fail(name, "open", status);
    *handle = h;
    if ((status = api->ZPX_SetCtrlFrequency(h, 0, 10000)) != 0) return Fail(name, "clock", status);
    uint8_t out[kBlock], back[kBlock];
    for (int i = 0; i < kBlock; ++i)
        out[i] = (uint8_t)(i * 7 + 3);
    if ((status = api->ZPX_WriteCtrlMemory(h, 1, 0, kBlock, out)) != 0) {
        return Fail(name, "write", status);
    }
    if ((status = api->ZPX_ReadCtrlMemory(h, 1, 0, kBlock, back)) != 0) {
        return Fail(name, "read", status);
    }
    if (memcmp(out, back, kBlock) != 0) return Fail(name, "read back", 0);
    uint32_t running = 0;
    if ((status = api->ZPX_GetControllerStatus(h, &running)) != 0) {
        return Fail(name, "status", status);
    }
    ZPX_DeviceInfo* info = api->ZPX_CreateDeviceInfo(h, &status);
    if (info == NULL) return Fail(name, "device information", status);
    if ((status = api->ZPX_DestroyDeviceInfo(h, info)) != 0) return Fail(name, "destroy", status);
    /* The information record belongs to the session and goes with it. */
    ZPX_ControllerInfoRecord* record = NULL;
    if ((status = api->ZPX_GetControllerInfo(h, &record)) != 0 || record == NULL) {
        return Fail(name, "information record", status);
    }
    /* A peek by name (nothing is recorded for the 5120 family: it may fail, never crash). */
    uint32_t first = 0, second = 0;
    char working[64];
    snprintf(working, sizeof working, "%s", name);
    char* comma = strrchr(working, ',');
    if (comma != NULL) *comma = '\0';
    (void)api->ZPX_ControllerSerialNumberPeek(working, &first, &second);
    return 0;
}

#ifdef ZPX_USE_DLOPEN

#ifdef _WIN32
typedef HMODULE Library;
static Library OpenLibrary(const char* path) {
    return LoadLibraryA(path);
}
static void* Find(Library library, const char* name) {
    /* A function's address as a plain pointer, as dlsym gives it. */
    FARPROC entry = GetProcAddress(library, name);
    void* address = NULL;
    memcpy(&address, &entry, sizeof address);
    return address;
}
static int CloseLibrary(Library library) {
    return FreeLibrary(library) ? 0 : 1;
}
static const char* LastError(void) {
    return "the system refused";
}
#else
typedef void* Library;
static Library OpenLibrary(const char* path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
static void* Find(Library library, const char* name) {
    return dlsym(library, name);
}
static int CloseLibrary(Library library) {
    return dlclose(library);
}
static const char* LastError(void) {
    return dlerror();
}
#endif

/* Loads the library and finds the exports; null when it cannot. */
static Library Load(const char* path, struct Api* api) {
    Library library = OpenLibrary(path);
    if (library == NULL) {
        fprintf(stderr, "loading %s: %s\n", path, LastError());
        return NULL;
    }
#define LOOK_UP(name)                                     \
    *(void**)(&api->name) = Find(library, #name);         \
    if (api->name == NULL) {                              \
        fprintf(stderr, "no %s in the library\n", #name); \
        return NULL;                                      \
    }
    ZPX_EXPORTS(LOOK_UP)
#undef LOOK_UP
    return library;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s LIBRARY ROUNDS NAME...\n", argv[0]);
        return 2;
    }
    const int rounds = atoi(argv[2]);
    struct Api api;
    for (int round = 0; round < rounds; ++round) {
        Library library = Load(argv[1], &api);
        if (library == NULL) return 1;
        for (int i = 3; i < argc; ++i) {
            ZPX_Handle h = NULL;
            const int failed = Use(&api, argv[i], &h);
            if (h != NULL && api.ZPX_CloseController(h) != 0) return Fail(argv[i], "close", 1);
            if (failed) return 1;
        }
        if (CloseLibrary(library) != 0) {
            fprintf(stderr, "unloading: %s\n", LastError());
            return 1;
        }
    }
    /* Loaded once more and left loaded, with a session open, as an interpreter that loaded it
     * through its foreign-function module leaves it: the library is unloaded by the exit, after
     * the exit handlers registered since the program started have run. */
    if (Load(argv[1], &api) == NULL) return 1;
    ZPX_Handle h = NULL;
    if (Use(&api, argv[3], &h) != 0) return 1;
    printf("%d rounds of load, use and unload, then an exit with the library loaded\n", rounds);
    return 0;
}

#else

static const struct Api kLinked = {
#define DIRECT(name) name,
    ZPX_EXPORTS(DIRECT)
#undef DIRECT
};

/* Calls into the library until the process is gone: exit does not wait for it. */
static void* KeepCalling(void* handle) {
    for (;;) {
        uint32_t running = 0;
        (void)ZPX_GetControllerStatus((ZPX_Handle)handle, &running);
        (void)ZPX_LibraryVersion((ZPX_Handle)handle);
    }
    return NULL;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s NAME...\n", argv[0]);
        return 2;
    }
    /* The first controller's session stays open, and another thread keeps calling on it while
     * the process exits: the library's unload work runs with the thread still inside. (Give a
     * controller served from another process first: a driver library loaded into this one may
     * have its own objects torn down by the exit under the thread.) */
    ZPX_Handle kept = NULL;
    for (int i = 1; i < argc; ++i) {
        ZPX_Handle h = NULL;
        if (Use(&kLinked, argv[i], &h) != 0) return 1;
        if (kept == NULL) {
            kept = h;
        } else if (ZPX_CloseController(h) != 0) {
            return Fail(argv[i], "close", 1);
        }
    }
    pthread_t thread;
    if (pthread_create(&thread, NULL, KeepCalling, kept) != 0) return Fail("thread", "start", 1);
    usleep(20000);
    printf("used %d controllers; exiting with one open and a thread inside\n", argc - 1);
    fflush(stdout);
    exit(0);
}

#endif
