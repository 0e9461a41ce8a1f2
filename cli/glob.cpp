// Glob matching over UTF-8 names.
#include "cli/glob.h"

#include "cli/names.h"

#include <string>

namespace cli {

namespace {

char32_t Separated(char32_t c)
{
    return c == U'\\' ? U'/' : c;
}

// Matches a set at pattern[p] ("[" already seen); *next is behind "]".
// A "[" without its "]" is an ordinary character. "\" counts as "/" on
// both sides, so that a "\xNN" escape in a shown name matches as typed.
bool MatchSet(const std::u32string& pattern, size_t p, char32_t c, size_t* next, bool* matched)
{
    size_t i = p + 1;
    bool negate = false;
    if (i < pattern.size() && (pattern[i] == U'!' || pattern[i] == U'^')) {
        negate = true;
        ++i;
    }
    bool found = false;
    bool first = true;
    for (; i < pattern.size(); ++i) {
        if (pattern[i] == U']' && !first) {
            *next = i + 1;
            *matched = found != negate;
            return true;
        }
        first = false;
        const char32_t low = Separated(pattern[i]);
        if (i + 2 < pattern.size() && pattern[i + 1] == U'-' && pattern[i + 2] != U']') {
            const char32_t high = Separated(pattern[i + 2]);
            if (Separated(c) >= low && Separated(c) <= high)
                found = true;
            i += 2;
        } else if (Separated(c) == low) {
            found = true;
        }
    }
    return false;
}

bool MatchFrom(const std::u32string& pattern, size_t p, const std::u32string& name, size_t n)
{
    // Iterative with one backtracking point per "*": linear enough for names.
    size_t starP = std::u32string::npos;
    size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size()) {
            const char32_t c = pattern[p];
            if (c == U'*') {
                starP = ++p;
                starN = n;
                continue;
            }
            if (c == U'?') {
                ++p;
                ++n;
                continue;
            }
            size_t next = 0;
            bool matched = false;
            if (c == U'[' && MatchSet(pattern, p, name[n], &next, &matched)) {
                if (matched) {
                    p = next;
                    ++n;
                    continue;
                }
            } else if (Separated(c) == Separated(name[n])) {
                ++p;
                ++n;
                continue;
            }
        }
        if (starP == std::u32string::npos)
            return false;
        p = starP;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == U'*')
        ++p;
    return p == pattern.size();
}

} // namespace

bool GlobMatch(std::string_view pattern, std::string_view name)
{
    return MatchFrom(CodePoints(pattern), 0, CodePoints(name), 0);
}

} // namespace cli
