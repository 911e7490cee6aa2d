// Profile files rewritten atomically under a file lock, and the library's own path.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "core/immortal.h"
#include "platform/platform.h"
#include "platform/profile_text.h"

namespace zpx::platform {

namespace {

bool ReadWholeFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

class LinuxFiles final : public Files {
  public:
    std::string ReadProfileValue(const std::string& file, const std::string& section,
                                 const std::string& key, const std::string& fallback) override {
        std::string text;
        if (!ReadWholeFile(file, &text)) return fallback;
        auto value = ProfileLookup(text, section, key);
        return value ? *value : fallback;
    }

    bool WriteProfileValue(const std::string& file, const std::string& section,
                           const std::string& key, const std::string& value) override {
        // Writers serialise on a lock file beside the profile and replace the profile by
        // rename, so readers see the old or the new text, never a half-written one, and no
        // writer loses another's key.
        const std::string lockPath = file + ".lock";
        const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lockFd < 0) return false;
        while (::flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
        }
        std::string text;
        (void)ReadWholeFile(file, &text);  // a missing file starts empty
        const std::string updated = ProfileUpdate(text, section, key, value);
        const std::string tempPath = file + ".tmp." + std::to_string(::getpid());
        bool ok = false;
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ok = WriteAll(fd, updated) && ::fsync(fd) == 0;
            ok = (::close(fd) == 0) && ok;
            ok = ok && ::rename(tempPath.c_str(), file.c_str()) == 0;
            if (!ok) ::unlink(tempPath.c_str());
        }
        ::close(lockFd);
        return ok;
    }

    std::string LibraryPath() override {
        // The file holding this very code: ZPX.so, or the program the core is linked into.
        Dl_info info{};
        if (dladdr(reinterpret_cast<const void*>(&ReadWholeFile), &info) == 0 ||
            info.dli_fname == nullptr) {
            return {};
        }
        // Resolve links, so that the path is the library file itself whichever link loaded it.
        char resolved[PATH_MAX];
        if (realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
        return resolved;
    }
};

}  // namespace

template <>
Files& System<Files>() {
    static Immortal<LinuxFiles> files;
    return files.get();
}

}  // namespace zpx::platform
