#ifndef QUORVEL_SUPPORT_STATUS_H
#define QUORVEL_SUPPORT_STATUS_H

// Sets the status bar's one text. Synchronous: from the worker it returns
// once the UI thread has set the text, so the caller may reuse its buffer.
void ShowStatus(const char* text);

#endif
