// The preview folder's path, shared by the preview and its removal at exit.
#ifndef QUORVEL_PREVIEW_PREVIEW_FOLDER_H
#define QUORVEL_PREVIEW_PREVIEW_FOLDER_H

// Builds the preview folder path, "$PAKTEMP\" inside the user's temporary
// folder, ending with a separator, into a buffer of PATH_BUFFER_BYTES.
// False when the temporary folder cannot be had or the path would not fit.
bool BuildPreviewFolderPath(char* path);

#endif
