#!/bin/sh
# fresh_report.sh REPORT COMPILER ARGS...: compiles with REPORT removed
# first, since GCC's -fopt-info appends to the file it is given.
rm -f "$1"
shift
exec "$@"
