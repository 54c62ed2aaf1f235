#include "app/terminal_answer.h"

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
