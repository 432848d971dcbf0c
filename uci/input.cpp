#include "uci/input.h"

#include <sys/ioctl.h>
#include <cerrno>
#include <unistd.h>

static char buffer[65536];
static int buffer_pos = 0, buffer_len = 0;

int readInputChar() {
    if (buffer_pos == buffer_len) {
        ssize_t n;
        do n = read(STDIN_FILENO, buffer, sizeof buffer);
        while (n < 0 && errno == EINTR);
        if (n <= 0) return -1;
        buffer_pos = 0;
        buffer_len = int(n);
    }
    return (unsigned char)buffer[buffer_pos++];
}

bool inputWaiting() {
    if (buffer_pos < buffer_len) return true;
    int available = 0;
    return ioctl(STDIN_FILENO, FIONREAD, &available) == 0 && available > 0;
}
