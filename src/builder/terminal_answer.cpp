#include "builder/terminal_answer.h"

#include <cctype>

bool isOkAnswer(const std::string& line) {
    size_t begin = 0;
    size_t end = line.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(line[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(line[end - 1]))) --end;
    std::string word;
    for (size_t i = begin; i < end; ++i) {
        word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(line[i]))));
    }
    return word.empty() || word == "ok" || word == "o" || word == "y" || word == "yes";
}

Answer readAnswer(std::FILE* in) {
    std::string line;
    bool readAny = false;
    bool tooLong = false;
    for (;;) {
        const int c = std::getc(in);
        if (c == EOF) {
            // A failed read is no answer, even after part of a line.
            if (!readAny || std::ferror(in)) return Answer::EndOfInput;
            break;
        }
        readAny = true;
        if (c == '\n') break;
        if (line.size() < kMaxAnswerLength) {
            line.push_back(static_cast<char>(c));
        } else {
            tooLong = true;
        }
    }
    if (tooLong) return Answer::Cancel;
    return isOkAnswer(line) ? Answer::Ok : Answer::Cancel;
}
