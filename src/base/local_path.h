// Checks of host (local) paths before the server hands them to the kernel.
//
// A safe local path is absolute ("/..."), never climbs ("../", "/..") or
// doubles a separator ("//"), and holds none of the characters that would
// break replies, listings or shared client files: " * : < > ? \ | and the
// control characters 0x01-0x1F and 0x7F.
#pragma once

#include <string>
#include <string_view>

// True for a byte that may not appear in a name or a local path.
bool IsUnsafePathChar(unsigned char c);
// A local file or directory path as above; it may not end in "/" or "/.".
bool IsSafeLocalPath(std::string_view path);
// Replaces every occurrence of from (not empty) by to, left to right. When
// to is shorter than from, text the replacement forms is replaced again, so
// folding "//" into "/" leaves no "//" at all.
void ReplaceAll(std::string* text, std::string_view from, std::string_view to);
