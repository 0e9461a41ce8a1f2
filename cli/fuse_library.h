// libfuse3, loaded when `mount` runs rather than linked: quorvel-cli's
// other commands then start on a machine that has no FUSE installed, and
// the release stays one program.
#ifndef QUORVEL_CLI_FUSE_LIBRARY_H
#define QUORVEL_CLI_FUSE_LIBRARY_H

#define FUSE_USE_VERSION 32
#include <fuse3/fuse_lowlevel.h>

#include <string>

namespace cli {

// The functions quorvel-cli calls, each taken at the symbol version whose
// interface the headers above describe, so that a later libfuse3 with a
// changed default keeps giving the interface this code was written for.
// Filled once by LoadFuseLibrary before any session exists, read-only after.
struct FuseLibrary {
    decltype(&::fuse_session_new) sessionNew;
    decltype(&::fuse_session_mount) sessionMount;
    decltype(&::fuse_session_unmount) sessionUnmount;
    decltype(&::fuse_session_destroy) sessionDestroy;
    decltype(&::fuse_session_loop_mt_32) sessionLoopMultithreaded;
    decltype(&::fuse_set_signal_handlers) setSignalHandlers;
    decltype(&::fuse_remove_signal_handlers) removeSignalHandlers;
    decltype(&::fuse_opt_free_args) freeArguments;
    decltype(&::fuse_req_userdata) requestData;
    decltype(&::fuse_reply_err) replyError;
    decltype(&::fuse_reply_entry) replyEntry;
    decltype(&::fuse_reply_attr) replyAttributes;
    decltype(&::fuse_reply_open) replyOpen;
    decltype(&::fuse_reply_buf) replyBuffer;
    decltype(&::fuse_reply_statfs) replyStatfs;
    decltype(&::fuse_add_direntry) addDirectoryEntry;
};

// Opens libfuse3.so.3 and finds every function; false with *why (the
// loader's own words) when the library or one of them is missing.
bool LoadFuseLibrary(FuseLibrary* library, std::string* why);

} // namespace cli

#endif
