/* The straightforward design, for comparison: linewise IN OUT translates a
 * line at a time through stdio, with a dot per line read. */
#include <stdio.h>

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
        for (char *p = line; *p != '\0'; ++p)
            *p &= 0x7f;
        fputs(line, out);
        putchar('.');
    }
    return fclose(out) != 0;
}
