#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// True for the answers that mean OK at a terminal prompt: an empty line (Enter on the default
// button), "ok", "o", "y" or "yes" in any letter case, with surrounding blanks ignored.
bool isOkAnswer(const std::string& line);

// The longest answer line taken as an answer: far more than anyone types, and small enough that
// input without a line break, however long, costs no memory.
constexpr size_t kMaxAnswerLength = 4096;

enum class Answer { Ok, Cancel, EndOfInput };

// Reads one answer line from `in`, without its line break. A last line that ends without one is
// still an answer; a line longer than kMaxAnswerLength is Cancel, and the rest of it is read and
// dropped. EndOfInput when the input ends (or fails) before any character of the line.
Answer readAnswer(std::FILE* in);
