// mount serves a folder through FUSE, which Windows does not have.
#include "cli/commands.h"

namespace cli {

int RunMount(const MountOptions&)
{
    Message("mount exists on Linux only (it needs FUSE)");
    return EXIT_FATAL;
}

} // namespace cli
