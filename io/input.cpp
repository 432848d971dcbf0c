#include "io/input.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <cerrno>
#include <unistd.h>

static char buffer[65536];
static int buffer_pos = 0, buffer_len = 0;
static bool input_ended = false;

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

bool inputEnded() {
    if (buffer_pos < buffer_len) return false;
    if (input_ended) return true;
    pollfd p = {STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || p.revents == 0) return false;
    // Readable without blocking: either data, which goes into the buffer for
    // the command loop, or the end of input (a read of 0 bytes, or an error).
    ssize_t n;
    do n = read(STDIN_FILENO, buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        buffer_pos = 0;
        buffer_len = int(n);
        return false;
    }
    if (n < 0 && errno == EAGAIN) return false;
    input_ended = true;
    return true;
}
