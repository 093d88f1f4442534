#include "cli/passwordinput.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// One line from `stream` without its line end; false at the end of the stream with nothing read.
bool readLine(FILE* stream, std::string& line)
{
    line.clear();
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(stream)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        line.push_back(char(c));
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return any;
}

// Clears the bytes before the buffer goes back to the heap.
void wipe(std::string& text)
{
    volatile char* bytes = text.data();
    for (size_t i = 0; i < text.size(); ++i)
        bytes[i] = 0;
    text.clear();
}

} // namespace

bool PasswordInput::read(const QString& prompt, QString& password) const
{
    std::string line;
    bool got = false;
    if (fromStdin) {
        got = readLine(stdin, line);
    } else {
        const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
        FILE* tty = ::fdopen(fd, "r+");
        if (!tty) {
            ::close(fd);
            return false;
        }
        std::fputs(prompt.toLocal8Bit().constData(), tty);
        std::fflush(tty);
        termios saved{};
        const bool terminal = ::tcgetattr(fd, &saved) == 0;
        if (terminal) {
            termios quiet = saved;
            quiet.c_lflag &= ~tcflag_t(ECHO);
            quiet.c_lflag |= ECHONL;
            ::tcsetattr(fd, TCSAFLUSH, &quiet);
        }
        got = readLine(tty, line);
        if (terminal)
            ::tcsetattr(fd, TCSAFLUSH, &saved);
        std::fclose(tty);
    }
    if (got)
        password = QString::fromUtf8(line.data(), qsizetype(line.size()));
    wipe(line);
    return got;
}
