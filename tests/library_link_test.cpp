// Loads the shared library through its libzpx.so link and checks that the status registers of a
// controller whose driver cannot keep them land in "KVCtrl.dat" beside ZPX.so, the file the
// link points at, and are read back from there at the next open.
//
// The ISA back-end sends nothing to its device while opening and closing, so a plain file at the
// device path is enough to open "ISA0,5120". Creating it needs root; elsewhere the test skips.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "zpx/zpx.h"

namespace {

constexpr const char* kDevice = "/dev/isa5120";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int Fail(const std::string& why) {
    std::printf("library_link_test: FAIL: %s\n", why.c_str());
    unlink(kDevice);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Fail("usage: library_link_test BUILD_DIR");
    const std::string dir = argv[1];
    if (geteuid() != 0 || access(kDevice, F_OK) == 0) {
        std::printf("library_link_test: skipped (needs root and a free %s)\n", kDevice);
        return 0;
    }
    const std::string statusFile = dir + "/KVCtrl.dat";
    {
        std::ofstream out(statusFile);
        out << "[Other]\nRegister1=7\n\n[isa0,5120]\nRegister1=255\nRegister2=3\n";
    }
    { std::ofstream device(kDevice); }

    void* lib = dlopen((dir + "/libzpx.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return Fail(dlerror());
    auto open = reinterpret_cast<decltype(&ZPX_OpenController)>(dlsym(lib, "ZPX_OpenController"));
    auto close =
        reinterpret_cast<decltype(&ZPX_CloseController)>(dlsym(lib, "ZPX_CloseController"));
    auto clearError = reinterpret_cast<decltype(&ZPX_ClearError)>(dlsym(lib, "ZPX_ClearError"));
    if (open == nullptr || close == nullptr || clearError == nullptr) return Fail("missing export");

    uint32_t status = 99;
    ZPX_Handle h = open("ISA0,5120", &status);
    if (h == nullptr) return Fail("open ISA0,5120 gave " + std::to_string(status));
    // The device cannot carry the write, but the session's copy changes all the same and is what
    // the status file keeps: 255 with bits 0..3 cleared.
    if (clearError(h, 0x0F) != ZPX_STATUS_INVALID) return Fail("ClearError on a plain file");
    close(h);

    const std::string text = ReadFile(statusFile);
    if (text.find("Register1=240") == std::string::npos ||
        text.find("Register2=3") == std::string::npos ||
        text.find("[Other]\nRegister1=7") == std::string::npos) {
        return Fail("status file now reads:\n" + text);
    }
    dlclose(lib);
    unlink(kDevice);
    unlink(statusFile.c_str());
    unlink((statusFile + ".lock").c_str());
    std::printf("library_link_test: passed\n");
    return 0;
}
