#pragma once
// Shell patterns on names and paths, the same on every platform (Windows has no fnmatch): `*`
// any run of characters, separators included (so "textures/*" takes a whole subtree, as tar's
// --exclude does), `?` any one character, `[abc]`, `[a-z]` and `[!abc]` (or `[^abc]`) one
// character of a set or outside it. A character is a whole UTF-8 sequence (a range in brackets
// compares code points); each byte that is no part of valid UTF-8 counts as one character, equal
// only to that byte. There is no escape character: a backslash, like a slash, is a path
// separator, and a separator in a pattern matches either, so one pattern serves a path below a
// folder ("a/b") and an archive's stored name ("a\b"). Put a special character in brackets to
// match it literally: "[*]". Letter case counts.

#include <string>

bool matchesPattern(const std::string& pattern, const std::string& text);

// True when the pattern matches the path or one of the folders it lies in: "a/b" is matched by
// "a/b/c", by "a/b" and by "a", but not by "a/" nor by "b".
bool matchesPathOrFolder(const std::string& pattern, const std::string& path);
