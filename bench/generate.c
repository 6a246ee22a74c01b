/* Writes benchmark input to standard output, the same bytes for the same
 * arguments: generate KIND BYTES, KIND one of
 *   text   lines of 20 to 120 bytes, about 30% of bytes with bit 7 set, no 0x00
 *   flat   bytes 0x01 to 0xFF without a line feed
 *   short  lines of 1 to 15 bytes, 8 on average */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t state = 0x9E3779B97F4A7C15u;

static uint64_t next(void)
{
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

/* A number below n from 32 random bits, without a division. */
static unsigned scale(uint64_t bits, unsigned n) { return (unsigned)(((bits & 0xFFFFFFFFu) * n) >> 32); }
static unsigned below(unsigned n) { return scale(next(), n); }

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s text|flat|short BYTES\n", argv[0]);
        return 2;
    }
    const int flat = strcmp(argv[1], "flat") == 0, text = strcmp(argv[1], "text") == 0;
    if (!flat && !text && strcmp(argv[1], "short") != 0)
        return 2;
    unsigned long long left = strtoull(argv[2], NULL, 10);
    static unsigned char buffer[1 << 16];
    size_t used = 0;
    unsigned line = 0; /* bytes left in the current line, its feed included */
    while (left > 0) {
        unsigned byte;
        if (flat) {
            do
                byte = 1 + below(255);
            while (byte == '\n');
        } else {
            if (line == 0)
                line = text ? 20 + below(101) : 1 + below(15);
            const uint64_t bits = next();
            byte = --line == 0 ? '\n' : (0x20 + scale(bits, 95)) | (scale(bits >> 32, 10) < 3 ? 0x80 : 0);
        }
        buffer[used++] = (unsigned char)byte;
        --left;
        if (used == sizeof buffer || left == 0) {
            if (fwrite(buffer, 1, used, stdout) != used)
                return 1;
            used = 0;
        }
    }
    return fflush(stdout) != 0;
}
