#include "service/Terminal.h"

#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace quilvant::service {

std::string printable(std::string text)
{
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    return text;
}

std::string readSecretLine(const char* prompt, std::size_t limit)
{
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        std::cerr << prompt << std::flush;
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        }
    }
    std::string line;
    for (int c = std::cin.get(); c != std::char_traits<char>::eof() && c != '\n' && line.size() <= limit;
         c = std::cin.get()) {
        line.push_back(static_cast<char>(c));
    }
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << "\n";
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    return line;
}

} // namespace quilvant::service
