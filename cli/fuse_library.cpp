#include "cli/fuse_library.h"

#include <cstring>
#include <dlfcn.h>

namespace cli {

namespace {

constexpr const char* FUSE_LIBRARY_FILE = "libfuse3.so.3";

struct Symbol {
    const char* name;
    const char* version;
    void* slot; // a function pointer of FuseLibrary
};

} // namespace

bool LoadFuseLibrary(FuseLibrary* library, std::string* why)
{
    // Kept loaded until the process ends: the session's threads run in it.
    void* handle = dlopen(FUSE_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *why = dlerror();
        return false;
    }
    const Symbol symbols[] = {
        {"fuse_session_new", "FUSE_3.0", &library->sessionNew},
        {"fuse_session_mount", "FUSE_3.0", &library->sessionMount},
        {"fuse_session_unmount", "FUSE_3.0", &library->sessionUnmount},
        {"fuse_session_destroy", "FUSE_3.0", &library->sessionDestroy},
        // (session, {clone_fd, max_idle_threads}), since libfuse 3.2; the
        // 3.0 form leaks its configuration in the libfuse3 of Debian 12.
        {"fuse_session_loop_mt", "FUSE_3.2", &library->sessionLoopMultithreaded},
        {"fuse_set_signal_handlers", "FUSE_3.0", &library->setSignalHandlers},
        {"fuse_remove_signal_handlers", "FUSE_3.0", &library->removeSignalHandlers},
        {"fuse_opt_free_args", "FUSE_3.0", &library->freeArguments},
        {"fuse_req_userdata", "FUSE_3.0", &library->requestData},
        {"fuse_reply_err", "FUSE_3.0", &library->replyError},
        {"fuse_reply_entry", "FUSE_3.0", &library->replyEntry},
        {"fuse_reply_attr", "FUSE_3.0", &library->replyAttributes},
        {"fuse_reply_open", "FUSE_3.0", &library->replyOpen},
        {"fuse_reply_buf", "FUSE_3.0", &library->replyBuffer},
        {"fuse_reply_statfs", "FUSE_3.0", &library->replyStatfs},
        {"fuse_add_direntry", "FUSE_3.0", &library->addDirectoryEntry},
    };
    for (const Symbol& symbol : symbols) {
        void* found = dlvsym(handle, symbol.name, symbol.version);
        if (found == nullptr) {
            *why = std::string(FUSE_LIBRARY_FILE) + " has no " + symbol.name + "@" + symbol.version;
            return false;
        }
        // Object and function pointers have one size and form on every
        // platform that has dlopen.
        std::memcpy(symbol.slot, &found, sizeof found);
    }
    return true;
}

} // namespace cli
