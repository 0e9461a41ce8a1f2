// Text and path helpers. Texts are zero-terminated byte strings in the
// ANSI code page (code page 932 for quorvel); lengths count bytes.
// None of these routines knows a destination's capacity: callers size
// their buffers (see TextFits) before they build a text.
#ifndef QUORVEL_SUPPORT_TEXT_H
#define QUORVEL_SUPPORT_TEXT_H

#include <cstdint>

// Fixed buffer sizes shared by every subsystem.
constexpr uint32_t PATH_BUFFER_BYTES = 264;   // paths composed on the fly
constexpr uint32_t PLATFORM_PATH_CHARS = 260; // capacity handed to platform calls (MAX_PATH)
constexpr uint32_t PACK_PATH_BYTES = 256;     // current pack path, output path of an extraction

void ZeroBlock(void* block, int32_t count);
uint32_t TextLength(const char* text);
void TextCopy(char* destination, const char* source);
void TextAppend(char* destination, const char* source);
int TextCompare(const char* first, const char* second);

char* FileNamePart(char* path);
const char* FileNamePart(const char* path);
void CutFileName(char* path);
void AppendSeparator(char* path);
void CutLastSeparator(char* path);

// The lead-byte test and character step of the ANSI code page in force
// (code page 932 where the platform's own functions are absent).
bool IsLeadByte(unsigned char byte);
const char* NextCharacter(const char* position);

// True when the texts, joined, fit a buffer of capacity bytes with the
// terminator. Every caller that composes a path checks this first.
bool TextsFit(uint32_t capacity, const char* first, const char* second = nullptr, const char* third = nullptr);

#endif
