/* The straightforward design, for comparison: linewise IN OUT translates a
 * line at a time through stdio, with a dot per line read. Each piece is
 * written whole, its length taken before the translation turns a 0x80 into a
 * zero byte (the inputs hold no zero byte of their own). */
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    FILE *in = fopen(argv[1], "rb");
    FILE *out = fopen(argv[2], "w");
    if (in == NULL || out == NULL)
        return 1;
    char line[4095];
    while (fgets(line, sizeof line, in) != NULL) {
        const size_t length = strlen(line);
        for (size_t i = 0; i < length; ++i)
            line[i] &= 0x7f;
        if (fwrite(line, 1, length, out) != length)
            return 1;
        putchar('.');
    }
    return fclose(out) != 0;
}
