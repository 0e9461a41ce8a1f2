// diff --patch: the patch that turns OLD into NEW, written beside its name
// and renamed onto it when complete.
#ifndef QUORVEL_CLI_PATCH_MAKING_H
#define QUORVEL_CLI_PATCH_MAKING_H

#include "cli/changes.h"
#include "cli/pack_file.h"

#include <string>

namespace cli {

// Writes the patch of pairing's differences to path (an existing file
// only with force); returns the exit code, having said what failed.
int WritePatchFile(PackFile& oldPack, PackFile& newPack, const Pairing& pairing, const std::string& path, bool force);

} // namespace cli

#endif
