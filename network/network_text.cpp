// The text form of the network: one number a line, read and checked into the
// binary layout; and the writing of a binary file under a temporary name.
// Shared by the engine's conversions (both network kinds), the trainer and the
// build tool that compiles the shipped network into the program, so all of
// them yield the same bits.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "network/network.h"

// Value indices of the blocks that the text form stores input-major.
static constexpr int HIDDEN1_START = offsetof(Network, hidden1_weights) / sizeof(float);
static constexpr int HIDDEN2_START = offsetof(Network, hidden2_weights) / sizeof(float);

// In-place transpose of a rows x cols block (row-major) into cols x rows,
// through a copy of the block.
static void transposeBlock(float *block, int rows, int cols) {
    float copy[HIDDEN1_SIZE * 2 * ACCUMULATOR_SIZE];  // the larger of the two blocks
    memcpy(copy, block, sizeof(float) * rows * cols);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            block[c * rows + r] = copy[r * cols + c];
        }
    }
}

// Reads one line (without its line feed) into `line`, which holds
// TEXT_LINE_LIMIT + 1 characters.  Returns the number of characters the line
// holds with its line feed, -1 at the end of the file, or TEXT_LINE_LIMIT + 1
// as soon as the line is known to be longer than the limit (the rest of it is
// left unread).
static int readLine(FILE *file, char *line) {
    int length = 0;
    for (;;) {
        const int c = getc(file);
        if (c == EOF) {
            line[length] = '\0';
            return length == 0 ? -1 : length;
        }
        if (length == TEXT_LINE_LIMIT) {
            return TEXT_LINE_LIMIT + 1;  // the limit is reached and more follows
        }
        if (c == '\n') {
            line[length] = '\0';
            return length + 1;
        }
        line[length++] = static_cast<char>(c);
    }
}

int readTextNumbers(const char *text_path, float *values, size_t count, char reason[REASON_SIZE]) {
    FILE *text = fopen(text_path, "r");
    if (text == nullptr) {
        snprintf(reason, REASON_SIZE, "cannot open %s: %s", text_path, strerror(errno));
        return -1;
    }
    // One number a line, leading blanks skipped and anything after the number
    // ignored; lines after the last value are never read.
    char line[TEXT_LINE_LIMIT + 1];
    for (size_t k = 0; k < count; ++k) {
        const int length = readLine(text, line);
        bool failed = true;
        if (length < 0) {
            snprintf(reason, REASON_SIZE, "%s ends after %zu values, %zu needed", text_path, k, count);
        } else if (length > TEXT_LINE_LIMIT) {
            snprintf(reason, REASON_SIZE, "%s line %zu is longer than %d characters", text_path, k + 1, TEXT_LINE_LIMIT);
        } else if (sscanf(line, "%f", &values[k]) != 1) {
            snprintf(reason, REASON_SIZE, "%s line %zu is not a number", text_path, k + 1);
        } else if (!std::isfinite(values[k])) {
            // "nan", "inf" and numbers beyond the single-precision range.
            snprintf(reason, REASON_SIZE, "%s line %zu is not a finite number", text_path, k + 1);
        } else {
            failed = false;
        }
        if (failed) {
            fclose(text);
            return -1;
        }
    }
    fclose(text);
    return 0;
}

int readNetworkText(const char *text_path, float *values, char reason[REASON_SIZE]) {
    if (readTextNumbers(text_path, values, NETWORK_VALUES, reason) != 0) return -1;
    // The text lists the two hidden layers input by input; the binary form
    // keeps one row of inputs per output neuron.
    transposeBlock(values + HIDDEN1_START, 2 * ACCUMULATOR_SIZE, HIDDEN1_SIZE);
    transposeBlock(values + HIDDEN2_START, HIDDEN1_SIZE, HIDDEN2_SIZE);
    return 0;
}

int writeFileReplacing(const void *data, size_t size, const char *binary_path, char *reason) {
    char temporary[4096];
    if (snprintf(temporary, sizeof temporary, "%s.%d.tmp", binary_path, static_cast<int>(getpid())) >=
        static_cast<int>(sizeof temporary)) {
        snprintf(reason, REASON_SIZE, "cannot write %s: name too long", binary_path);
        return -1;
    }
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        snprintf(reason, REASON_SIZE, "cannot write %s: %s", binary_path, strerror(errno));
        return -1;
    }
    // Over a file size limit a write would raise SIGXFSZ and end the engine;
    // ignored, the write fails with EFBIG instead and is reported.
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    const char *bytes = static_cast<const char *>(data);
    size_t done = 0;
    int error = 0;
    while (done < size) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    sigaction(SIGXFSZ, &previous, nullptr);
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temporary, binary_path) != 0) error = errno;
    if (error != 0) {
        unlink(temporary);
        snprintf(reason, REASON_SIZE, "cannot write %s: %s", binary_path, strerror(error));
        return -1;
    }
    return 0;
}
